// Start and the print queue with the real window, the real raw-print library and
// the real job follow-up: a print server that never answers, or never answers the image, a paused queue, a
// second Start while the first image waits at a missing device, a double-click.
// The queues use the real parallel backend of cups-filters; their device is not
// an LPT name, so the printer service here reports the queue's port as LPT1:.

#include "loading_bench.h"
#include "silent_server.h"

#include <QAction>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTimer>
#include <QtTest>

#include <cups/cups.h>

namespace {

// The real default printer, its queue taken as sitting on LPT1:.
class OnLpt1 final : public DefaultPrinter {
public:
    std::unique_ptr<DefaultPrinter> real = makeCupsDefaultPrinter();
    DefaultPrinterInfo query(int budgetMs) override
    {
        DefaultPrinterInfo info = real->query(budgetMs);
        if (info.state == DefaultPrinterInfo::State::Ready)
            info.portName = QStringLiteral("LPT1:");
        return info;
    }
};

// The real services but for the printer, which sits on LPT1:.
LoaderServices onLpt1Services()
{
    LoaderServices services = makeRealServices(LoadingBench::programFolder());
    services.printer = std::make_unique<OnLpt1>();
    return services;
}

// The window shown, COM1 checked and image chosen unless empty.
struct Window : WindowFixture {
    explicit Window(const QString &image) : WindowFixture(onLpt1Services(), Show::Shown)
    {
        action("com1")->setChecked(true);
        if (!image.isEmpty())
            choose(image);
    }
    QString job() { return panel("Job")->text(); }
};

// Jobs of the server that have not ended.
int activeJobs()
{
    cups_job_t *jobs = nullptr;
    const int n = cupsGetJobs2(CUPS_HTTP_DEFAULT, &jobs, nullptr, 0, CUPS_WHICHJOBS_ACTIVE);
    cupsFreeJobs(qMax(n, 0), jobs);
    return n;
}

bool runCups(const QString &tool, const QStringList &arguments)
{
    QString path = QStandardPaths::findExecutable(tool);
    if (path.isEmpty())
        path = QStandardPaths::findExecutable(tool, {QStringLiteral("/usr/sbin")});
    QProcess process;
    process.start(path, arguments);
    return process.waitForFinished(10000) && process.exitCode() == 0;
}

}  // namespace

class TestPrintQueue : public QObject {
    Q_OBJECT

    PrivateCupsServer server;
    QTemporaryDir files;
    QString image;
    const QString queue = QStringLiteral("qx7100");

private slots:
    void initTestCase()
    {
        QVERIFY(files.isValid());
        server.setBackend(PrivateCupsServer::Backend::RealParallel);
        QVERIFY(QFile::setPermissions(server.folder(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                           | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther
                                                           | QFile::ExeOther));
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        // A device this machine lacks: the backend holds each job and retries.
        QString device = QStringLiteral("/dev/lp7");
        for (int n = 8; QFile::exists(device); ++n)
            device = QStringLiteral("/dev/lp%1").arg(n);
        QVERIFY2(server.addRawQueue(queue, QStringLiteral("parallel:") + device, true),
                 qPrintable(server.errorString()));
        image = files.filePath(QStringLiteral("image.bin"));
        QFile file(image);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(200000, '\x11'));
    }

    void cleanup()
    {
        QVERIFY(server.cancelAllJobs());
        QVERIFY(runCups(QStringLiteral("cupsenable"), {queue}));
        QVERIFY(server.waitForJobsDone());
    }

    void pausedQueueGetsNothing()
    {
        QVERIFY(runCups(QStringLiteral("cupsdisable"), {queue}));
        Window w(image);
        w.start()->click();
        QCOMPARE(w.doubles.messages->warnings, QStringList{"The printer qx7100 is paused: nothing was sent."});
        QCOMPARE(activeJobs(), 0);
    }

