#include "download/job_follower.h"

#include "common/shown_text.h"

JobFollower::JobFollower(PrintJobs &jobs, QObject *parent) : QObject(parent), jobs_(jobs)
{
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &JobFollower::tick);
}

void JobFollower::follow(const QString &printer, int jobId, qint64 bytes)
{
    printer_ = printer;
    jobId_ = jobId;
    bytes_ = bytes;
    status_ = JobStatus();
    problemSince_.invalidate();
    waitWarned_ = false;
    interval_ = timing_.intervalMs;
    timer_.start(timing_.firstLookMs);
    emit panelChanged(panelText());
}

QString JobFollower::stateText() const
{
    return jobId_ > 0 ? jobStateText(status_, bytes_) : QString();
}

QString JobFollower::panelText() const
{
    return jobId_ > 0 ? QStringLiteral("Job %1: ").arg(jobId_) + stateText() : QString();
}

void JobFollower::lookNow(int timeoutMs)
{
    if (!active())
        return;
    take(jobs_.look(jobId_, timeoutMs));
}

bool JobFollower::cancel(int timeoutMs)
{
    if (jobId_ <= 0)
        return false;
    if (!jobs_.cancel(jobId_, timeoutMs))
        return false;
    // Its end is no news to the user who asked for it.
    timer_.stop();
    status_.phase = JobStatus::Phase::Cancelled;
    status_.detail.clear();
    emit panelChanged(panelText());
    return true;
}

void JobFollower::tick()
{
    if (!active())
        return;
    take(jobs_.look(jobId_, timing_.lookTimeoutMs));
}

void JobFollower::take(const JobLook &look)
{
    if (look.outcome == JobLook::Outcome::NoAnswer) {
        // A server that does not answer is asked again later, less and less often.
        interval_ = qMin(interval_ * 2, timing_.longestIntervalMs);
        timer_.start(interval_);
        return;
    }
    interval_ = timing_.intervalMs;

    const JobStatus before = status_;
    status_ = jobStatusFromLook(look);
    if (status_.printerProblem && status_.phase == JobStatus::Phase::Waiting) {
        if (!problemSince_.isValid())
            problemSince_.start();
    } else {
        problemSince_.invalidate();
    }

    // The warning, if any, decided before anything is shown: a box opened from a
    // signal runs the event loop, and the next look may come meanwhile.
    QString warningText;
    const int job = jobId_;
    switch (status_.phase) {
    case JobStatus::Phase::Held:
    case JobStatus::Phase::Stopped:
        if (before.phase != status_.phase)
            warningText = QStringLiteral("The job %1 at the printer %2 stopped: %3")
                              .arg(QString::number(job), shownText(printer_), shownText(status_.detail));
        break;
    case JobStatus::Phase::Cancelled:
        warningText = QStringLiteral("The job %1 at the printer %2 was cancelled.")
                          .arg(QString::number(job), shownText(printer_));
        break;
    case JobStatus::Phase::Failed:
        warningText = QStringLiteral("The printer %1 did not send the whole image: %2")
                          .arg(shownText(printer_), shownText(status_.detail));
        break;
    case JobStatus::Phase::Waiting:
        if (!waitWarned_ && problemSince_.isValid() && problemSince_.elapsed() >= timing_.waitWarningMs) {
            waitWarned_ = true;
            QString words = status_.detail;
            if (words.isEmpty())
                words = look.printerReasons.join(QStringLiteral(", "));
            warningText =
                QStringLiteral("The image is waiting at the printer %1: %2").arg(shownText(printer_), shownText(words));
        }
        break;
    default:
        break;
    }

    if (!status_.ended())
        timer_.start(interval_);
    const bool changed = before.phase != status_.phase || before.detail != status_.detail;
    if (changed)
        emit panelChanged(panelText());
    if (!warningText.isEmpty() && jobId_ == job)
        emit warning(warningText);
}
