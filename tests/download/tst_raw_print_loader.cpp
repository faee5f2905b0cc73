// The window's loader of the raw-print library: loaded at the first call,
// functions found by their exported names, clear words when something is missing.

#include "download/raw_print_library.h"

#include <QLibrary>
#include <QTemporaryDir>
#include <QtTest>

class TestRawPrintLoader : public QObject {
    Q_OBJECT

private slots:
    void callsReachTheLibrary()
    {
        auto library = makeRawPrintLibrary(QStringLiteral(FAKE_LIBRARY));
        QLibrary probe(QStringLiteral(FAKE_LIBRARY));
        QVERIFY(probe.load());
        auto *nameCalls = reinterpret_cast<int *>(probe.resolve("fake_name_calls"));
        auto *sendCalls = reinterpret_cast<int *>(probe.resolve("fake_send_calls"));
        auto *emptyName = reinterpret_cast<int *>(probe.resolve("fake_name_argument_was_empty"));
        auto *lastPath = reinterpret_cast<const char *>(probe.resolve("fake_last_path"));
        QVERIFY(nameCalls && sendCalls && emptyName && lastPath);

        // The fake writes the text's terminating zero back: the buffer must be writable.
        RawPrintCall name = library->getDefPrinterName(QByteArray());
        QVERIFY(name.called);
        QCOMPARE(*nameCalls, 1);
        QCOMPARE(*emptyName, 1);
        name = library->getDefPrinterName(QByteArray(""));
        QCOMPARE(*nameCalls, 2);
        QCOMPARE(*emptyName, 1);

        const QByteArray path = QFile::encodeName(QStringLiteral("/images/décodeur v2/ok.bin"));
        RawPrintCall sent = library->sendPrnToDefPrinter(path);
        QVERIFY(sent.called);
        QCOMPARE(sent.result, 0);
        QCOMPARE(sent.jobId, 100);
        QCOMPARE(sent.bytesSent, qint64(4242));
        QCOMPARE(QByteArray(lastPath), path);

        sent = library->sendPrnToDefPrinter("/images/fail.bin");
        QCOMPARE(sent.result, -1);
        QCOMPARE(sent.jobId, 0);
        QCOMPARE(sent.bytesSent, qint64(-1));
        QCOMPARE(*sendCalls, 2);
    }

    void libraryWithoutJobExportSendsWithoutJob()
    {
        auto library = makeRawPrintLibrary(QStringLiteral(NOJOB_LIBRARY));
        const RawPrintCall sent = library->sendPrnToDefPrinter("/images/ok.bin");
        QVERIFY2(sent.called, qPrintable(sent.error));
        QCOMPARE(sent.result, 0);
        QCOMPARE(sent.jobId, 0);
        QCOMPARE(sent.bytesSent, qint64(-1));
    }

    // A library that tells the job but not the bytes: the job is followed, the count is not known.
    void libraryWithoutBytesExportSendsWithJob()
    {
        auto library = makeRawPrintLibrary(QStringLiteral(NOBYTES_LIBRARY));
        const RawPrintCall sent = library->sendPrnToDefPrinter("/images/ok.bin");
        QVERIFY2(sent.called, qPrintable(sent.error));
        QCOMPARE(sent.result, 0);
        QCOMPARE(sent.jobId, 100);
        QCOMPARE(sent.bytesSent, qint64(-1));
    }

    // A failed load is not kept for the run: once the file is there and good, the
    // next call loads it. Each failure says plainly why, naming the real path.
    void failedLoadIsTriedAgain()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(QStringLiteral("libbinprn32.so"));
        auto library = makeRawPrintLibrary(path);

        RawPrintCall call = library->sendPrnToDefPrinter("/x.bin");
        QVERIFY(!call.called);
        QCOMPARE(call.error, QStringLiteral("Cannot load the printing library %1: the file is missing").arg(path));

        QFile junk(path);
        QVERIFY(junk.open(QIODevice::WriteOnly));
        junk.write(QByteArray(4096, 'x'));
        junk.close();
        call = library->sendPrnToDefPrinter("/x.bin");
        QVERIFY(!call.called);
        const QString prefix = QStringLiteral("Cannot load the printing library %1: ").arg(path);
        QVERIFY2(call.error.startsWith(prefix), qPrintable(call.error));
        const QString reason = call.error.mid(prefix.size());
        QVERIFY2(!reason.isEmpty() && !reason.contains(QLatin1Char('/')), qPrintable(call.error));

        QVERIFY(QFile::remove(path));
        QVERIFY(QFile::copy(QStringLiteral(FAKE_LIBRARY), path));
        call = library->sendPrnToDefPrinter("/x.bin");
        QVERIFY2(call.called, qPrintable(call.error));
        QCOMPARE(call.result, 0);
        QVERIFY(library->getDefPrinterName(QByteArray()).called);
    }

    void missingLibraryOrFunctionIsNamed()
    {
        const QString missing = QDir::temp().filePath(QStringLiteral("no-such-dir-4711/libbinprn32.so"));
        auto absent = makeRawPrintLibrary(missing);
        RawPrintCall call = absent->sendPrnToDefPrinter("/x.bin");
        QVERIFY(!call.called);
        QVERIFY2(call.error.startsWith(QStringLiteral("Cannot load the printing library ") + missing + ": "),
                 qPrintable(call.error));

        auto partial = makeRawPrintLibrary(QStringLiteral(PARTIAL_LIBRARY));
        call = partial->getDefPrinterName(QByteArray());
        QVERIFY(!call.called);
        QCOMPARE(call.error, QStringLiteral("The printing library %1 has no function vbGetDefPrinterName.")
                                 .arg(QStringLiteral(PARTIAL_LIBRARY)));
        // The other function of the same library still works.
        call = partial->sendPrnToDefPrinter("/x.bin");
        QVERIFY(call.called);
        QCOMPARE(call.result, 0);
    }
};

QTEST_APPLESS_MAIN(TestRawPrintLoader)
#include "tst_raw_print_loader.moc"
