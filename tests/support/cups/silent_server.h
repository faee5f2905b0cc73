#pragma once
// Scripted print servers on a Unix socket, for the cases a real cupsd cannot be made
// to show: a server that never answers, that takes a document and then closes or
// stays silent, that answers slowly, or that answers job and printer queries with
// whatever texts a test chooses (rich text, control characters, very long messages).
//
// ScriptedPrintServer speaks enough HTTP/1.1 and IPP (through libcups's own IPP
// reader and writer) for libcups clients to find a default destination, create a
// job, send its document, cancel it and look at it. Each connection is served by a
// thread of its own; the script may be changed at any time, and applies from the
// next request on. See README.md in this folder for the operations and texts.

#include <QByteArray>
#include <QByteArrayList>
#include <QList>
#include <QString>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

struct PrintServerScript {
    // How the server deals with a request.
    enum class Answer {
        Normally,  // answers at once
        Never,     // reads on, never answers (the connection stays open)
        Close,     // reads the whole request, then closes the connection without an answer
        Slowly,    // answers after slowMs
        Fail,      // answers at once with server-error-internal-error
    };
    Answer requests = Answer::Normally;  // every request but the document's
    Answer document = Answer::Normally;  // Send-Document and Print-Job, after their last byte
    int slowMs = 0;
    // Above 0: every answer goes out in two parts, its HTTP header at once and its IPP
    // body this many milliseconds later, as from a busy server.
    int pauseInAnswerMs = 0;

    // The destination it offers as the default (an empty name: no default).
    QByteArray printerName = "qx7100";
    QByteArray deviceUri = "parallel:/dev/lp0";
    int printerState = 3;  // idle
    QByteArrayList printerStateReasons{"none"};
    QByteArray printerStateMessage;
    bool acceptingJobs = true;

    // The jobs it creates, numbered from firstJobId, and what a look at any of them gives.
    int firstJobId = 7;
    int jobState = 9;  // completed
    QByteArrayList jobStateReasons{"job-completed-successfully"};
    QByteArray jobPrinterStateMessage;  // sent as a text of up to 32767 bytes, unchecked
    QByteArrayList jobPrinterStateReasons{"none"};
};

class ScriptedPrintServer {
public:
    // Listens on socketPath (replacing a stale socket file) from a thread of its own.
    explicit ScriptedPrintServer(const QString &socketPath, const PrintServerScript &script = {});
    virtual ~ScriptedPrintServer();
    ScriptedPrintServer(const ScriptedPrintServer &) = delete;
    ScriptedPrintServer &operator=(const ScriptedPrintServer &) = delete;

    bool isListening() const { return listener_ >= 0; }
    int connections() const { return connections_; }

    void setScript(const PrintServerScript &script);
    PrintServerScript script() const;

    // What it was sent: each request's operation name ("Create-Job", "Send-Document",
    // "Get-Job-Attributes"...), the documents' bytes (one entry a document, complete or
    // not), the job-name of each Create-Job or Print-Job as sent, the jobs cancelled.
    QByteArrayList operations() const;
    QList<QByteArray> documents() const;
    QByteArrayList jobNames() const;
    QList<int> cancelledJobs() const;

private:
    void run();
    void serve(int fd);
    bool handle(int fd, QByteArray &pending);

    int listener_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::thread thread_;
    std::vector<std::thread> clients_;

    mutable std::mutex mutex_;
    PrintServerScript script_;
    int nextJobId_ = 0;
    QByteArrayList operations_;
    QList<QByteArray> documents_;
    QByteArrayList jobNames_;
    QList<int> cancelled_;
};

// A print server that accepts connections and reads what it is sent, but never
// answers anything: the server that must not freeze the window.
class SilentServer : public ScriptedPrintServer {
public:
    explicit SilentServer(const QString &socketPath);
};
