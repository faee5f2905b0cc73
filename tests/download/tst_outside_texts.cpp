// Texts from outside the program (the print server's messages and printer
// names, file names, the converter's words) as the window shows them: plain
// text, control characters as visible escapes, of bounded length, in the
// warning boxes, the job panel and its tooltip, the Printer panel.

#include "common/shown_text.h"
#include "window_fixture.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QTimer>
#include <QtTest>

namespace {

// A printer message as a hostile or broken print server may send it: markup,
// terminal escapes, a bell, CR LF, 200 lines.
QString hostileMessage()
{
    QString text = QStringLiteral("<html><body><h1>Paper jam</h1>\x1b[2J\x1b]0;owned\a\r\n");
    for (int i = 1; i <= 200; ++i)
        text += QStringLiteral("<p><b>line %1</b></p>\r\n").arg(i);
    return text + QStringLiteral("</body></html>");
}

// What a user sees of a tooltip: Qt shows one that looks like markup as rich text.
QString toolTipAsSeen(const QString &toolTip)
{
    if (!Qt::mightBeRichText(toolTip))
        return toolTip;
    QTextDocument document;
    document.setHtml(toolTip);
    return document.toPlainText();
}

void verifyShowable(const QString &text, int limit)
{
    QVERIFY2(text.size() <= limit, qPrintable(QString::number(text.size())));
    for (const QChar c : text)
        QVERIFY2(c.unicode() >= 0x20 && (c.unicode() < 0x7F || c.unicode() > 0x9F), qPrintable(text));
}

}  // namespace

class TestOutsideTexts : public QObject {
    Q_OBJECT

private slots:
    // A job stopped by a printer whose name and message are hostile: the job
    // panel, its tooltip, the Printer panel and the warning all show the text
    // as it stands, escaped and cut.
    void hostilePrinterTexts()
    {
        const QString printer = QStringLiteral("<b>decoder</b>\x1b[31m");
        WindowFixture f({WindowFixture::Show::Hidden, printer});
        QTemporaryDir dir;
        const QString image = dir.filePath(QStringLiteral("a.bin"));
        QFile file(image);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(1024, '\x5a'));
        file.close();
        f.choose(image);
        f.action("com1")->setChecked(true);
        QVERIFY(f.show(WindowFixture::Show::Exposed));

        f.doubles.rawPrint->nextJobId = 12;
        f.doubles.printJobs->jobs[12] = FakePrintJobs::state(6, hostileMessage(), {QStringLiteral("media-jam-error")});
        f.start()->click();
        auto *job = f.panel("Job");
        QVERIFY(job);
        QTRY_VERIFY(job->text().startsWith(QStringLiteral("Job 12: stopped: ")));

        const QString shownMessage = shownText(hostileMessage(), kShownToolTipLimit);
        QCOMPARE(job->textFormat(), Qt::PlainText);
        QCOMPARE(job->text(), shownText(QStringLiteral("Job 12: stopped: ") + shownMessage));
        verifyShowable(job->text(), kShownTextLimit);
        QVERIFY(job->text().contains(QStringLiteral("<h1>Paper jam</h1>\\x1b[2J\\x1b]0;owned\\x07\\r\\n<p>")));
        QVERIFY(job->text().endsWith(QStringLiteral("...")));
        // The whole state, escaped, on the tooltip's first line; the image's lines follow.
        QCOMPARE(toolTipAsSeen(job->toolTip()).section(QLatin1Char('\n'), 0, 0),
                 shownText(QStringLiteral("Job 12: stopped: ") + shownMessage, kShownToolTipLimit));
        QVERIFY(job->toolTip().size() < 2 * kShownToolTipLimit);

        auto *printerPanel = f.panel("Printer");
        QCOMPARE(printerPanel->textFormat(), Qt::PlainText);
        QCOMPARE(printerPanel->text(), QStringLiteral("Printer: <b>decoder</b>\\x1b[31m"));

