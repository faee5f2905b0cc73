#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "srec_lines.h"

// srec2bin writing onto a USB stick as technicians have them: exFAT, mounted for everyone with
// files that belong to root whoever writes them, the conversion run by an ordinary user.
class TestSrec2binStick : public QObject {
    Q_OBJECT

public:
    ~TestSrec2binStick() override { releaseStick(); }

private slots:
    void initTestCase();
    void cleanupTestCase() { releaseStick(); }
    void init();
    void convertOntoStick_data();
    void convertOntoStick();

private:
    struct Run {
        int code = -1;
        QProcess::ExitStatus status = QProcess::CrashExit;
        QByteArray err;
    };
    // Runs srec2bin as nobody inside the stick's mount namespace, on paths of the stick.
    Run runAsNobody(const QString &input, const QString &output) const;
    // The path, as this process reaches it, of a name on the stick.
    QString onStick(const QString &name) const { return "/proc/" + holder_ + "/root" + mountPoint_ + "/" + name; }
    void releaseStick();

    QTemporaryDir temp_;
    QProcess stick_;
    QString holder_;      // a process inside the stick's mount namespace
    QString mountPoint_;  // where the stick is mounted in that namespace
    QString converter_;   // srec2bin, copied where nobody may run it
};

void TestSrec2binStick::initTestCase()
{
    QVERIFY(temp_.isValid());
    QVERIFY(QFile::setPermissions(temp_.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ExeGroup
                                                    | QFile::ExeOther));
    converter_ = temp_.filePath("srec2bin");
    QVERIFY(QFile::copy(QStringLiteral(SREC2BIN_PATH), converter_));

    stick_.setProgram(QStringLiteral(USB_STICK_SCRIPT));
    stick_.setArguments({temp_.path()});
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
    holder_ = QString::fromLatin1(fields[1]);
    mountPoint_ = QString::fromLocal8Bit(fields[2]);
}

void TestSrec2binStick::releaseStick()
{
    // Its standard input closing is what makes the script unmount and detach the loop device.
    if (stick_.state() == QProcess::NotRunning)
        return;
    stick_.closeWriteChannel();
    if (!stick_.waitForFinished(30000))
        qWarning("the stick script did not end: loop device and mount may be left behind");
}

void TestSrec2binStick::init()
{
    for (const QString &name : QDir(onStick(QString())).entryList(QDir::Files | QDir::Hidden))
        QVERIFY(QFile::remove(onStick(name)));
}

TestSrec2binStick::Run TestSrec2binStick::runAsNobody(const QString &input, const QString &output) const
{
    QProcess process;
    // Entering a mount namespace puts a process at that namespace's own root,
    // which is not this one's when the suite runs in a chroot: the holder's
    // root is taken along, so the paths mean here what they mean there.
    process.start("nsenter",
                  {"--target", holder_, "--mount", "--root", "--wd", "--", "setpriv", "--reuid=65534", "--regid=65534",
                   "--clear-groups", "--", converter_, mountPoint_ + "/" + input, mountPoint_ + "/" + output});
    Run result;
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.code = process.exitCode();
    result.status = process.exitStatus();
    result.err = process.readAllStandardError();
    return result;
}

void TestSrec2binStick::convertOntoStick_data()
{
    QTest::addColumn<QString>("output");
    QTest::addColumn<bool>("replace");  // an image from before is there

    QTest::newRow("new image") << "image.bin" << false;
    QTest::newRow("image replaced") << "image.bin" << true;
    // Temporary names beyond 200 bytes were cut inside a character, which exFAT refuses.
    QTest::newRow("225-byte name of two-byte characters") << "a" + QString(112, QChar(0xE9)) << false;
    QTest::newRow("252-byte name of three-byte characters") << QString(84, QChar(0x20AC)) << true;
}

void TestSrec2binStick::convertOntoStick()
{
    QFETCH(QString, output);
    QFETCH(bool, replace);
    const QByteArray input = s0("hdr") + s1(0, "00112233") + s1(8, "8899") + s9();
    {
        QFile file(onStick("image.srec"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write(input) == input.size());
    }
    if (replace) {
        QFile file(onStick(output));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write("a longer image of the version before") > 0);
    }

    const Run result = runAsNobody("image.srec", output);
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.status, QProcess::NormalExit);
    QCOMPARE(result.code, 0);
    QFile image(onStick(output));
    QVERIFY(image.open(QIODevice::ReadOnly));
    QCOMPARE(image.readAll().toHex(), QByteArray("00112233ffffffff8899"));
    const QStringList hidden = QDir(onStick(QString())).entryList({".*"}, QDir::Files | QDir::Hidden);
    QCOMPARE(hidden, QStringList());
}

QTEST_GUILESS_MAIN(TestSrec2binStick)
#include "tst_srec2bin_stick.moc"
