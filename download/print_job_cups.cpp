#include "download/cups_deadline.h"
#include "download/print_job.h"

#include <QDeadlineTimer>

#include <cups/cups.h>

namespace {

QStringList strings(ipp_attribute_t *attr)
{
    QStringList values;
    for (int i = 0; attr && i < ippGetCount(attr); ++i)
        values << QString::fromUtf8(ippGetString(attr, i, nullptr));
    return values;
}

// A request about one job on a connection of its own, answered within the deadline or not at all.
class JobRequest {
public:
    explicit JobRequest(int timeoutMs) : deadline_(timeoutMs)
    {
        http_ = httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1,
                             int(qMax<qint64>(1, deadline_.remainingTime())), nullptr);
    }
    ~JobRequest()
    {
        if (http_)
            httpClose(http_);
    }
    JobRequest(const JobRequest &) = delete;
    JobRequest &operator=(const JobRequest &) = delete;

    // The answer to op on the job, or null when none came (then answered() is false).
    ipp_t *send(ipp_op_t op, int jobId, const char *const *attributes, int count)
    {
        if (!http_)
            return nullptr;
        char uri[HTTP_MAX_URI];
        httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", ippPort(), "/jobs/%d",
                         jobId);
        ipp_t *request = ippNewRequest(op);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "job-uri", nullptr, uri);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
        if (count > 0)
            ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", count, nullptr,
                          attributes);
        waitUntil(http_, deadline_);
        ipp_t *response = cupsDoRequest(http_, request, "/jobs/");
        answered_ = response != nullptr && httpError(http_) == 0;
        return response;
    }
    bool answered() const { return answered_; }

private:
    QDeadlineTimer deadline_;
    http_t *http_ = nullptr;
    bool answered_ = false;
};

class CupsPrintJobs final : public PrintJobs {
public:
    JobLook look(int jobId, int timeoutMs) override
    {
        static const char *const wanted[] = {"job-state", "job-state-reasons", "job-printer-state-message",
                                             "job-printer-state-reasons"};
        JobLook look;
        JobRequest request(timeoutMs);
        ipp_t *response = request.send(IPP_OP_GET_JOB_ATTRIBUTES, jobId, wanted, 4);
        const ipp_status_t status = cupsLastError();
        if (!request.answered()) {
            look.outcome = JobLook::Outcome::NoAnswer;
        } else if (status == IPP_STATUS_ERROR_NOT_FOUND) {
            look.outcome = JobLook::Outcome::NotFound;
        } else if (ipp_attribute_t *state = ippFindAttribute(response, "job-state", IPP_TAG_ENUM)) {
            look.outcome = JobLook::Outcome::Answered;
            look.state = ippGetInteger(state, 0);
            look.reasons = strings(ippFindAttribute(response, "job-state-reasons", IPP_TAG_KEYWORD));
            look.printerMessage =
                strings(ippFindAttribute(response, "job-printer-state-message", IPP_TAG_TEXT)).value(0);
            look.printerReasons = strings(ippFindAttribute(response, "job-printer-state-reasons", IPP_TAG_KEYWORD));
        } else {
            // Answered, but not about the job (refused, or a server that keeps no such job).
            look.outcome = JobLook::Outcome::NotFound;
        }
        ippDelete(response);
        return look;
    }

    bool cancel(int jobId, int timeoutMs) override
    {
        JobRequest request(timeoutMs);
        ippDelete(request.send(IPP_OP_CANCEL_JOB, jobId, nullptr, 0));
        const ipp_status_t status = cupsLastError();
        // A job that has ended meanwhile cannot be cancelled, and needs not be.
        return request.answered()
               && (status <= IPP_STATUS_OK_EVENTS_COMPLETE || status == IPP_STATUS_ERROR_NOT_FOUND
                   || status == IPP_STATUS_ERROR_NOT_POSSIBLE);
    }
};

}  // namespace

std::unique_ptr<PrintJobs> makeCupsPrintJobs()
{
    return std::make_unique<CupsPrintJobs>();
}
