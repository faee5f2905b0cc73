// A whole loading as a technician does it, with nothing simulated but the decoder: the
// real window and services, libbinprn32.so and srec2bin from the build, a private print
// server whose default raw queue (LPT1:) feeds the decoder simulator, and the
// simulator's pseudo-terminal as COM1.

#include "loading_bench.h"

#include <QAction>
#include <QCryptographicHash>
#include <QDir>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QtTest>

#include <csignal>

namespace {

// The pane's lines from the last "attente negociation" on, blank lines left out.
QStringList linesFromNegotiation(const QString &pane)
{
    QStringList lines = pane.split(QLatin1Char('\n'));
    lines.removeIf([](const QString &line) { return line.trimmed().isEmpty(); });
    const qsizetype from = lines.lastIndexOf(QStringLiteral("attente negociation"));
    return from < 0 ? QStringList() : lines.mid(from);
}

// What the decoder reports for a good image of size bytes, in 64 KiB blocks from 0x00010000.
QStringList reportOfGoodImage(qint64 size)
{
    QStringList lines{QStringLiteral("attente negociation")};
    const qint64 blocks = (size + 65535) / 65536;
    for (qint64 n = 1; n <= blocks; ++n)
        lines << QString::asprintf("adresse 0x%08llX bloc %lld", 0x10000 + (n - 1) * 65536LL, n);
    lines << QStringLiteral("image verifiee: %1 octets").arg(size)
          << QStringLiteral("mettre sous tension le decodeur !!!");
    return lines;
}

}  // namespace

class TestWholeLoading : public QObject {
    Q_OBJECT

    LoadingBench bench;
    QString images;  // a folder with blanks in its name, as users' folders have

private slots:
    void initTestCase()
    {
        QVERIFY2(bench.setUp(), qPrintable(bench.errorString()));
        images = QDir(bench.workFolder()).filePath(QStringLiteral("images of the day"));
        QVERIFY(QDir().mkpath(images));
    }

    void wholeLoading_data()
    {
        QTest::addColumn<bool>("fromSrec");
        QTest::newRow("binary image") << false;
        QTest::newRow("S-record file converted, then loaded") << true;
    }

