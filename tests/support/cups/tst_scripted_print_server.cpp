// The tests' scripted print server answers libcups as a print server would, and hands
// over the texts a test sets unchanged: the window's tests rely on both.

#include "silent_server.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <cups/cups.h>

namespace {

// Get-Job-Attributes of job 7 on the server at socket, as the loader's job follow-up asks.
QByteArray jobMessage(const QString &socket, int *state)
{
    http_t *http = httpConnect2(QFile::encodeName(socket).constData(), 0, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_NEVER, 1,
                                3000, nullptr);
    if (!http)
        return "no connection";
    ipp_t *request = ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "job-uri", nullptr, "ipp://localhost/jobs/7");
    ipp_t *response = cupsDoRequest(http, request, "/");
    httpClose(http);
    if (!response)
        return "no answer";
    ipp_attribute_t *message = ippFindAttribute(response, "job-printer-state-message", IPP_TAG_TEXT);
    ipp_attribute_t *jobState = ippFindAttribute(response, "job-state", IPP_TAG_ENUM);
    *state = jobState ? ippGetInteger(jobState, 0) : -1;
    const QByteArray text = message ? QByteArray(ippGetString(message, 0, nullptr)) : QByteArray();
    ippDelete(response);
    return text;
}

}  // namespace

class TestScriptedPrintServer : public QObject {
    Q_OBJECT

private slots:
    void defaultDestinationAndJob()
    {
        QTemporaryDir dir;
        const QString socket = dir.filePath(QStringLiteral("s.sock"));
        ScriptedPrintServer server(socket);
        QVERIFY(server.isListening());
        http_t *http = httpConnect2(QFile::encodeName(socket).constData(), 0, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_NEVER,
                                    1, 3000, nullptr);
        QVERIFY(http);
        cups_dest_t *dest = cupsGetNamedDest(http, nullptr, nullptr);
        QVERIFY(dest);
        QCOMPARE(QByteArray(dest->name), QByteArray("qx7100"));
        QCOMPARE(cupsCreateJob(http, dest->name, "job", 0, nullptr), 7);
        QCOMPARE(cupsStartDocument(http, dest->name, 7, "job", CUPS_FORMAT_RAW, 1), HTTP_STATUS_CONTINUE);
        QCOMPARE(cupsWriteRequestData(http, "abc", 3), HTTP_STATUS_CONTINUE);
        QCOMPARE(cupsFinishDocument(http, dest->name), IPP_STATUS_OK);
        QVERIFY(cupsCancelJob2(http, dest->name, 7, 0) == IPP_STATUS_OK);
        cupsFreeDests(1, dest);
        httpClose(http);
        QCOMPARE(server.documents(), QList<QByteArray>{"abc"});
        QCOMPARE(server.jobNames(), QByteArrayList{"job"});
        QCOMPARE(server.cancelledJobs(), QList<int>{7});
    }

    void jobMessagesArriveUnchanged_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QByteArray>("received");

        const QByteArray rich = "<h1 style=\"font-size:400px\">Paper</h1><img src=x><a href=y>out</a>";
        QTest::newRow("rich text") << rich << rich;
        const QByteArray controls = "ink\x1b[2J\x07 low\r\nbs\x08\x08!\t\x7f\xc2\x9b";
        QTest::newRow("control characters") << controls << controls;
        QByteArray lines;
        for (int i = 1; i <= 200; ++i)
            lines += "line " + QByteArray::number(i) + '\n';
        QTest::newRow("200 lines") << lines << lines;
        const QByteArray big(32767, 'x');
        QTest::newRow("32767 bytes") << big << big;
        QTest::newRow("longer is cut to 32767") << QByteArray(40000, 'y') << QByteArray(32767, 'y');
    }

    void jobMessagesArriveUnchanged()
    {
        QFETCH(QByteArray, message);
        QFETCH(QByteArray, received);
        QTemporaryDir dir;
        const QString socket = dir.filePath(QStringLiteral("s.sock"));
        PrintServerScript script;
        script.jobState = IPP_JSTATE_STOPPED;
        script.jobPrinterStateMessage = message;
        ScriptedPrintServer server(socket, script);
        int state = 0;
        QCOMPARE(jobMessage(socket, &state), received);
        QCOMPARE(state, int(IPP_JSTATE_STOPPED));
    }
};

QTEST_GUILESS_MAIN(TestScriptedPrintServer)
#include "tst_scripted_print_server.moc"
