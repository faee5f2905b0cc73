// The shipped program started where no display is reachable: one line on
// standard error and exit status 1, no abort, nothing else; a platform that
// needs no display still starts.

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class TestNoDisplay : public QObject {
    Q_OBJECT

    // An X display number with no server behind it on this machine.
    static QString freeDisplay()
    {
        for (int n = 99; n < 999; ++n) {
            if (!QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(n))
                && !QFileInfo::exists(QStringLiteral("/tmp/.X%1-lock").arg(n)))
                return QStringLiteral(":%1").arg(n);
        }
        return QString();
    }

private slots:
    void startWithout_data()
    {
        QTest::addColumn<QStringList>("environment");  // NAME=VALUE added to a clean one
        QTest::addColumn<bool>("starts");
        QTest::addColumn<QString>("program");
        const QString loader = QStringLiteral(LOADER_PROGRAM);
        const QString display = freeDisplay();
        QTest::newRow("nothing set") << QStringList() << false << loader;
        QTest::newRow("an X display with no server") << QStringList{"DISPLAY=" + display} << false << loader;
        QTest::newRow("xcb asked, no server")
            << QStringList{"DISPLAY=" + display, "QT_QPA_PLATFORM=xcb"} << false << loader;
        QTest::newRow("a Wayland display with no compositor")
            << QStringList{"WAYLAND_DISPLAY=wayland-qx7100-none"} << false << loader;
        QTest::newRow("Wayland then X, neither there")
            << QStringList{"QT_QPA_PLATFORM=wayland;xcb", "DISPLAY=" + display} << false << loader;
        QTest::newRow("offscreen needs no display") << QStringList{"QT_QPA_PLATFORM=offscreen"} << true << loader;
        QTest::newRow("minimal needs no display") << QStringList{"QT_QPA_PLATFORM=minimal"} << true << loader;
        // The rehearsal's loader says the same in its own name.
        QTest::newRow("rehearsal, an X display with no server")
            << QStringList{"DISPLAY=" + display} << false << QStringLiteral(REHEARSAL_PROGRAM);
    }
    void startWithout()
    {
        QFETCH(QStringList, environment);
        QFETCH(bool, starts);
        QFETCH(QString, program);
        QTemporaryDir dir;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "WAYLAND_SOCKET", "QT_QPA_PLATFORM", "XDG_SESSION_TYPE"})
            env.remove(QString::fromLatin1(name));
        // No print server of the machine is asked: a socket where none listens.
        env.insert(QStringLiteral("CUPS_SERVER"), dir.filePath(QStringLiteral("no-cups.sock")));
        env.insert(QStringLiteral("HOME"), dir.path());
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.path());
        for (const QString &entry : environment)
            env.insert(entry.section('=', 0, 0), entry.section('=', 1));

        QProcess loader;
        loader.setProcessEnvironment(env);
        loader.start(program, {});
        QVERIFY(loader.waitForStarted());
        if (starts) {
            QVERIFY2(!loader.waitForFinished(1500), loader.readAllStandardError().constData());
            loader.kill();
            loader.waitForFinished();
            return;
        }
        QVERIFY(loader.waitForFinished(10000));
        QCOMPARE(loader.exitStatus(), QProcess::NormalExit);
        QCOMPARE(loader.exitCode(), 1);
        QCOMPARE(loader.readAllStandardError(),
                 QFileInfo(program).fileName().toUtf8()
                     + ": no display: start it from the desktop, or set DISPLAY or WAYLAND_DISPLAY\n");
        QCOMPARE(loader.readAllStandardOutput(), QByteArray());
    }
};

QTEST_GUILESS_MAIN(TestNoDisplay)
#include "tst_no_display.moc"
