#include "silent_server.h"

#include <QFile>

#include <cups/cups.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace {

using Answer = PrintServerScript::Answer;

struct MemorySource {
    const QByteArray *data;
    qsizetype position;
};

ssize_t readMemory(void *context, ipp_uchar_t *buffer, size_t size)
{
    auto *source = static_cast<MemorySource *>(context);
    const qsizetype n = qMin(qsizetype(size), source->data->size() - source->position);
    std::memcpy(buffer, source->data->constData() + source->position, size_t(n));
    source->position += n;
    return ssize_t(n);
}

ssize_t writeMemory(void *context, ipp_uchar_t *buffer, size_t size)
{
    static_cast<QByteArray *>(context)->append(reinterpret_cast<const char *>(buffer), qsizetype(size));
    return ssize_t(size);
}

bool sendAll(int fd, const QByteArray &bytes)
{
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += n;
    }
    return true;
}

// One HTTP request read whole: its headers and its body (chunked or not), decoded.
struct HttpRequest {
    QByteArray method;
    QByteArray headers;  // lower-cased
    QByteArray body;
};

QByteArray headerValue(const QByteArray &headers, const QByteArray &name)
{
    for (const QByteArray &line : headers.split('\n')) {
        if (line.startsWith(name + ':'))
            return line.mid(name.size() + 1).trimmed();
    }
    return {};
}

void addKeywords(ipp_t *ipp, ipp_tag_t group, const char *name, const QByteArrayList &values)
{
    if (values.isEmpty())
        return;
    std::vector<const char *> pointers;
    for (const QByteArray &value : values)
        pointers.push_back(value.constData());
    ippAddStrings(ipp, group, IPP_TAG_KEYWORD, name, int(pointers.size()), nullptr, pointers.data());
}

void addText(ipp_t *ipp, ipp_tag_t group, const char *name, const QByteArray &text)
{
    if (!text.isEmpty())
        ippAddString(ipp, group, IPP_TAG_TEXT, name, nullptr, text.left(32767).constData());
}

void addPrinter(ipp_t *response, const PrintServerScript &script)
{
    ippAddSeparator(response);
    const QByteArray uri = "ipp://localhost/printers/" + script.printerName;
    ippAddString(response, IPP_TAG_PRINTER, IPP_TAG_NAME, "printer-name", nullptr, script.printerName.constData());
    ippAddString(response, IPP_TAG_PRINTER, IPP_TAG_URI, "printer-uri-supported", nullptr, uri.constData());
    ippAddString(response, IPP_TAG_PRINTER, IPP_TAG_URI, "device-uri", nullptr, script.deviceUri.constData());
    ippAddInteger(response, IPP_TAG_PRINTER, IPP_TAG_ENUM, "printer-state", script.printerState);
    addKeywords(response, IPP_TAG_PRINTER, "printer-state-reasons", script.printerStateReasons);
    addText(response, IPP_TAG_PRINTER, "printer-state-message", script.printerStateMessage);
    ippAddBoolean(response, IPP_TAG_PRINTER, "printer-is-accepting-jobs", script.acceptingJobs ? 1 : 0);
    ippAddInteger(response, IPP_TAG_PRINTER, IPP_TAG_ENUM, "printer-type", CUPS_PRINTER_LOCAL);
}

void addJob(ipp_t *response, const PrintServerScript &script, int jobId, bool looked)
{
    ippAddSeparator(response);
    const QByteArray uri = "ipp://localhost/jobs/" + QByteArray::number(jobId);
    ippAddInteger(response, IPP_TAG_JOB, IPP_TAG_INTEGER, "job-id", jobId);
    ippAddString(response, IPP_TAG_JOB, IPP_TAG_URI, "job-uri", nullptr, uri.constData());
    if (!looked) {
        ippAddInteger(response, IPP_TAG_JOB, IPP_TAG_ENUM, "job-state", IPP_JSTATE_PENDING);
        addKeywords(response, IPP_TAG_JOB, "job-state-reasons", {"none"});
        return;
    }
    ippAddInteger(response, IPP_TAG_JOB, IPP_TAG_ENUM, "job-state", script.jobState);
    addKeywords(response, IPP_TAG_JOB, "job-state-reasons", script.jobStateReasons);
    addText(response, IPP_TAG_JOB, "job-printer-state-message", script.jobPrinterStateMessage);
    addKeywords(response, IPP_TAG_JOB, "job-printer-state-reasons", script.jobPrinterStateReasons);
}

