// Saving the spy log where other users or other file systems are involved:
// links planted by another user in a shared folder, an exFAT stick whose
// files cannot be given a mode. Needs root (to act as nobody, to mount the
// stick); fails saying what is missing.

#include "spy/spy_log.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uid_t kNobody = 65534;
const QByteArray kSecret = "root only\n";
const QByteArray kSaved = "spy log line one\r\nline two \xe2\x82\xac\r\n";

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

// Runs program with arguments as nobody; empty on success, else what went wrong.
QString runAsNobody(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral("setpriv"),
                  QStringList{QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                              QStringLiteral("--clear-groups"), QStringLiteral("--"), program}
                      + arguments);
    if (!process.waitForFinished(30000))
        return QStringLiteral("setpriv (util-linux) could not run: ") + process.errorString();
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return QStringLiteral("as nobody, %1 failed (this test needs root and setpriv from util-linux): %2")
            .arg(program, QString::fromLocal8Bit(process.readAllStandardError()));
    return QString();
}

}  // namespace

class TestSpyLogSave : public QObject {
    Q_OBJECT

public:
    ~TestSpyLogSave() override { releaseStick(); }

private slots:
    void cleanupTestCase() { releaseStick(); }
    void plantedLinks_data();
    void plantedLinks();
    void ontoAnExfatStick();

private:
    void releaseStick();
    QProcess stick_;
};

void TestSpyLogSave::plantedLinks_data()
{
    QTest::addColumn<uint>("folderMode");
    QTest::addColumn<bool>("folderOfNobody");
    QTest::addColumn<bool>("linkOfNobody");
    QTest::addColumn<bool>("followed");

    QTest::newRow("another user's link in a sticky folder writable by all") << 01777u << false << true << false;
    QTest::newRow("own link there") << 01777u << false << false << true;
    QTest::newRow("link of the folder's owner") << 01777u << true << true << true;
    QTest::newRow("another user's link in a folder that is not sticky") << 0777u << false << true << true;
}

// The saving user (root) is asked to save to a name in the shared folder at
// which nobody has planted a link to a root-only file: the kernel, with its
// protected-links rule on, would refuse to follow that link for root, and so
// does the save, whatever the rule's setting on this machine.
void TestSpyLogSave::plantedLinks()
{
    QFETCH(uint, folderMode);
    QFETCH(bool, folderOfNobody);
    QFETCH(bool, linkOfNobody);
    QFETCH(bool, followed);
    if (::geteuid() != 0)
        QFAIL("this test needs root: it plants links as the user nobody (setpriv, util-linux)");

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), 0755) == 0);
    const QString secret = dir.filePath(QStringLiteral("secret"));
    {
        QFile file(secret);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(kSecret), qint64(kSecret.size()));
        QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner));
    }
    const QString shared = dir.filePath(QStringLiteral("shared"));
    QVERIFY(QDir().mkdir(shared));
    QVERIFY(::chmod(QFile::encodeName(shared).constData(), mode_t(folderMode)) == 0);
    if (folderOfNobody)
        QVERIFY(::chown(QFile::encodeName(shared).constData(), kNobody, kNobody) == 0);

    const QString link = shared + QStringLiteral("/run.log");
    if (linkOfNobody) {
        const QString failure = runAsNobody(QStringLiteral("ln"), {QStringLiteral("-s"), secret, link});
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
    } else {
        QVERIFY(QFile::link(secret, link));
    }

    SpyLog log;
    log.append(QStringLiteral("spy log line one\r\nline two \u20ac\r\n"));
    QString reason;
    const bool saved = saveSpyLog(log, link, &reason);
    QVERIFY(QFileInfo(link).isSymLink());
    if (followed) {
        QVERIFY2(saved, qPrintable(reason));
        QCOMPARE(readAll(secret), kSaved);
    } else {
        QVERIFY(!saved);
        QCOMPARE(reason, QString::fromLocal8Bit(std::strerror(EACCES)));
        QCOMPARE(readAll(secret), kSecret);
    }
    QCOMPARE(QDir(shared).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden | QDir::System),
             QStringList{"run.log"});
}

// On exFAT every file has the owner and mode of the mount, and giving a file
// another mode fails for anyone but the mount's owner: the log is saved all the
// same, as the converter saves its image there.
void TestSpyLogSave::ontoAnExfatStick()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), 0711) == 0);
    const QString probe = dir.filePath(QStringLiteral("spy_log_save_probe"));
    QVERIFY(QFile::copy(QStringLiteral(SAVE_PROBE_PATH), probe));

    stick_.setProgram(QStringLiteral(USB_STICK_SCRIPT));
    stick_.setArguments({dir.path()});
    stick_.start();
    QVERIFY2(stick_.waitForStarted(), qPrintable(stick_.errorString()));
    QByteArray ready;
    while (!ready.contains('\n') && stick_.state() == QProcess::Running && stick_.waitForReadyRead(30000))
        ready += stick_.readAllStandardOutput();
    const QList<QByteArray> fields = ready.trimmed().split(' ');
    if (fields.size() != 3 || fields[0] != "ready") {
        stick_.waitForFinished(30000);
        QFAIL(qPrintable("no exFAT stick for the test: " + QString::fromLocal8Bit(stick_.readAllStandardError())));
    }
    const QString holder = QString::fromLatin1(fields[1]);
    const QString mountPoint = QString::fromLocal8Bit(fields[2]);
    const QString seen = QStringLiteral("/proc/") + holder + QStringLiteral("/root") + mountPoint;

    // A new log, then one in place of that one.
    for (int round = 0; round < 2; ++round) {
        QProcess save;
        // Entering a mount namespace puts a process at that namespace's own
        // root, which is not this one's when the suite runs in a chroot: the
        // holder's root and folder are taken along.
        save.start(QStringLiteral("nsenter"),
                   {QStringLiteral("--target"), holder, QStringLiteral("--mount"), QStringLiteral("--root"),
                    QStringLiteral("--wd"), QStringLiteral("--"), QStringLiteral("setpriv"),
                    QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups"),
                    QStringLiteral("--"), probe, mountPoint + QStringLiteral("/run.log")});
        QVERIFY(save.waitForFinished(30000));
        QCOMPARE(QString::fromLocal8Bit(save.readAllStandardError()), QString());
        QCOMPARE(save.exitCode(), 0);
        QCOMPARE(readAll(seen + QStringLiteral("/run.log")), kSaved);
        QCOMPARE(QDir(seen).entryList(QDir::NoDotAndDotDot | QDir::Files | QDir::Hidden), QStringList{"run.log"});
    }
    releaseStick();
}

void TestSpyLogSave::releaseStick()
{
    // Its standard input closing is what makes the script unmount and detach the loop device.
    if (stick_.state() == QProcess::NotRunning)
        return;
    stick_.closeWriteChannel();
    if (!stick_.waitForFinished(30000))
        qWarning("the stick script did not end: loop device and mount may be left behind");
}

QTEST_GUILESS_MAIN(TestSpyLogSave)
#include "tst_spy_log_save.moc"
