// A port whose device went away opens again by itself once the same device
// is back: in a private /dev, /dev/com1 is a link to a pseudo-terminal that
// goes away (link removed, far end closed) and comes back as another one.
#include "private_dev.h"
#include "spy/mscomm.h"
#include "window_fixture.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QtTest>

#include <cstdio>

namespace {

const QString kEnding = QStringLiteral("The port is closed; it opens again when the device is back.");

}  // namespace

class TestPortReturn : public QObject {
    Q_OBJECT

    struct Fixture : WindowFixture {
        Fixture() : WindowFixture({Show::Hidden, QString(), true}) {}
        QString settings() { return panel("Settings")->text(); }
        QString shown() { return spy()->toPlainText(); }
        QStringList &warnings() { return doubles.messages->warnings; }

        // COM1 is /dev/com1, a link to line1; it is opened and shows text,
        // then the link goes and the far end closes: one warning.
        bool openThenLose()
        {
            QString error;
            if (!privatedev::addLink(QStringLiteral("com1"), line1->slavePath(), &error)) {
                qWarning("%s", qPrintable(error));
                return false;
            }
            device1 = QStringLiteral("/dev/com1");
            action("com1")->trigger();
            if (!window->serialPort().portOpen() || !line1->write("before\r\n"))
                return false;
            if (!QTest::qWaitFor([this] { return shown() == QStringLiteral("before\n"); }))
                return false;
            privatedev::remove(QStringLiteral("com1"));
            line1->closeSlave();
            line1->closeMaster();
            return QTest::qWaitFor([this] { return warnings().size() == 1; }) && !window->serialPort().portOpen();
        }
    };

private slots:
    void init() { QVERIFY2(privatedev::entered(), qPrintable(privatedev::enterError())); }

    void theDeviceComesBack()
    {
        Fixture f;
        QVERIFY(f.openThenLose());
        QVERIFY2(f.warnings()[0].startsWith(QStringLiteral("COM1 (/dev/com1) stopped working: ")),
                 qPrintable(f.warnings()[0]));
        QVERIFY2(f.warnings()[0].endsWith(QStringLiteral(". ") + kEnding), qPrintable(f.warnings()[0]));
        QVERIFY(!f.action("com1")->isChecked());
        QCOMPARE(f.settings(), QStringLiteral("COM settings:"));

        // The link comes back to another pseudo-terminal (the adapter plugged
        // in again): the port opens on it by itself, and nothing is sent.
        PtyPair again;
        QString error;
        QVERIFY2(privatedev::addLink(QStringLiteral("com1"), again.slavePath(), &error), qPrintable(error));
        QTRY_VERIFY(f.window->serialPort().portOpen());
        QVERIFY(f.action("com1")->isChecked());
        QVERIFY(!f.action("com2")->isChecked());
        QCOMPARE(f.settings(), QStringLiteral("Settings: 38400,n,8,1"));
        QCOMPARE(f.window->serialPort().commPort(), int16_t(1));
        QVERIFY(again.write("after\r\n"));
        QTRY_COMPARE(f.shown(), QStringLiteral("before\nafter\n"));
        QCOMPARE(again.readFor(200), QByteArray());
        QCOMPARE(f.warnings().size(), 1);
        privatedev::remove(QStringLiteral("com1"));
    }

    // Choosing a Com item ends the wait: the device coming back later
    // changes nothing, whether the chosen port opened or not (COM2 is made
    // to name the same link, so that only the ended wait keeps it closed).
    void choosingComTwoEndsTheWait_data()
    {
        QTest::addColumn<bool>("comTwoOpens");
        QTest::newRow("COM2 opens") << true;
        QTest::newRow("COM2 does not open") << false;
    }
    void choosingComTwoEndsTheWait()
    {
        QFETCH(bool, comTwoOpens);
        Fixture f;
        QVERIFY(f.openThenLose());
        if (!comTwoOpens)
            f.device2 = QStringLiteral("/dev/com1");
        f.action("com2")->trigger();
        QCOMPARE(f.window->serialPort().portOpen(), comTwoOpens);
        QCOMPARE(f.window->serialPort().commPort(), int16_t(2));
        QCOMPARE(f.warnings().size(), comTwoOpens ? 1 : 2);

        PtyPair again;
        QString error;
        QVERIFY2(privatedev::addLink(QStringLiteral("com1"), again.slavePath(), &error), qPrintable(error));
        QTest::qWait(400);
        QCOMPARE(f.window->serialPort().portOpen(), comTwoOpens);
        QCOMPARE(f.window->serialPort().commPort(), int16_t(2));
        QCOMPARE(f.action("com2")->isChecked(), comTwoOpens);
        QVERIFY(!f.action("com1")->isChecked());
        QCOMPARE(f.warnings().size(), comTwoOpens ? 1 : 2);
        if (comTwoOpens) {
            QVERIFY(f.line2->write("on two"));
            QTRY_COMPARE(f.shown(), QStringLiteral("before\non two"));
        }
        privatedev::remove(QStringLiteral("com1"));
    }

    // A link that comes back to something that does not open keeps the wait,
    // without a word; the real device then still brings the port back.
    void aDeviceThatDoesNotOpenKeepsWaiting_data()
    {
        QTest::addColumn<QString>("target");
        QTest::newRow("not a terminal") << "/dev/null";
        QTest::newRow("leads nowhere") << "/dev/ttyUSB7";
    }
    void aDeviceThatDoesNotOpenKeepsWaiting()
    {
        QFETCH(QString, target);
        Fixture f;
        QVERIFY(f.openThenLose());
        QString error;
        QVERIFY2(privatedev::addLink(QStringLiteral("com1"), target, &error), qPrintable(error));
        QTest::qWait(400);
        QVERIFY(!f.window->serialPort().portOpen());
        QVERIFY(!f.action("com1")->isChecked());
        QCOMPARE(f.warnings().size(), 1);

        PtyPair again;
        QVERIFY2(privatedev::addLink(QStringLiteral("com1"), again.slavePath(), &error), qPrintable(error));
        QTRY_VERIFY(f.window->serialPort().portOpen());
        QVERIFY(f.action("com1")->isChecked());
        QCOMPARE(f.warnings().size(), 1);
        privatedev::remove(QStringLiteral("com1"));
    }
};

// The private /dev is made before Qt starts any thread; the cases fail with
// the reason when it could not be made.
int main(int argc, char **argv)
{
    QString error;
    if (!privatedev::enter(&error))
        std::fprintf(stderr, "tst_port_return: no private /dev: %s\n", qPrintable(error));
    QApplication app(argc, argv);
    TestPortReturn test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_port_return.moc"
