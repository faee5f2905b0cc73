// The window's loader of the raw-print library: loaded at the first call,
// functions found by their exported names, clear words when something is missing.

#include "download/raw_print_library.h"

#include <QLibrary>
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

        RawPrintCall name = library->getDefPrinterName(QByteArray());
        QVERIFY(name.called);
        QCOMPARE(*nameCalls, 1);
        QCOMPARE(*emptyName, 1);

        const QByteArray path = QFile::encodeName(QStringLiteral("/images/décodeur v2/ok.bin"));
        RawPrintCall sent = library->sendPrnToDefPrinter(path);
        QVERIFY(sent.called);
        QCOMPARE(sent.result, 0);
        QCOMPARE(QByteArray(lastPath), path);

        sent = library->sendPrnToDefPrinter("/images/fail.bin");
        QCOMPARE(sent.result, -1);
        QCOMPARE(*sendCalls, 2);
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
