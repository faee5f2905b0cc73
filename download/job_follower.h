#pragma once
// Follows the print job of the last Start until it ends: looks at it from the
// event loop (a timer, never a wait), each look bounded in time, and tells the
// window the job's panel text and the warnings its states call for.

#include "download/print_job.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

class JobFollower : public QObject {
    Q_OBJECT

public:
    struct Timing {
        int firstLookMs = 100;         // after follow(): the first look
        int intervalMs = 500;          // between looks that were answered
        int lookTimeoutMs = 500;       // each look gives up after this
        int longestIntervalMs = 8000;  // a look that gets no answer doubles the interval, up to this
        int waitWarningMs = 5000;      // waiting this long while the printer reports a problem warns
    };

    explicit JobFollower(PrintJobs &jobs, QObject *parent = nullptr);
    void setTiming(const Timing &timing) { timing_ = timing; }

    // Follows jobId on printer (the queue's name, for the texts), an image of bytes
    // bytes, in place of any job followed before.
    void follow(const QString &printer, int jobId, qint64 bytes);
    // Looks at the followed job at once (bounded by timeoutMs) and updates its state.
    void lookNow(int timeoutMs);
    // Asks the server to cancel the followed job; true when it did.
    bool cancel(int timeoutMs);

    // A job is followed and has not ended: it is still waiting or going out.
    bool active() const { return jobId_ > 0 && !status_.ended(); }
    int jobId() const { return jobId_; }
    QString printer() const { return printer_; }
    // "waiting: MESSAGE", "sent 2097152 bytes"...; empty when no job was followed.
    QString stateText() const;
    // "Job N: " and the state; empty when no job was followed.
    QString panelText() const;
    // The interval before the next look, for tests of the back-off.
    int nextLookMs() const { return interval_; }

signals:
    // The panel text changed (also when a job is first followed).
    void panelChanged(const QString &text);
    // A state that the user must hear about, in the loader's words.
    void warning(const QString &text);

private:
    void tick();
    void take(const JobLook &look);

    PrintJobs &jobs_;
    Timing timing_;
    QTimer timer_;
    QString printer_;
    int jobId_ = 0;
    qint64 bytes_ = 0;
    JobStatus status_;
    int interval_ = 0;
    QElapsedTimer problemSince_;
    bool waitWarned_ = false;
};
