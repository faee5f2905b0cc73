// The follow-up of a print job with a scripted print server: the panel text of
// each state the server can report, the warnings (each once), the question's
// state text, and the back-off when the server does not answer.

#include "download/job_follower.h"
#include "service_doubles.h"

#include <QSignalSpy>
#include <QtTest>

Q_DECLARE_METATYPE(JobLook)

namespace {

JobLook answered(int state, const QString &message = {}, const QStringList &printerReasons = {},
                 const QStringList &reasons = {})
{
    JobLook look = FakePrintJobs::state(state, message, printerReasons);
    look.reasons = reasons;
    return look;
}

const QString NotConnected = QStringLiteral("Printer not connected; will retry in 30 seconds.");
const QString WriteFailed = QStringLiteral("Unable to write print data: Input/output error");

JobFollower::Timing fast()
{
    JobFollower::Timing timing;
    timing.firstLookMs = 10;
    timing.intervalMs = 20;
    timing.longestIntervalMs = 160;
    timing.waitWarningMs = 300;
    return timing;
}

}  // namespace

class TestJobFollower : public QObject {
    Q_OBJECT

private slots:
    void panelAndWarning_data()
    {
        QTest::addColumn<JobLook>("look");
        QTest::addColumn<QString>("panel");
        QTest::addColumn<QString>("warning");  // shown once the job reaches the state; empty: none

        JobLook gone;
        gone.outcome = JobLook::Outcome::NotFound;
        QTest::newRow("pending") << answered(3) << "Job 12: waiting"
                                 << "";
        QTest::newRow("pending with the printer's message")
            << answered(3, NotConnected) << "Job 12: waiting: " + NotConnected << "";
        QTest::newRow("processing") << answered(5, {}, {"none"}) << "Job 12: sending"
                                    << "";
        QTest::newRow("processing, a report only") << answered(5, "Sending data", {"other-report"}) << "Job 12: sending"
                                                   << "";
        QTest::newRow("completed") << answered(9, {}, {"none"}) << "Job 12: sent 2097152 bytes"
                                   << "";
        QTest::newRow("completed, the write failed")
            << answered(9, WriteFailed, {"none"}, {"processing-to-stop-point"}) << "Job 12: failed: " + WriteFailed
            << "The printer decoder did not send the whole image: " + WriteFailed;
        QTest::newRow("held") << answered(4, {}, {}, {"job-hold-until-specified"})
                              << "Job 12: held: job-hold-until-specified"
                              << "The job 12 at the printer decoder stopped: job-hold-until-specified";
        QTest::newRow("stopped") << answered(6, "Filter failed", {"other-error"}) << "Job 12: stopped: Filter failed"
                                 << "The job 12 at the printer decoder stopped: Filter failed";
        QTest::newRow("cancelled") << answered(7) << "Job 12: cancelled"
                                   << "The job 12 at the printer decoder was cancelled.";
        QTest::newRow("aborted") << answered(8, "Unable to open parallel port: Is a directory")
                                 << "Job 12: failed: Unable to open parallel port: Is a directory"
                                 << "The printer decoder did not send the whole image: Unable to open parallel port: "
                                    "Is a directory";
        QTest::newRow("no longer known") << gone << "Job 12: ended, state unknown"
                                         << "";
    }
    void panelAndWarning()
    {
        QFETCH(JobLook, look);
        QFETCH(QString, panel);
        QFETCH(QString, warning);
        FakePrintJobs jobs;
        jobs.jobs[12] = look;
        JobFollower follower(jobs);
        follower.setTiming(fast());
        QSignalSpy warnings(&follower, &JobFollower::warning);
        QSignalSpy panels(&follower, &JobFollower::panelChanged);

        follower.follow(QStringLiteral("decoder"), 12, 2097152);
        QCOMPARE(panels.takeFirst().at(0).toString(), QStringLiteral("Job 12: waiting"));
        QTRY_COMPARE(follower.panelText(), panel);
        QTest::qWait(200);  // many looks: nothing is said twice
        QCOMPARE(warnings.size(), warning.isEmpty() ? 0 : 1);
        if (!warning.isEmpty())
            QCOMPARE(warnings.first().at(0).toString(), warning);
        if (!panels.isEmpty())
            QCOMPARE(panels.last().at(0).toString(), panel);
        const JobStatus status = jobStatusFromLook(look);
        QCOMPARE(follower.active(), !status.ended());
        // Ended jobs are looked at no more.
        if (status.ended()) {
            const int looks = jobs.looks;
            QTest::qWait(100);
            QCOMPARE(jobs.looks, looks);
        }
    }