    // The first image waits at the missing device: a second Start asks, and
    // "No" sends nothing; "Yes" cancels the first and sends the second.
    void secondStartWhileTheFirstWaits_data()
    {
        QTest::addColumn<bool>("answer");
        QTest::newRow("leave it") << false;
        QTest::newRow("cancel it and send") << true;
    }
    void secondStartWhileTheFirstWaits()
    {
        QFETCH(bool, answer);
        Window w(image);
        w.start()->click();
        QVERIFY(w.doubles.messages->warnings.isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(
            w.job().endsWith(QStringLiteral(": waiting: Printer not connected; will retry in 30 seconds.")), 15000);
        const QString first = w.job().section(QLatin1Char(':'), 0, 0);  // "Job N"
        QCOMPARE(activeJobs(), 1);

        w.doubles.messages->answer = answer;
        QTest::qWait(QApplication::doubleClickInterval() + 50);
        w.start()->click();
        QCOMPARE(w.doubles.messages->questions.size(), 1);
        QVERIFY2(w.doubles.messages->questions.first().startsWith(
                     QStringLiteral("An image sent before is still in the print "
                                    "queue of qx7100 (")
                     + first.toLower() + QStringLiteral(": waiting")),
                 qPrintable(w.doubles.messages->questions.first()));
        QCOMPARE(activeJobs(), 1);
        if (answer)
            QVERIFY(!w.job().startsWith(first + QLatin1Char(':')));
        else
            QVERIFY(w.job().startsWith(first + QLatin1Char(':')));
        // The waiting warning comes once, for the job that still waits.
        QTRY_COMPARE_WITH_TIMEOUT(w.doubles.messages->warnings.size(), 1, 20000);
        QVERIFY2(w.doubles.messages->warnings.first()
                     == QStringLiteral("The image is waiting at the printer qx7100: Printer not "
                                       "connected; will retry in 30 seconds."),
                 qPrintable(w.doubles.messages->warnings.first()));
    }

    void doubleClickSendsOneJob()
    {
        Window w(image);
        QVERIFY(QTest::qWaitForWindowExposed(w.window.get()));
        QTest::mouseClick(w.start(), Qt::LeftButton);
        QTest::mouseClick(w.start(), Qt::LeftButton, Qt::NoModifier, QPoint(), 50);
        QTest::qWait(300);
        QCOMPARE(activeJobs(), 1);
        QVERIFY(w.doubles.messages->questions.isEmpty());
    }

    // A server that accepts connections and never answers: the window comes up,
    // its event loop keeps running, and Start says the server does not answer.
    void serverThatNeverAnswers()
    {
        const QString socket = files.filePath(QStringLiteral("silent.sock"));
        SilentServer silent(socket);
        QVERIFY(silent.isListening());
        const QByteArray saved = qgetenv("CUPS_SERVER");
        qputenv("CUPS_SERVER", QFile::encodeName(socket));
        cupsSetServer(nullptr);

        QElapsedTimer shown;
        shown.start();
        {
            Window w(image);
            QVERIFY(QTest::qWaitForWindowExposed(w.window.get()));
            const qint64 startUp = shown.elapsed();
            QCOMPARE(w.panel("Printer")->text(), QStringLiteral("Printer: "));

            QElapsedTimer sinceTick;
            qint64 longestGap = 0;
            QTimer ticker;
            ticker.setInterval(10);
            connect(&ticker, &QTimer::timeout, this, [&] { longestGap = qMax(longestGap, sinceTick.restart()); });
            sinceTick.start();
            ticker.start();
            QTimer::singleShot(50, w.start(), [&w] { w.start()->click(); });
            QTRY_COMPARE_WITH_TIMEOUT(w.doubles.messages->warnings.size(), 1, 15000);
            QTest::qWait(100);
            ticker.stop();
            qInfo("window shown after %lld ms; longest event-loop gap around Start %lld ms", startUp, longestGap);
            QCOMPARE(w.doubles.messages->warnings.first(),
                     QStringLiteral("No default printer: the print server does not answer."));
            QVERIFY(silent.connections() > 0);
            // Bounded, with a wide margin for a loaded machine: never the 30 s of a request.
            QVERIFY2(startUp < 6000, qPrintable(QString::number(startUp)));
            QVERIFY2(longestGap < 8000, qPrintable(QString::number(longestGap)));
        }
        qputenv("CUPS_SERVER", saved);
        cupsSetServer(nullptr);
    }

    // A print server that takes the whole image and then never answers it: Start
    // reports the image as not accepted (the library's code 9) within the stall
    // limit, follows no job, and the event loop is never held much longer.
    void serverSilentAfterTheImage()
    {
        const QString socket = files.filePath(QStringLiteral("scripted.sock"));
        PrintServerScript script;
        script.document = PrintServerScript::Answer::Never;
        ScriptedPrintServer scripted(socket, script);
        QVERIFY(scripted.isListening());
        const QByteArray saved = qgetenv("CUPS_SERVER");
        qputenv("CUPS_SERVER", QFile::encodeName(socket));
        cupsSetServer(nullptr);
        {
            Window w(image);
            QVERIFY(QTest::qWaitForWindowExposed(w.window.get()));
            QElapsedTimer sinceTick;
            qint64 longestGap = 0;
            QTimer ticker;
            ticker.setInterval(10);
            connect(&ticker, &QTimer::timeout, this, [&] { longestGap = qMax(longestGap, sinceTick.restart()); });
            sinceTick.start();
            ticker.start();
            QTimer::singleShot(50, w.start(), [&w] { w.start()->click(); });
            QTRY_COMPARE_WITH_TIMEOUT(w.doubles.messages->warnings.size(), 1, 15000);
            QTest::qWait(100);
            ticker.stop();
            qInfo("longest event-loop gap around Start %lld ms", longestGap);
            QVERIFY2(w.doubles.messages->warnings.first().endsWith(QStringLiteral("Error 9")),
                     qPrintable(w.doubles.messages->warnings.first()));
            QCOMPARE(scripted.documents().size(), 1);
            QCOMPARE(scripted.documents().first().size(), QFileInfo(image).size());
            QCOMPARE(scripted.cancelledJobs(), QList<int>{7});
            QVERIFY(!w.panel("Job")->isVisible());
            // The stall limit after the last byte, with a margin for a loaded machine.
            QVERIFY2(longestGap < 8000, qPrintable(QString::number(longestGap)));
        }
        qputenv("CUPS_SERVER", saved);
        cupsSetServer(nullptr);
    }
};

QTEST_MAIN(TestPrintQueue)
#include "tst_print_queue.moc"
