// The default-printer service over libcups: the port from the device URI, and the
// default destination read afresh from a private print server.

#include "download/default_printer.h"
#include "private_cups_server.h"

#include <QtTest>

Q_DECLARE_METATYPE(DefaultPrinterInfo::State)

class TestDefaultPrinter : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void portNameFromDeviceUri_data();
    void portNameFromDeviceUri();
    void readsTheCurrentDefault_data();
    void readsTheCurrentDefault();
    void noDefault();
    void noServer();

private:
    PrivateCupsServer m_server;
    // One service for the whole suite: each query must see the server's state of the moment.
    std::unique_ptr<DefaultPrinter> m_printer;
};

void TestDefaultPrinter::initTestCase()
{
    QVERIFY2(m_server.start(), qPrintable(m_server.errorString()));
    for (const auto &[name, uri] : {std::pair{"decoder_lpt1", "parallel:/dev/lp0"},
                                    std::pair{"decoder_lpt2", "parallel:/dev/lp1"},
                                    std::pair{"decoder_lpt3", "parallel:/dev/lp2"}}) {
        QVERIFY2(m_server.addRawQueue(QString::fromLatin1(name), QString::fromLatin1(uri), false),
                 qPrintable(m_server.errorString()));
    }
    m_printer = makeCupsDefaultPrinter();
}

void TestDefaultPrinter::init()
{
    QVERIFY2(m_server.start(), qPrintable(m_server.errorString()));
    QVERIFY2(m_server.setDefault(QStringLiteral("decoder_lpt1")), qPrintable(m_server.errorString()));
}

void TestDefaultPrinter::portNameFromDeviceUri_data()
{
    QTest::addColumn<QString>("uri");
    QTest::addColumn<QString>("port");

    QTest::newRow("lp0") << "parallel:/dev/lp0" << "LPT1:";
    QTest::newRow("lp1") << "parallel:/dev/lp1" << "LPT2:";
    QTest::newRow("lp2") << "parallel:/dev/lp2" << "parallel:/dev/lp2";
    QTest::newRow("lp10") << "parallel:/dev/lp10" << "parallel:/dev/lp10";
    QTest::newRow("lp0 with slashes") << "parallel:///dev/lp0" << "parallel:///dev/lp0";
    QTest::newRow("lp0 upper case") << "PARALLEL:/dev/lp0" << "PARALLEL:/dev/lp0";
    QTest::newRow("lp0 trailing blank") << "parallel:/dev/lp0 " << "parallel:/dev/lp0 ";
    QTest::newRow("usb") << "usb://Maker/Model?serial=1" << "usb://Maker/Model?serial=1";
    QTest::newRow("network") << "socket://192.0.2.1:9100" << "socket://192.0.2.1:9100";
    QTest::newRow("port name itself") << "LPT1:" << "LPT1:";
    QTest::newRow("empty") << "" << "";
}

void TestDefaultPrinter::portNameFromDeviceUri()
{
    QFETCH(QString, uri);
    QFETCH(QString, port);
    QCOMPARE(::portNameFromDeviceUri(uri), port);
}

void TestDefaultPrinter::readsTheCurrentDefault_data()
{
    QTest::addColumn<QString>("queue");
    QTest::addColumn<QString>("port");

    QTest::newRow("LPT1") << "decoder_lpt1" << "LPT1:";
    QTest::newRow("LPT2") << "decoder_lpt2" << "LPT2:";
    QTest::newRow("LPT3") << "decoder_lpt3" << "parallel:/dev/lp2";
}

void TestDefaultPrinter::readsTheCurrentDefault()
{
    QFETCH(QString, queue);
    QFETCH(QString, port);
    QVERIFY2(m_server.setDefault(queue), qPrintable(m_server.errorString()));

    const DefaultPrinterInfo info = m_printer->query(3000);
    QCOMPARE(info.state, DefaultPrinterInfo::State::Ready);
    QCOMPARE(info.deviceName, queue);
    QCOMPARE(info.portName, port);
}

void TestDefaultPrinter::noDefault()
{
    QVERIFY2(m_server.clearDefault(), qPrintable(m_server.errorString()));

    const DefaultPrinterInfo info = m_printer->query(3000);
    QCOMPARE(info.state, DefaultPrinterInfo::State::NoDefault);
    QVERIFY(info.deviceName.isEmpty());
    QVERIFY(info.portName.isEmpty());
}

void TestDefaultPrinter::noServer()
{
    m_server.stop();

    const DefaultPrinterInfo info = m_printer->query(3000);
    QCOMPARE(info.state, DefaultPrinterInfo::State::NoServer);
    QVERIFY(info.deviceName.isEmpty());
    QVERIFY(info.portName.isEmpty());
}

QTEST_GUILESS_MAIN(TestDefaultPrinter)
#include "tst_default_printer.moc"
