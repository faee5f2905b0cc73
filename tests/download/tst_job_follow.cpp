// The follow-up of a job that the raw-print library created, against a private
// print server whose parallel backend is the real one of cups-filters, on a
// pseudo-terminal (read or not read, closed mid-image), a missing device and a
// directory. Each row ends in the panel text and the warning the user gets.

#include "binprn32.h"
#include "download/job_follower.h"
#include "private_cups_server.h"
#include "pty_pair.h"

#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

enum class Case { Completes, DeviceMissing, PausedAfterQueued, CancelledOutside, BackendFails, PortPulled };

const QString Queue = QStringLiteral("decoder");
const QString NotConnected = QStringLiteral("Printer not connected; will retry in 30 seconds.");

// A device that this machine does not have: the real backend keeps retrying.
QString missingDevice()
{
    for (int n = 7; n < 64; ++n) {
        const QString path = QStringLiteral("/dev/lp%1").arg(n);
        if (!QFile::exists(path))
            return path;
    }
    return QStringLiteral("/dev/no-such-parallel-port");
}

bool runCups(const QString &tool, const QStringList &arguments, QString *error)
{
    QString path = QStandardPaths::findExecutable(tool);
    if (path.isEmpty())
        path = QStandardPaths::findExecutable(tool, {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
    if (path.isEmpty()) {
        *error = tool + QStringLiteral(" not found: install the Debian package cups-client");
        return false;
    }
    QProcess process;
    process.start(path, arguments);
    if (!process.waitForFinished(10000) || process.exitCode() != 0) {
        *error = tool + QStringLiteral(" failed: ") + QString::fromLocal8Bit(process.readAllStandardError());
        return false;
    }
    return true;
}

}  // namespace

Q_DECLARE_METATYPE(Case)

class TestJobFollow : public QObject {
    Q_OBJECT

    PrivateCupsServer server_;
    QTemporaryDir files_;
    std::unique_ptr<PrintJobs> jobs_;
    int queues_ = 0;

private slots:
    void initTestCase()
    {
        server_.setBackend(PrivateCupsServer::Backend::RealParallel);
        // A root print server runs the real backend as lp, which must reach it
        // through the server's folder.
        QVERIFY(QFile::setPermissions(server_.folder(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                            | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther
                                                            | QFile::ExeOther));
        QVERIFY2(server_.start(), qPrintable(server_.errorString()));
        QVERIFY(files_.isValid());
        jobs_ = makeCupsPrintJobs();
    }

    void cleanup() { server_.cancelAllJobs(); }

    void follows_data()
    {
        QTest::addColumn<Case>("kind");
        QTest::addColumn<int>("size");
        QTest::addColumn<QString>("panel");    // the panel text reached; "~X": starts with X
        QTest::addColumn<QString>("warning");  // "~X": starts with X; empty: none
        QTest::newRow("completes") << Case::Completes << 200000 << "Job %1: sent 200000 bytes"
                                   << "";
        QTest::newRow("device missing, backend retrying")
            << Case::DeviceMissing << 1000 << "Job %1: waiting: " + NotConnected
            << "The image is waiting at the printer %2: " + NotConnected;
        QTest::newRow("queue paused after the job was queued")
            << Case::PausedAfterQueued << 4000000 << "~Job %1: waiting"
            << "";
        QTest::newRow("cancelled from outside") << Case::CancelledOutside << 1000 << "Job %1: cancelled"
                                                << "The job %1 at the printer %2 was cancelled.";
        QTest::newRow("aborted by a failing backend") << Case::BackendFails << 1000 << "~Job %1: failed: "
                                                      << "~The printer %2 did not send the whole image: ";
        QTest::newRow("port pulled mid-image")
            << Case::PortPulled << 4000000 << "Job %1: failed: Unable to write print data: Input/output error"
            << "The printer %2 did not send the whole image: Unable to write print data: Input/output error";
    }

    void follows()
    {
        QFETCH(Case, kind);
        QFETCH(int, size);
        QFETCH(QString, panel);
        QFETCH(QString, warning);

        PtyPair port;
        QVERIFY2(port.isOpen(), qPrintable(port.errorString()));
        // A root print server runs the backend as lp.
        ::chmod(QFile::encodeName(port.slavePath()).constData(), 0666);
        QString device = port.slavePath();
        if (kind == Case::DeviceMissing || kind == Case::CancelledOutside)
            device = missingDevice();
        else if (kind == Case::BackendFails)
            device = files_.path();  // a directory: the backend fails at once
        const QString queue = Queue + QString::number(++queues_);
        QVERIFY2(server_.addRawQueue(queue, QStringLiteral("parallel:") + device, true),
                 qPrintable(server_.errorString()));

        const QString path = files_.filePath(QStringLiteral("image.bin"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(QByteArray(size, '\x3c'));
        file.close();
        int32_t job = 0;
        QCOMPARE(vbSendPrnToDefPrinterJob(QFile::encodeName(path).constData(), &job), int16_t(BINPRN32_OK));
        QVERIFY(job > 0);

        JobFollower follower(*jobs_);
        JobFollower::Timing timing;
        timing.waitWarningMs = kind == Case::DeviceMissing ? 2000 : 60000;
        follower.setTiming(timing);
        QSignalSpy warnings(&follower, &JobFollower::warning);
        follower.follow(queue, job, size);

        for (QString *text : {&panel, &warning})
            text->replace(QStringLiteral("%1"), QString::number(job)).replace(QStringLiteral("%2"), queue);
        QString error;
        if (kind == Case::PausedAfterQueued || kind == Case::PortPulled) {
            // Going out into a line that nobody reads: the backend blocks.
            QTRY_COMPARE_WITH_TIMEOUT(follower.panelText(), QStringLiteral("Job %1: sending").arg(job), 15000);
            if (kind == Case::PausedAfterQueued)
                QVERIFY2(runCups(QStringLiteral("cupsdisable"), {queue}, &error), qPrintable(error));
            else
                port.closeMaster();
        } else if (kind == Case::CancelledOutside) {
            QVERIFY2(
                QTest::qWaitFor(
                    [&] { return follower.panelText() == QStringLiteral("Job %1: waiting: ").arg(job) + NotConnected; },
                    15000),
                qPrintable(follower.panelText() + QStringLiteral("\n") + server_.log()));
            QVERIFY2(runCups(QStringLiteral("cancel"), {QString::number(job)}, &error), qPrintable(error));
        }

        auto reached = [](const QString &text, const QString &expected) {
            return expected.startsWith(QLatin1Char('~')) ? text.startsWith(expected.mid(1)) : text == expected;
        };
        QByteArray received;
        QVERIFY2(QTest::qWaitFor(
                     [&] {
                         if (kind == Case::Completes)
                             received += port.read(20);
                         return reached(follower.panelText(), panel);
                     },
                     30000),
                 qPrintable(follower.panelText() + QStringLiteral("\n") + server_.log()));
        if (kind == Case::Completes)
            QCOMPARE(received.size(), size);
        if (warning.isEmpty()) {
            QTest::qWait(500);
            QCOMPARE(warnings.size(), 0);
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(warnings.size(), 1, 15000);
            QVERIFY2(reached(warnings.first().at(0).toString(), warning),
                     qPrintable(warnings.first().at(0).toString()));
            qInfo("warning: %s", qPrintable(warnings.first().at(0).toString()));
        }
        if (kind == Case::PausedAfterQueued) {
            QVERIFY2(runCups(QStringLiteral("cupsenable"), {queue}, &error), qPrintable(error));
            QVERIFY(follower.active());
        }
    }

    // A job the server no longer knows has ended, state unknown.
    void unknownJobHasEnded()
    {
        JobLook look = jobs_->look(999999, 500);
        QCOMPARE(look.outcome, JobLook::Outcome::NotFound);
        QCOMPARE(jobStateText(jobStatusFromLook(look), 0), QStringLiteral("ended, state unknown"));
    }
};

QTEST_GUILESS_MAIN(TestJobFollow)
#include "tst_job_follow.moc"