int jobIdOf(ipp_t *request)
{
    if (ipp_attribute_t *id = ippFindAttribute(request, "job-id", IPP_TAG_INTEGER))
        return ippGetInteger(id, 0);
    if (ipp_attribute_t *uri = ippFindAttribute(request, "job-uri", IPP_TAG_URI)) {
        const QByteArray text(ippGetString(uri, 0, nullptr));
        return text.mid(text.lastIndexOf('/') + 1).toInt();
    }
    return 0;
}

}  // namespace

ScriptedPrintServer::ScriptedPrintServer(const QString &socketPath, const PrintServerScript &script)
    : script_(script), nextJobId_(script.firstJobId)
{
    const QByteArray path = QFile::encodeName(socketPath);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (size_t(path.size()) >= sizeof address.sun_path)
        return;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    ::unlink(path.constData());
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0)
        return;
    if (::bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
        || ::listen(listener_, 64) != 0) {
        ::close(listener_);
        listener_ = -1;
        return;
    }
    thread_ = std::thread([this] { run(); });
}

ScriptedPrintServer::~ScriptedPrintServer()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    for (std::thread &client : clients_)
        client.join();
    if (listener_ >= 0)
        ::close(listener_);
}

void ScriptedPrintServer::setScript(const PrintServerScript &script)
{
    std::lock_guard<std::mutex> lock(mutex_);
    script_ = script;
}

PrintServerScript ScriptedPrintServer::script() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return script_;
}

QByteArrayList ScriptedPrintServer::operations() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return operations_;
}

QList<QByteArray> ScriptedPrintServer::documents() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return documents_;
}

QByteArrayList ScriptedPrintServer::jobNames() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return jobNames_;
}

QList<int> ScriptedPrintServer::cancelledJobs() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return cancelled_;
}

void ScriptedPrintServer::run()
{
    pollfd listener{listener_, POLLIN, 0};
    while (!stop_) {
        if (::poll(&listener, 1, 50) <= 0)
            continue;
        const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0) {
            ++connections_;
            clients_.emplace_back([this, client] {
                serve(client);
                ::close(client);
            });
        }
    }
}

namespace {

// Reads more of the connection into pending: false at its end, an error, or when stop is set.
bool readMore(int fd, QByteArray &pending, const std::atomic<bool> &stop)
{
    char buffer[65536];
    while (!stop) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return false;
        pending.append(buffer, n);
        return true;
    }
    return false;
}

// Reads everything the client sends until it closes or stop is set (a server that never answers).
void drain(int fd, const std::atomic<bool> &stop)
{
    QByteArray discard;
    while (readMore(fd, discard, stop))
        discard.clear();
}

}  // namespace

void ScriptedPrintServer::serve(int fd)
{
    QByteArray pending;
    while (!stop_ && handle(fd, pending)) {
    }
}

