#pragma once
// The bench program's commands and their help texts; each returns the exit status.

#include <QByteArrayList>

namespace bench {

int commandCheck(const QByteArrayList &args);
int commandCom(int portNumber, const QByteArrayList &args);
int commandLpt(int lptNumber, const QByteArrayList &args);

void helpMain();
void helpCheck();
void helpCom();
void helpLpt();

}  // namespace bench
