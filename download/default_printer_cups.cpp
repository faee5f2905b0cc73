#include "download/cups_deadline.h"
#include "download/default_printer.h"
#include "spy/serial_ports.h"

#include <QDeadlineTimer>

#include <cups/cups.h>

namespace {

// The queue's device URI asked for directly, for servers whose destination list lacks it.
QString queryDeviceUri(http_t *http, const char *queue, QDeadlineTimer &deadline)
{
    char printerUri[HTTP_MAX_URI];
    httpAssembleURIf(HTTP_URI_CODING_ALL, printerUri, sizeof printerUri, "ipp", nullptr, "localhost", ippPort(),
                     "/printers/%s", queue);
    ipp_t *request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, printerUri);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr, "device-uri");
    waitUntil(http, deadline);
    ipp_t *response = cupsDoRequest(http, request, "/");
    QString uri;
    if (ipp_attribute_t *attr = ippFindAttribute(response, "device-uri", IPP_TAG_URI))
        uri = QString::fromUtf8(ippGetString(attr, 0, nullptr));
    ippDelete(response);
    return uri;
}

// Asks over a connection of its own at every query: no cached destination list, and
// no browsing of the network for printers (which would cost a second or more).
class CupsDefaultPrinter final : public DefaultPrinter {
public:
    DefaultPrinterInfo query(int budgetMs) override
    {
        DefaultPrinterInfo info;
        QDeadlineTimer deadline(budgetMs);
        // libcups would report a server that does not answer as "no default
        // destination"; connecting first tells the two apart, and fails at once
        // when nothing listens on the socket or port.
        http_t *http = httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1,
                                    int(qMax<qint64>(1, deadline.remainingTime())), nullptr);
        if (!http) {
            info.state =
                deadline.hasExpired() ? DefaultPrinterInfo::State::NotAnswering : DefaultPrinterInfo::State::NoServer;
            return info;
        }
        // Every request of the query shares the one deadline, however many libcups makes.
        waitUntil(http, deadline);

        cups_dest_t *dest = cupsGetNamedDest(http, nullptr, nullptr);
        if (!dest) {
            // A request that timed out or lost its connection got no answer at
            // all; one that the server failed (an HTTP server error) got no
            // answer about the default either.
            const bool lost = httpError(http) != 0 || httpGetStatus(http) >= HTTP_STATUS_SERVER_ERROR
                              || cupsLastError() == IPP_STATUS_ERROR_SERVICE_UNAVAILABLE;
            info.state = !lost                   ? DefaultPrinterInfo::State::NoDefault
                         : deadline.hasExpired() ? DefaultPrinterInfo::State::NotAnswering
                                                 : DefaultPrinterInfo::State::NoServer;
            httpClose(http);
            return info;
        }

        info.state = DefaultPrinterInfo::State::Ready;
        info.deviceName = QString::fromUtf8(dest->name);
        // IPP printer-state 5: stopped (paused with cupsdisable).
        const char *state = cupsGetOption("printer-state", dest->num_options, dest->options);
        info.paused = state && QByteArray(state) == "5";
        const char *uri = cupsGetOption("device-uri", dest->num_options, dest->options);
        const QString deviceUri = uri ? QString::fromUtf8(uri) : queryDeviceUri(http, dest->name, deadline);
        if (deviceUri.isEmpty() && deadline.hasExpired()) {
            info = DefaultPrinterInfo();
            info.state = DefaultPrinterInfo::State::NotAnswering;
            cupsFreeDests(1, dest);
            httpClose(http);
            return info;
        }
        info.portName = portNameFromDeviceUri(deviceUri);
        cupsFreeDests(1, dest);
        httpClose(http);
        return info;
    }
};

}  // namespace

std::unique_ptr<DefaultPrinter> makeCupsDefaultPrinter()
{
    return std::make_unique<CupsDefaultPrinter>();
}

QString portNameFromDeviceUri(const QString &deviceUri)
{
    const int lpt = lptOfDeviceUri(deviceUri);
    return lpt ? lptPortName(lpt) : deviceUri;
}