// Serves one request of the connection; false when the connection is to end.
bool ScriptedPrintServer::handle(int fd, QByteArray &pending)
{
    if (script().requests == Answer::Never) {
        drain(fd, stop_);
        return false;
    }

    // Headers.
    qsizetype end;
    while ((end = pending.indexOf("\r\n\r\n")) < 0) {
        if (!readMore(fd, pending, stop_))
            return false;
    }
    HttpRequest request;
    const QByteArray head = pending.left(end);
    pending.remove(0, end + 4);
    request.method = head.left(head.indexOf(' '));
    request.headers = head.mid(head.indexOf('\n') + 1).toLower();
    if (headerValue(request.headers, "expect").startsWith("100") && !sendAll(fd, "HTTP/1.1 100 Continue\r\n\r\n"))
        return false;

    // Body.
    if (headerValue(request.headers, "transfer-encoding") == "chunked") {
        for (;;) {
            qsizetype lineEnd;
            while ((lineEnd = pending.indexOf("\r\n")) < 0) {
                if (!readMore(fd, pending, stop_))
                    return false;
            }
            bool ok = false;
            const qsizetype size = pending.left(lineEnd).split(';').first().trimmed().toLongLong(&ok, 16);
            if (!ok)
                return false;
            while (pending.size() < lineEnd + 2 + size + 2) {
                if (!readMore(fd, pending, stop_))
                    return false;
            }
            request.body.append(pending.mid(lineEnd + 2, size));
            pending.remove(0, lineEnd + 2 + size + 2);
            if (size == 0)
                break;
        }
    } else {
        const qsizetype length = headerValue(request.headers, "content-length").toLongLong();
        while (pending.size() < length) {
            if (!readMore(fd, pending, stop_))
                return false;
        }
        request.body = pending.left(length);
        pending.remove(0, length);
    }

    // The IPP request, and the document after it.
    ipp_t *ipp = ippNew();
    MemorySource source{&request.body, 0};
    if (request.method != "POST"
        || ippReadIO(&source, reinterpret_cast<ipp_iocb_t>(readMemory), 1, nullptr, ipp) != IPP_STATE_DATA) {
        ippDelete(ipp);
        sendAll(fd, "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n");
        return false;
    }
    const auto operation = ipp_op_t(ippGetOperation(ipp));
    const bool isDocument = operation == IPP_OP_SEND_DOCUMENT || operation == IPP_OP_PRINT_JOB;
    const PrintServerScript script = this->script();

    ipp_t *response = ippNewResponse(ipp);
    int jobId = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        operations_ << QByteArray(ippOpString(operation));
        if (isDocument)
            documents_ << request.body.mid(source.position);
        if (operation == IPP_OP_CREATE_JOB || operation == IPP_OP_PRINT_JOB) {
            ipp_attribute_t *name = ippFindAttribute(ipp, "job-name", IPP_TAG_ZERO);
            jobNames_ << QByteArray(name ? ippGetString(name, 0, nullptr) : "");
            jobId = nextJobId_++;
        }
        if (operation == IPP_OP_CANCEL_JOB)
            cancelled_ << jobIdOf(ipp);
    }

    const Answer answer = isDocument ? script.document : script.requests;
    if (answer == Answer::Close) {
        ippDelete(ipp);
        ippDelete(response);
        return false;
    }
    if (answer == Answer::Never) {
        ippDelete(ipp);
        ippDelete(response);
        drain(fd, stop_);
        return false;
    }
    if (answer == Answer::Slowly) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(script.slowMs);
        while (!stop_ && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    if (answer == Answer::Fail) {
        ippSetStatusCode(response, IPP_STATUS_ERROR_INTERNAL);
    } else {
        switch (operation) {
        case IPP_OP_CUPS_GET_DEFAULT:
        case IPP_OP_GET_PRINTER_ATTRIBUTES:
        case IPP_OP_CUPS_GET_PRINTERS:
            if (script.printerName.isEmpty())
                ippSetStatusCode(response, IPP_STATUS_ERROR_NOT_FOUND);
            else
                addPrinter(response, script);
            break;
        case IPP_OP_CREATE_JOB:
        case IPP_OP_PRINT_JOB:
            if (!script.acceptingJobs)
                ippSetStatusCode(response, IPP_STATUS_ERROR_NOT_ACCEPTING_JOBS);
            else
                addJob(response, script, jobId, false);
            break;
        case IPP_OP_SEND_DOCUMENT:
            addJob(response, script, jobIdOf(ipp), false);
            break;
        case IPP_OP_GET_JOB_ATTRIBUTES:
            addJob(response, script, jobIdOf(ipp), true);
            break;
        case IPP_OP_CANCEL_JOB:
        case IPP_OP_GET_JOBS:
            break;
        default:
            ippSetStatusCode(response, IPP_STATUS_ERROR_OPERATION_NOT_SUPPORTED);
        }
    }
    ippDelete(ipp);

    QByteArray body;
    ippWriteIO(&body, reinterpret_cast<ipp_iocb_t>(writeMemory), 1, nullptr, response);
    ippDelete(response);
    const QByteArray header = "HTTP/1.1 200 OK\r\nContent-Type: application/ipp\r\nContent-Length: "
                              + QByteArray::number(body.size()) + "\r\n\r\n";
    if (script.pauseInAnswerMs <= 0)
        return sendAll(fd, header + body);
    if (!sendAll(fd, header))
        return false;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(script.pauseInAnswerMs);
    while (!stop_ && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return sendAll(fd, body);
}

namespace {

PrintServerScript neverAnswers()
{
    PrintServerScript script;
    script.requests = Answer::Never;
    return script;
}

}  // namespace

SilentServer::SilentServer(const QString &socketPath) : ScriptedPrintServer(socketPath, neverAnswers()) {}
