// The rehearsal's print set-up: whatever default printer the user has chosen (in
// ~/.cups/lpoptions, LPDEST or PRINTER), the loader's default is the rehearsal's queue.

#include "download/default_printer.h"
#include "private_cups_server.h"
#include "rehearsal_env.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(DefaultPrinterInfo::State)

class TestRehearsalEnv : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void userDefaultsDoNotCount_data();
    void userDefaultsDoNotCount();

private:
    void writeUserOptions(const QByteArray &text);

    // The user's home folder, with the ~/.cups/lpoptions that lp and lpoptions -d write.
    QTemporaryDir home_;
    PrivateCupsServer server_;
};

void TestRehearsalEnv::initTestCase()
{
    QVERIFY(home_.isValid());
    QVERIFY(QDir(home_.path()).mkpath(QStringLiteral(".cups")));
    // libcups notes the home folder once per thread, at its first use: before the server's start.
    qputenv("HOME", QFile::encodeName(home_.path()));
    QVERIFY2(server_.start(), qPrintable(server_.errorString()));
    QVERIFY2(server_.addRawQueue(QString::fromLatin1(RehearsalQueue), QStringLiteral("parallel:/dev/lp0"), true),
             qPrintable(server_.errorString()));
    QVERIFY2(server_.addRawQueue(QStringLiteral("bench_printer"), QStringLiteral("parallel:/dev/lp1"), false),
             qPrintable(server_.errorString()));
}

void TestRehearsalEnv::cleanup()
{
    QFile::remove(home_.filePath(QStringLiteral(".cups/lpoptions")));
    qunsetenv("LPDEST");
    qunsetenv("PRINTER");
}

void TestRehearsalEnv::writeUserOptions(const QByteArray &text)
{
    QFile file(home_.filePath(QStringLiteral(".cups/lpoptions")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(text), text.size());
}

void TestRehearsalEnv::userDefaultsDoNotCount_data()
{
    QTest::addColumn<QByteArray>("lpoptions");
    QTest::addColumn<QByteArray>("lpdest");
    QTest::addColumn<QByteArray>("printer");
    // What a plain client of the same server finds as its default with these settings.
    QTest::addColumn<DefaultPrinterInfo::State>("userState");
    QTest::addColumn<QString>("userDefault");

    const auto Ready = DefaultPrinterInfo::State::Ready;
    const auto NoDefault = DefaultPrinterInfo::State::NoDefault;
    QTest::newRow("lpoptions names a queue of the user's own server")
        << QByteArray("Default office_laser\n") << QByteArray() << QByteArray() << NoDefault << QString();
    QTest::newRow("lpoptions names another queue") << QByteArray("Default bench_printer\n") << QByteArray()
                                                   << QByteArray() << Ready << QStringLiteral("bench_printer");
    QTest::newRow("lpoptions with an instance")
        << QByteArray("Dest bench_printer/draft\nDefault bench_printer/draft\n") << QByteArray() << QByteArray()
        << Ready << QStringLiteral("bench_printer");
    QTest::newRow("LPDEST") << QByteArray() << QByteArray("bench_printer") << QByteArray() << Ready
                            << QStringLiteral("bench_printer");
    QTest::newRow("PRINTER") << QByteArray() << QByteArray() << QByteArray("office_laser") << NoDefault << QString();
}

void TestRehearsalEnv::userDefaultsDoNotCount()
{
    QFETCH(QByteArray, lpoptions);
    QFETCH(QByteArray, lpdest);
    QFETCH(QByteArray, printer);
    QFETCH(DefaultPrinterInfo::State, userState);
    QFETCH(QString, userDefault);

    if (!lpoptions.isEmpty())
        writeUserOptions(lpoptions);
    if (!lpdest.isEmpty())
        qputenv("LPDEST", lpdest);
    if (!printer.isEmpty())
        qputenv("PRINTER", printer);
    const std::unique_ptr<DefaultPrinter> printers = makeCupsDefaultPrinter();

    // The user's setting really is in the way of a plain client.
    const DefaultPrinterInfo before = printers->query(3000);
    QCOMPARE(before.state, userState);
    QCOMPARE(before.deviceName, userDefault);

    useRehearsalPrintServer(server_.socketPath(), QString::fromLatin1(RehearsalQueue));
    const DefaultPrinterInfo after = printers->query(3000);
    QCOMPARE(after.state, DefaultPrinterInfo::State::Ready);
    QCOMPARE(after.deviceName, QString::fromLatin1(RehearsalQueue));
    QCOMPARE(after.portName, QStringLiteral("LPT1:"));
}

QTEST_GUILESS_MAIN(TestRehearsalEnv)
#include "tst_rehearsal_env.moc"