    // Waiting while the printer reports a problem warns once after the set time,
    // in the printer's words; waiting behind other jobs never does.
    void waitingWarnsOnce_data()
    {
        QTest::addColumn<JobLook>("look");
        QTest::addColumn<QString>("warning");
        QTest::newRow("device missing") << answered(5, NotConnected, {"connecting-to-device"})
                                        << "The image is waiting at the printer decoder: " + NotConnected;
        QTest::newRow("queue paused after the job came")
            << answered(3, {}, {"paused"}) << "The image is waiting at the printer decoder: paused";
        QTest::newRow("behind other jobs") << answered(3, {}, {"none"}) << "";
    }
    void waitingWarnsOnce()
    {
        QFETCH(JobLook, look);
        QFETCH(QString, warning);
        FakePrintJobs jobs;
        jobs.jobs[3] = look;
        JobFollower follower(jobs);
        follower.setTiming(fast());
        QSignalSpy warnings(&follower, &JobFollower::warning);
        follower.follow(QStringLiteral("decoder"), 3, 10);
        QTest::qWait(150);
        QCOMPARE(warnings.size(), 0);  // not before the set time
        QTest::qWait(600);
        QCOMPARE(warnings.size(), warning.isEmpty() ? 0 : 1);
        if (!warning.isEmpty())
            QCOMPARE(warnings.first().at(0).toString(), warning);
        QVERIFY(follower.active());
        QCOMPARE(follower.stateText(), jobStateText(jobStatusFromLook(look), 10));
    }

    // A server that does not answer is asked less and less often, never every tick,
    // and the job's last known state stays; once it answers, the pace is back.
    void backsOffWhileTheServerDoesNotAnswer()
    {
        FakePrintJobs jobs;
        JobLook silent;
        silent.outcome = JobLook::Outcome::NoAnswer;
        jobs.jobs[5] = answered(5);
        JobFollower follower(jobs);
        follower.setTiming(fast());
        follower.follow(QStringLiteral("decoder"), 5, 10);
        QTRY_COMPARE(follower.panelText(), QStringLiteral("Job 5: sending"));
        jobs.jobs[5] = silent;
        QTRY_COMPARE(follower.nextLookMs(), fast().longestIntervalMs);
        QCOMPARE(follower.panelText(), QStringLiteral("Job 5: sending"));
        const int looks = jobs.looks;
        QTest::qWait(400);
        QVERIFY2(jobs.looks - looks <= 4, qPrintable(QString::number(jobs.looks - looks)));
        jobs.jobs[5] = answered(9);
        QTRY_COMPARE(follower.panelText(), QStringLiteral("Job 5: sent 10 bytes"));
        QCOMPARE(follower.nextLookMs(), fast().intervalMs);
    }

    void cancelEndsTheFollowUpQuietly()
    {
        FakePrintJobs jobs;
        jobs.jobs[8] = answered(5, NotConnected, {"connecting-to-device"});
        JobFollower follower(jobs);
        follower.setTiming(fast());
        QSignalSpy warnings(&follower, &JobFollower::warning);
        follower.follow(QStringLiteral("decoder"), 8, 10);
        QTRY_COMPARE(follower.stateText(), "waiting: " + NotConnected);
        QVERIFY(follower.cancel(500));
        QCOMPARE(jobs.cancelled, QList<int>{8});
        QVERIFY(!follower.active());
        QCOMPARE(follower.panelText(), QStringLiteral("Job 8: cancelled"));
        QTest::qWait(100);
        QCOMPARE(warnings.size(), 0);

        jobs.cancelWorks = false;
        jobs.jobs[9] = answered(3);
        follower.follow(QStringLiteral("decoder"), 9, 10);
        QVERIFY(!follower.cancel(500));
        QVERIFY(follower.active());
    }
};

QTEST_MAIN(TestJobFollower)
#include "tst_job_follower.moc"