    void wholeLoading()
    {
        QFETCH(bool, fromSrec);
        // Eleven blocks, the last one short: every kind of noise of the decoder's block lines.
        const qint64 size = 10 * 65536 + 1234;
        const QString source =
            QDir(images).filePath(fromSrec ? QStringLiteral("linker output.raw") : QStringLiteral("qx7100 v2.bin"));
        const QByteArray sha = writeRandomFile(source, size, fromSrec ? 2 : 1);
        QVERIFY(!sha.isEmpty());

        DecoderSim sim;
        QVERIFY2(bench.startSim(sim), qPrintable(sim.diagnostics()));
        const QString link = bench.com1Link();
        WindowUnderTest w(LoadingBench::programFolder(), [link] { return link; });
        QCOMPARE(w.panel("Printer")->text(), QStringLiteral("Printer: ") + LoadingBench::queue());

        QString image = source;
        if (fromSrec) {
            const QString objcopy = QStandardPaths::findExecutable(QStringLiteral("objcopy"));
            QVERIFY2(!objcopy.isEmpty(), "objcopy not found: install the Debian package binutils");
            const QString srec = QDir(images).filePath(QStringLiteral("qx7100 v3.rec"));
            QProcess tool;
            tool.start(objcopy,
                       {QStringLiteral("-I"), QStringLiteral("binary"), QStringLiteral("-O"), QStringLiteral("srec"),
                        QStringLiteral("--change-addresses"), QStringLiteral("0x10000"), source, srec});
            QVERIFY(tool.waitForFinished(10000));
            QVERIFY2(tool.exitCode() == 0, tool.readAllStandardError().constData());

            image = QDir(images).filePath(QStringLiteral("qx7100 v3.bin"));
            w.convert(srec);
            QVERIFY(w.info()->toPlainText().contains(QStringLiteral("Original srec file: ") + srec));
            QVERIFY(w.info()->toPlainText().contains(QStringLiteral("Creation bin file: ") + image));
            QTRY_COMPARE_WITH_TIMEOUT(w.processes().outcomes.size(), 1, 10000);
            QCOMPARE(w.processes().outcomes.first().kind, ProcessOutcome::Kind::Succeeded);
            QVERIFY2(w.doubles.messages->warnings.isEmpty(),
                     qPrintable(w.doubles.messages->warnings.join(QLatin1Char('\n'))));
            QCOMPARE(hashFile(image), sha);
        }

        w.com1();
        QVERIFY2(w.doubles.messages->warnings.isEmpty(),
                 qPrintable(w.doubles.messages->warnings.join(QLatin1Char('\n'))));
        QVERIFY(w.action("com1")->isChecked());
        QCOMPARE(w.panel("Settings")->text(), QStringLiteral("Settings: 38400,n,8,1"));

        // The technician switches the decoder on with its two outermost keys pressed.
        sim.signal(SIGUSR1);
        QTRY_COMPARE_WITH_TIMEOUT(w.lastSpyLine(), QStringLiteral("attente negociation"), 5000);

        w.choose(image);
        QVERIFY(w.start()->isEnabled());
        QVERIFY(w.info()->toPlainText().contains(QStringLiteral("bin file to load: ") + image));
        QVERIFY(bench.expect(image));
        w.clickStart();
        QVERIFY2(w.doubles.messages->warnings.isEmpty(),
                 qPrintable(w.doubles.messages->warnings.join(QLatin1Char('\n'))));
        QVERIFY(w.info()->toPlainText().contains(QStringLiteral("Downloading ") + image));

        const QString loaded = sim.waitForStatus(QStringLiteral("loaded: "), 30000);
        QVERIFY2(loaded.startsWith(QStringLiteral("loaded: ok %1 bytes").arg(size)), qPrintable(sim.diagnostics()));
        QCOMPARE(hashFile(bench.receivedPath()), sha);

        QTRY_COMPARE_WITH_TIMEOUT(w.lastSpyLine(), QStringLiteral("mettre sous tension le decodeur !!!"), 5000);
        QCOMPARE(linesFromNegotiation(w.spy()->toPlainText()), reportOfGoodImage(size));
        QVERIFY(w.doubles.messages->warnings.isEmpty());
        QVERIFY(w.doubles.messages->errors.isEmpty());
        QVERIFY(bench.server().waitForJobsDone());

        // The saved log, with times, is the record of this loading: the image,
        // its size and SHA-256, its job and how the job ended, then the text.
        QTRY_VERIFY_WITH_TIMEOUT(w.panel("Job")->text().endsWith(QStringLiteral(": sent %1 bytes").arg(size)), 5000);
        QFile imageFile(image);
        QVERIFY(imageFile.open(QIODevice::ReadOnly));
        const QString sha256 =
            QString::fromLatin1(QCryptographicHash::hash(imageFile.readAll(), QCryptographicHash::Sha256).toHex());
        QTRY_VERIFY(w.panel("Job")->toolTip().endsWith(QStringLiteral("%1 bytes, SHA-256 %2").arg(size).arg(sha256)));
        qInfo("job panel tooltip:\n%s", qPrintable(w.panel("Job")->toolTip()));
        const QString record = QDir(bench.workFolder()).filePath(QStringLiteral("record.log"));
        w.doubles.fileDialog->saveAnswers << record;
        w.doubles.fileDialog->saveFilterAnswers << QStringLiteral("Spy log with times (*.log)");
        w.action("savelog")->trigger();
        QVERIFY(w.doubles.messages->warnings.isEmpty());
        QFile saved(record);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(saved.readAll());
        qInfo("saved record:\n%s", qPrintable(text));
        const QString jobLine = w.panel("Job")->text().replace(QStringLiteral("Job "), QStringLiteral("  job "));
        QVERIFY2(text.contains(QStringLiteral("\r\nImage 1: %1\r\n  %2 bytes, SHA-256 %3\r\n%4\r\n")
                                   .arg(image)
                                   .arg(size)
                                   .arg(sha256, jobLine)),
                 qPrintable(text));
        QVERIFY(text.contains(QStringLiteral(" mettre sous tension le decodeur !!!")));
    }
};

QTEST_MAIN(TestWholeLoading)
#include "tst_whole_loading.moc"