        QCOMPARE(f.doubles.messages->warnings.size(), 1);
        const QString warning = f.doubles.messages->warnings.first();
        QVERIFY2(warning.startsWith(QStringLiteral("The job 12 at the printer <b>decoder</b>\\x1b[31m stopped: "
                                                   "<html><body><h1>Paper jam</h1>\\x1b[2J")),
                 qPrintable(warning));
        verifyShowable(warning, 2 * kShownTextLimit + 60);
    }

    // A file name is no markup in "Error while loading ...".
    void fileNameInTheLoadingError()
    {
        WindowFixture f({WindowFixture::Show::Hidden, QStringLiteral("decoder")});
        QTemporaryDir dir;
        const QString image = dir.filePath(QStringLiteral("<b>big<br>\x1b[5m.bin"));
        QFile file(image);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("x");
        file.close();
        f.choose(image);
        f.action("com1")->setChecked(true);
        f.doubles.rawPrint->sendResult = 8;
        f.start()->click();
        QString shownPath = image;
        shownPath.replace(QChar(0x1B), QStringLiteral("\\x1b"));
        QCOMPARE(f.doubles.messages->warnings,
                 QStringList{QStringLiteral("Error while loading ") + shownPath + QStringLiteral("Error 8")});
    }

    // The converter's own words (its standard error) reach a warning escaped and cut.
    void converterWords_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("prefix");
        QTest::addColumn<QString>("detail");

        QString many;
        for (int i = 1; i <= 200; ++i)
            many += QStringLiteral("srec2bin: in.srec: warning %1\n").arg(i);
        QTest::newRow("failed, 200 lines")
            << int(ProcessOutcome::Kind::Failed) << QStringLiteral("The converter failed (exit code 1): ") << many;
        QTest::newRow("warns with markup and escapes")
            << int(ProcessOutcome::Kind::Succeeded) << QStringLiteral("The converter warns: ")
            << QStringLiteral("<b>x.srec</b>: no end record\x1b[0m\r\nsecond line");
    }

    void converterWords()
    {
        QFETCH(int, kind);
        QFETCH(QString, prefix);
        QFETCH(QString, detail);
        WindowFixture f;
        f.convert(QStringLiteral("/data/in.srec"));
        QVERIFY(f.doubles.processes->finish);
        ProcessOutcome outcome;
        outcome.kind = ProcessOutcome::Kind(kind);
        outcome.exitCode = 1;
        outcome.detail = detail;
        f.doubles.processes->finish(outcome);
        QCOMPARE(f.doubles.messages->warnings, QStringList{prefix + shownText(detail)});
        verifyShowable(f.doubles.messages->warnings.first(), int(prefix.size()) + kShownTextLimit);
    }

    // The real boxes show their text as plain text: markup in a message is
    // shown as characters and cannot blow the box up to thousands of pixels.
    void realBoxesArePlainText_data()
    {
        QTest::addColumn<int>("which");  // 0 warning, 1 error, 2 question
        QTest::addColumn<QString>("text");

        const QString stopped =
            QStringLiteral("The job 12 at the printer decoder stopped: ") + shownText(hostileMessage());
        QTest::newRow("warning with a printer message") << 0 << stopped;
        QTest::newRow("warning starting with a tag") << 0 << QStringLiteral("<b>Error while loading</b> x.bin");
        QTest::newRow("error") << 1 << QStringLiteral("<h1>Unexpected error in AppendSpyText</h1>");
        QTest::newRow("question") << 2 << QStringLiteral("<i>An image sent before</i> is still queued. Cancel it?");
    }

    void realBoxesArePlainText()
    {
        QFETCH(int, which);
        QFETCH(QString, text);
        const std::unique_ptr<MessageService> boxes = makeMessageBoxes();
        Qt::TextFormat format = Qt::AutoText;
        QString labelText;
        QSize size;
        bool seen = false;
        QTimer poll;
        connect(&poll, &QTimer::timeout, this, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            seen = true;
            format = box->textFormat();
            auto *label = box->findChild<QLabel *>(QStringLiteral("qt_msgbox_label"));
            labelText = label ? label->text() : QString();
            format = label && label->textFormat() == Qt::PlainText ? format : Qt::RichText;
            size = box->size();
            box->done(0);
        });
        poll.start(20);
        if (which == 0)
            boxes->warning(nullptr, text);
        else if (which == 1)
            boxes->error(nullptr, text);
        else
            boxes->question(nullptr, text);
        poll.stop();
        QVERIFY(seen);
        QCOMPARE(format, Qt::PlainText);
        QCOMPARE(labelText, text);
        QVERIFY2(size.width() <= 1200 && size.height() <= 600,
                 qPrintable(QStringLiteral("%1x%2").arg(size.width()).arg(size.height())));
    }
};

QTEST_MAIN(TestOutsideTexts)
#include "tst_outside_texts.moc"
