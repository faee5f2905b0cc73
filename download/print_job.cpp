#include "download/print_job.h"

#include "common/shown_text.h"

namespace {

// Printer reasons that tell of no problem: none at all, or mere reports.
bool isProblem(const QString &reason)
{
    return !reason.isEmpty() && reason != QLatin1String("none") && !reason.endsWith(QLatin1String("-report"));
}

QStringList problems(const QStringList &reasons)
{
    QStringList found;
    for (const QString &reason : reasons) {
        if (isProblem(reason))
            found << reason;
    }
    return found;
}

// The printer's message, or its reasons where it gave no message.
QString printerWords(const JobLook &look)
{
    if (!look.printerMessage.isEmpty())
        return look.printerMessage;
    return problems(look.printerReasons).join(QStringLiteral(", "));
}

}  // namespace

JobStatus jobStatusFromLook(const JobLook &look)
{
    JobStatus status;
    if (look.outcome == JobLook::Outcome::NotFound) {
        status.phase = JobStatus::Phase::Ended;
        return status;
    }
    const bool problem = !problems(look.printerReasons).isEmpty();
    switch (look.state) {
    case 3:  // pending
        status.phase = JobStatus::Phase::Waiting;
        status.detail = look.printerMessage;
        status.printerProblem = problem;
        break;
    case 4: {  // held
        status.phase = JobStatus::Phase::Held;
        const QStringList held = problems(look.reasons);
        status.detail = held.isEmpty() ? look.printerMessage : held.join(QStringLiteral(", "));
        break;
    }
    case 5:  // processing: going out, or the backend waits for the device
        if (problem) {
            status.phase = JobStatus::Phase::Waiting;
            status.detail = printerWords(look);
            status.printerProblem = true;
        } else {
            status.phase = JobStatus::Phase::Sending;
        }
        break;
    case 6:  // stopped
        status.phase = JobStatus::Phase::Stopped;
        status.detail = printerWords(look);
        if (status.detail.isEmpty())
            status.detail = problems(look.reasons).join(QStringLiteral(", "));
        break;
    case 7:
        status.phase = JobStatus::Phase::Cancelled;
        break;
    case 8:  // aborted: the printer's words, else the server's reason for the abort
        status.phase = JobStatus::Phase::Failed;
        status.detail = printerWords(look);
        if (status.detail.isEmpty())
            status.detail = problems(look.reasons).join(QStringLiteral(", "));
        break;
    case 9:
        if (look.printerMessage.startsWith(QLatin1String("Unable to write print data"))) {
            status.phase = JobStatus::Phase::Failed;
            status.detail = look.printerMessage;
        } else {
            status.phase = JobStatus::Phase::Sent;
        }
        break;
    default:  // a state the loader does not know: waiting for the printer, as far as it can tell
        status.phase = JobStatus::Phase::Waiting;
        status.detail = look.printerMessage;
        break;
    }
    return status;
}

QString jobStateText(const JobStatus &status, qint64 bytes)
{
    auto withDetail = [&status](const char *phase) {
        QString text = QLatin1String(phase);
        if (!status.detail.isEmpty())
            text += QStringLiteral(": ") + shownText(status.detail, kShownToolTipLimit);
        return text;
    };
    switch (status.phase) {
    case JobStatus::Phase::Waiting:
        return withDetail("waiting");
    case JobStatus::Phase::Sending:
        return QStringLiteral("sending");
    case JobStatus::Phase::Sent:
        return QStringLiteral("sent %1 bytes").arg(bytes);
    case JobStatus::Phase::Held:
        return withDetail("held");
    case JobStatus::Phase::Stopped:
        return withDetail("stopped");
    case JobStatus::Phase::Cancelled:
        return QStringLiteral("cancelled");
    case JobStatus::Phase::Failed:
        return withDetail("failed");
    case JobStatus::Phase::Ended:
        return QStringLiteral("ended, state unknown");
    }
    return {};
}
