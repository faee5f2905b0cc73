#pragma once
// A print job as the print server reports it, and what the loader makes of it:
// one look at a job (Get-Job-Attributes), the job's status in the loader's
// words, and the print server's job operations behind a small interface.

#include <QString>
#include <QStringList>
#include <memory>

// What one look at a job gave.
struct JobLook {
    enum class Outcome {
        Answered,  // the server described the job
        NotFound,  // the server no longer knows the job: it has ended, state unknown
        NoAnswer,  // no answer within the look's time (or no server)
    };
    Outcome outcome = Outcome::NoAnswer;
    int state = 0;               // IPP job-state: 3 pending, 4 held, 5 processing, 6 stopped,
                                 // 7 cancelled, 8 aborted, 9 completed
    QStringList reasons;         // job-state-reasons
    QString printerMessage;      // job-printer-state-message: the printer's message kept with the job
    QStringList printerReasons;  // job-printer-state-reasons
};

// The job's status as the loader shows it.
struct JobStatus {
    enum class Phase { Waiting, Sending, Sent, Held, Stopped, Cancelled, Failed, Ended };
    Phase phase = Phase::Waiting;
    QString detail;               // the message or reason shown after the phase; may be empty
    bool printerProblem = false;  // the printer reports a problem while the job waits for it
    // True once the job will never send anything more.
    bool ended() const
    {
        return phase == Phase::Sent || phase == Phase::Cancelled || phase == Phase::Failed || phase == Phase::Ended;
    }
};

// The status of a job from a look that the server answered (NotFound gives Ended).
// A job "completed" whose printer message says the write failed is Failed: the
// real parallel backend ends so when the port goes away in the middle of an image.
JobStatus jobStatusFromLook(const JobLook &look);

// The state part of the job panel, after "Job N: ": "waiting", "waiting: MESSAGE",
// "sending", "sent BYTES bytes", "held: REASON", "stopped: MESSAGE", "cancelled",
// "failed: MESSAGE", "ended, state unknown".
QString jobStateText(const JobStatus &status, qint64 bytes);

// The print server's operations on one job. Each call gives up after timeoutMs.
class PrintJobs {
public:
    virtual ~PrintJobs() = default;
    virtual JobLook look(int jobId, int timeoutMs) = 0;
    // Cancels the job; true when the server did (or the job had already ended).
    virtual bool cancel(int jobId, int timeoutMs) = 0;
};

// The jobs of the CUPS server that libcups reaches.
std::unique_ptr<PrintJobs> makeCupsPrintJobs();
