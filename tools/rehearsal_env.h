#pragma once
// Where a rehearsal's print requests go: the private print server and its queue,
// never a printer of the machine or a default chosen by the user.

#include <QString>

// The queue that tools/rehearse makes on its private print server.
inline constexpr char RehearsalQueue[] = "qx7100";

// Points this process's print clients (the loader's default-printer query and the
// raw-print library, both over libcups) at the print server listening on socket
// (input) and makes queue (input) their default destination. Setting LPDEST rather
// than clearing it is what matters: a default in the user's ~/.cups/lpoptions comes
// before the server's own default, and only LPDEST or PRINTER come before that file.
// Call it before the first print request; it also drops libcups's cached server
// name of the calling thread.
void useRehearsalPrintServer(const QString &socket, const QString &queue);
