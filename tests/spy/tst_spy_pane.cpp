// The spy display's pane operations on a real QPlainTextEdit: counts with CR LF
// line breaks, the trim boundaries, leading backspaces, the caret, whole
// sequences of blocks against a plain-string model of the display, and the
// changes that wait for the widget (trims across the waiting text, Clear,
// typing, a flood shown newest first).
#include "spy/cp1252.h"
#include "spy/spy_filter.h"
#include "spy/spy_log.h"
#include "spy/spy_pane.h"

#include <QPlainTextEdit>
#include <QRandomGenerator>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextDocument>
#include <QtTest>

namespace {

// The display kept as one plain string with CR LF line breaks.
struct ModelPane {
    QString text;

    void trim()
    {
        while (text.size() > SpyPane::TrimAbove) {
            qsizetype cut = SpyPane::TrimChunk;
            if (text.at(cut - 1) == QLatin1Char('\r') && text.at(cut) == QLatin1Char('\n'))
                ++cut;
            text.remove(0, cut);
        }
    }
    void append(const QString &block)
    {
        trim();
        const SpyFilterResult r = filterSpyBlock(block);
        for (qsizetype i = 0; i < r.leadingBackspaces; ++i) {
            if (text.isEmpty() || text.endsWith(QLatin1Char('\n')))
                break;
            text.chop(1);
        }
        text += r.text;
    }
};

// Raw text as the pane shows it: each CR LF, lone CR or lone LF is one line
// break, written CR LF.
QString asShown(const QString &raw)
{
    QString out;
    for (qsizetype i = 0; i < raw.size(); ++i) {
        const QChar c = raw.at(i);
        if (c != QLatin1Char('\r') && c != QLatin1Char('\n')) {
            out += c;
            continue;
        }
        if (c == QLatin1Char('\r') && i + 1 < raw.size() && raw.at(i + 1) == QLatin1Char('\n'))
            ++i;
        out += QLatin1String("\r\n");
    }
    return out;
}

// What the widget itself holds, with CR LF line breaks, without flushing.
QString widgetText(const QPlainTextEdit *edit)
{
    QString raw = edit->document()->toRawText();
    raw.replace(QChar::ParagraphSeparator, QLatin1String("\r\n"));
    return raw;
}

QString repeat(const char *piece, int times)
{
    return QString::fromLatin1(piece).repeated(times);
}

QString x(int n)
{
    return QString(n, QLatin1Char('x'));
}

QString y(int n)
{
    return QString(n, QLatin1Char('y'));
}

QString randomBlock(QRandomGenerator &random, const QByteArray &alphabet, int maxBlock)
{
    QByteArray raw(random.bounded(maxBlock + 1), '\0');
    for (char &c : raw)
        c = alphabet.at(random.bounded(int(alphabet.size())));
    return cp1252::decode(raw);
}

bool caretAtEnd(const QPlainTextEdit *edit)
{
    const QTextCursor caret = edit->textCursor();
    return !caret.hasSelection() && caret.position() == edit->document()->characterCount() - 1;
}

}  // namespace

class TestSpyPane : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void countsLineBreaksAsTwo();
    void trims_data();
    void trims();
    void trimIsOneEdit();
    void leadingBackspaces_data();
    void leadingBackspaces();
    void crLfSplitOverTwoBlocks();
    void caretGoesToTheEnd();
    void emptyBlockStillTrims();
    void highBytesAreShown();
    void undoKeepsNothing();
    void matchesModel_data();
    void matchesModel();

    void burstIsOneUpdate();
    void waitingMatchesModel_data();
    void waitingMatchesModel();
    void trimAcrossTheWaitingText_data();
    void trimAcrossTheWaitingText();
    void leadingBackspacesAgainstWaitingText_data();
    void leadingBackspacesAgainstWaitingText();
    void floodShowsTheNewestThenEverything();
    void eraseReachesTheHeldText();
    void clearDropsWaitingText_data();
    void clearDropsWaitingText();
    void inputActsOnTheWholeText();
    void userEditsAreCounted();

private:
    // The spy display procedure on the pane under test; its failures are
    // collected and fail the case at cleanup.
    void appendSpyText(SpyPane &pane, const QString &block);

    QPlainTextEdit *edit_ = nullptr;
    SpyPane *pane_ = nullptr;
    SpyLog *log_ = nullptr;
    QStringList failures_;
};

void TestSpyPane::appendSpyText(SpyPane &pane, const QString &block)
{
    QString text = block;
    appendSpyBlock(pane, *log_, text, [this](const QString &description) { failures_ << description; });
}

void TestSpyPane::init()
{
    edit_ = new QPlainTextEdit;
    edit_->resize(400, 300);
    edit_->show();
    pane_ = new SpyPane(edit_);
    log_ = new SpyLog;
    failures_.clear();
}

void TestSpyPane::cleanup()
{
    delete log_;
    delete pane_;
    delete edit_;
    QVERIFY2(failures_.isEmpty(), qPrintable(failures_.join(QLatin1Char('\n'))));
}

void TestSpyPane::countsLineBreaksAsTwo()
{
    QCOMPARE(pane_->length(), 0);
    pane_->insertAtCaret(QStringLiteral("ab\r\ncd\r\n"));
    QCOMPARE(pane_->length(), 8);
    pane_->flush();
    QCOMPARE(edit_->document()->blockCount(), 3);
    QCOMPARE(pane_->text(), QStringLiteral("ab\r\ncd\r\n"));
}

void TestSpyPane::trims_data()
{
    QTest::addColumn<QString>("content");
    QTest::addColumn<int>("kept");
    QTest::addColumn<QString>("startsWith");

    QTest::newRow("16000 kept whole") << x(16000) << 16000 << QStringLiteral("x");
    QTest::newRow("16001 cut to 11905") << x(16001) << 11905 << QStringLiteral("x");
    QTest::newRow("cut would split a line break")
        << x(4095) + QStringLiteral("\r\n") + x(16001 - 4097) << 11904 << QStringLiteral("x");
    QTest::newRow("cut ends after a line break")
        << x(4094) + QStringLiteral("\r\n") + x(16001 - 4096) << 11905 << QStringLiteral("x");
    QTest::newRow("cut ends before a line break")
        << x(4096) + QStringLiteral("\r\n") + x(16001 - 4098) << 11905 << QStringLiteral("\r\nx");
    QTest::newRow("20096: one trim") << x(20096) << 16000 << QStringLiteral("x");
    QTest::newRow("20097: two trims") << x(20097) << 11905 << QStringLiteral("x");
    QTest::newRow("only line breaks") << repeat("\r\n", 10000) << 15904 << QStringLiteral("\r\n");
    QTest::newRow("only line breaks, each cut splits one")
        << QStringLiteral("x") + repeat("\r\n", 10000) << 15904 << QStringLiteral("\r\n");
    QTest::newRow("large block of lines")
        << repeat("0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcde\r\n", 4000) << -1 << QString();
    QTest::newRow("large block, second cut splits a line break")
        << x(8191) + QStringLiteral("\r\n") + repeat("word ", 60000) << -1 << QString();
}

void TestSpyPane::trims()
{
    QFETCH(QString, content);
    QFETCH(int, kept);
    QFETCH(QString, startsWith);

    ModelPane model{content};
    model.trim();
    // The text in the widget, then the same text still waiting to be shown.
    for (const bool shown : {true, false}) {
        pane_->clear();
        pane_->insertAtCaret(content);
        if (shown)
            pane_->flush();
        QCOMPARE(pane_->length(), int(content.size()));

        const int after = pane_->trim();
        QCOMPARE(after, int(model.text.size()));
        QCOMPARE(pane_->length(), after);
        QVERIFY(after <= SpyPane::TrimAbove);
        if (kept >= 0)
            QCOMPARE(after, kept);
        QCOMPARE(pane_->text(), model.text);
        QVERIFY(pane_->text().startsWith(startsWith));
    }
}

void TestSpyPane::trimIsOneEdit()
{
    pane_->insertAtCaret(repeat("some decoder output, one line of it\r\n", 8000));
    pane_->flush();
    int changes = 0;
    connect(edit_->document(), &QTextDocument::contentsChange, this, [&changes] { ++changes; });
    QVERIFY(pane_->trim() <= SpyPane::TrimAbove);
    pane_->flush();
    QCOMPARE(changes, 1);
}

void TestSpyPane::leadingBackspaces_data()
{
    QTest::addColumn<QString>("pane");
    QTest::addColumn<QByteArray>("block");
    QTest::addColumn<QString>("shown");

    QTest::newRow("pane ends in text") << QStringLiteral("abc") << QByteArray("\bz") << QStringLiteral("abz");
    QTest::newRow("more than the pane holds") << QStringLiteral("abc") << QByteArray("\b\b\b\b") << QString();
    QTest::newRow("pane ends in a line break")
        << QStringLiteral("ab\r\n") << QByteArray("\bz") << QStringLiteral("ab\r\nz");
    QTest::newRow("stops at the line break")
        << QStringLiteral("ab\r\ncd") << QByteArray("\b\b\b\bz") << QStringLiteral("ab\r\nz");
    QTest::newRow("empty pane") << QString() << QByteArray("\bz") << QStringLiteral("z");
    QTest::newRow("character and its backspace in two blocks")
        << QStringLiteral("a") << QByteArray("b\b\bc") << QStringLiteral("c");
}

void TestSpyPane::leadingBackspaces()
{
    QFETCH(QString, pane);
    QFETCH(QByteArray, block);
    QFETCH(QString, shown);
    pane_->insertAtCaret(pane);
    appendSpyText(*pane_, cp1252::decode(block));
    QCOMPARE(pane_->text(), shown);
    QCOMPARE(pane_->length(), int(shown.size()));
}

void TestSpyPane::crLfSplitOverTwoBlocks()
{
    appendSpyText(*pane_, QStringLiteral("x\r"));
    appendSpyText(*pane_, QStringLiteral("\ny"));
    QCOMPARE(pane_->text(), QStringLiteral("x\r\ny"));
    QCOMPARE(edit_->document()->blockCount(), 2);
    QCOMPARE(pane_->length(), 4);
}

void TestSpyPane::caretGoesToTheEnd()
{
    pane_->insertAtCaret(QStringLiteral("first line\r\nsecond"));
    pane_->flush();
    QTextCursor selection(edit_->document());
    selection.setPosition(2);
    selection.setPosition(8, QTextCursor::KeepAnchor);
    edit_->setTextCursor(selection);

    appendSpyText(*pane_, QStringLiteral(" more"));
    QCOMPARE(pane_->text(), QStringLiteral("first line\r\nsecond more"));
    const QTextCursor caret = edit_->textCursor();
    QVERIFY(!caret.hasSelection());
    QCOMPARE(caret.position(), edit_->document()->characterCount() - 1);
}

void TestSpyPane::emptyBlockStillTrims()
{
    pane_->insertAtCaret(x(16001));
    pane_->flush();
    QTextCursor start(edit_->document());
    edit_->setTextCursor(start);
    appendSpyText(*pane_, QString());
    QCOMPARE(pane_->length(), 11905);
    pane_->flush();
    QCOMPARE(edit_->textCursor().position(), 11905);
}

void TestSpyPane::highBytesAreShown()
{
    QByteArray high;
    for (int b = 0x80; b <= 0xFF; ++b)
        high.append(char(b));
    appendSpyText(*pane_, cp1252::decode(high));
    QCOMPARE(pane_->text(), cp1252::decode(high));
    QCOMPARE(pane_->length(), 128);
}

void TestSpyPane::undoKeepsNothing()
{
    for (int i = 0; i < 50; ++i) {
        appendSpyText(*pane_, repeat("line of text\r\n", 200));
        pane_->flush();
    }
    QCOMPARE(edit_->document()->availableUndoSteps(), 0);
    pane_->clear();
    QCOMPARE(pane_->length(), 0);
    appendSpyText(*pane_, QStringLiteral("again"));
    pane_->flush();
    QCOMPARE(edit_->document()->availableUndoSteps(), 0);
    QCOMPARE(pane_->text(), QStringLiteral("again"));
}

void TestSpyPane::matchesModel_data()
{
    QTest::addColumn<QByteArray>("alphabet");
    QTest::addColumn<int>("maxBlock");
    QTest::addColumn<int>("blocks");
    QTest::newRow("short lines") << QByteArray("abc\r\n\r\n\b\0", 9) << 3000 << 400;
    QTest::newRow("few line breaks") << QByteArray("abcdefghijklmnopqrstuvwxyz\r\b", 28) << 6000 << 300;
    QTest::newRow("backspace storms") << QByteArray("a\b\b\b\r", 5) << 500 << 600;
    QTest::newRow("large blocks") << QByteArray("0123456789\r\n\r\0\b", 15) << 100000 << 40;
}

void TestSpyPane::matchesModel()
{
    QFETCH(QByteArray, alphabet);
    QFETCH(int, maxBlock);
    QFETCH(int, blocks);
    QRandomGenerator random(1234);
    ModelPane model;
    for (int i = 0; i < blocks; ++i) {
        const QString block = randomBlock(random, alphabet, maxBlock);
        appendSpyText(*pane_, block);
        model.append(block);
        QCOMPARE(pane_->length(), int(model.text.size()));
        if (pane_->text() != model.text)
            QFAIL(qPrintable(QStringLiteral("pane differs after block %1").arg(i)));
    }
}

void TestSpyPane::burstIsOneUpdate()
{
    const QString before = QStringLiteral("shown before\r\n");
    appendSpyText(*pane_, before);
    pane_->flush();
    ModelPane model{before};
    int changes = 0;
    connect(edit_->document(), &QTextDocument::contentsChange, this, [&changes] { ++changes; });
    for (int i = 0; i < 40; ++i) {
        const QString block = repeat("adresse 0x0001f000 bloc 31\r\n", 200 + i);
        appendSpyText(*pane_, block);
        model.append(block);
        QCOMPARE(pane_->length(), int(model.text.size()));
    }
    QCOMPARE(changes, 0);
    QVERIFY(pane_->hasPending());

    pane_->flush();
    QVERIFY2(changes <= 2, qPrintable(QString::number(changes)));
    QVERIFY(!pane_->hasPending());
    QCOMPARE(widgetText(edit_), model.text);
    QVERIFY(caretAtEnd(edit_));
    QVERIFY(edit_->verticalScrollBar()->value() > 0);
    QVERIFY(edit_->viewport()->rect().contains(edit_->cursorRect()));
}

void TestSpyPane::waitingMatchesModel_data()
{
    matchesModel_data();
    QTest::newRow("flood") << QByteArray("adresse 0x1f000 bloc\r\n\r\n\b\0", 26) << 140000 << 60;
}

// Blocks go in one by one while the widget is updated only now and then, as
// the event loop would: the pane always counts the model's length, the widget
// always shows the model's newest text, and all of it once updated for good.
void TestSpyPane::waitingMatchesModel()
{
    QFETCH(QByteArray, alphabet);
    QFETCH(int, maxBlock);
    QFETCH(int, blocks);
    QRandomGenerator random(4321);
    ModelPane model;
    for (int i = 0; i < blocks; ++i) {
        const QString block = randomBlock(random, alphabet, maxBlock);
        appendSpyText(*pane_, block);
        model.append(block);
        QCOMPARE(pane_->length(), int(model.text.size()));
        if (random.bounded(3) != 0)
            continue;
        pane_->refresh();
        const QString shown = widgetText(edit_);
        if (!pane_->hasPending() && shown != model.text)
            QFAIL(qPrintable(QStringLiteral("widget differs after block %1").arg(i)));
        if (!model.text.endsWith(shown))
            QFAIL(qPrintable(QStringLiteral("widget does not show the newest text after block %1").arg(i)));
        QVERIFY(caretAtEnd(edit_));
    }
    pane_->flush();
    QVERIFY(!pane_->hasPending());
    QVERIFY(widgetText(edit_) == model.text);
    QVERIFY(caretAtEnd(edit_));
}

void TestSpyPane::trimAcrossTheWaitingText_data()
{
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("waiting");
    QTest::addColumn<int>("kept");

    const QString crLf = QStringLiteral("\r\n");
    QTest::newRow("cut inside the shown text") << x(10000) << y(8000) << 13904;
    QTest::newRow("cut ends where the shown text ends") << x(4096) << y(12000) << 12000;
    QTest::newRow("cut ends in the waiting text") << x(2000) << y(16000) << 13904;
    QTest::newRow("cut would split the shown text's last line break") << x(4095) + crLf << y(12000) << 12000;
    QTest::newRow("cut would split the waiting text's first line break") << x(4095) << crLf + y(12000) << 12000;
    QTest::newRow("CR ends the shown text, LF starts the waiting text")
        << x(4095) + QStringLiteral("\r") << QStringLiteral("\n") + y(12000) << 12002;
    QTest::newRow("repeated trims across both") << x(5000) << y(20000) << 12712;
    QTest::newRow("only line breaks on both sides") << repeat("\r\n", 3000) << repeat("\r\n", 6000) << 13904;
}

void TestSpyPane::trimAcrossTheWaitingText()
{
    QFETCH(QString, shown);
    QFETCH(QString, waiting);
    QFETCH(int, kept);

    pane_->insertAtCaret(shown);
    pane_->flush();
    pane_->insertAtCaret(waiting);
    ModelPane model{asShown(shown) + asShown(waiting)};
    QCOMPARE(pane_->length(), int(model.text.size()));

    const int after = pane_->trim();
    model.trim();
    QCOMPARE(after, int(model.text.size()));
    QCOMPARE(after, kept);
    QCOMPARE(pane_->length(), after);
    QVERIFY(pane_->hasPending());
    QCOMPARE(widgetText(edit_), asShown(shown));  // nothing reached the widget yet
    QCOMPARE(pane_->text(), model.text);
    QCOMPARE(pane_->length(), after);
}

void TestSpyPane::leadingBackspacesAgainstWaitingText_data()
{
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("waiting");
    QTest::addColumn<QByteArray>("block");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<bool>("touchesWidget");

    QTest::newRow("within the waiting text") << QStringLiteral("abc\r\n") << QStringLiteral("def")
                                             << QByteArray("\b\bX") << QStringLiteral("abc\r\ndX") << false;
    QTest::newRow("waiting text ends in a line break") << QStringLiteral("abc") << QStringLiteral("de\r\n")
                                                       << QByteArray("\bX") << QStringLiteral("abcde\r\nX") << false;
    QTest::newRow("stops at a line break of the waiting text")
        << QStringLiteral("abc") << QStringLiteral("d\r\nef") << QByteArray("\b\b\b\bX") << QStringLiteral("abcd\r\nX")
        << false;
    QTest::newRow("all of the waiting text")
        << QStringLiteral("abc") << QStringLiteral("de") << QByteArray("\b\bX") << QStringLiteral("abcX") << false;
    QTest::newRow("reaches into the shown text") << QStringLiteral("ab\r\ncd") << QStringLiteral("ef")
                                                 << QByteArray("\b\b\b\b\bX") << QStringLiteral("ab\r\nX") << true;
    QTest::newRow("reaches a shown line break") << QStringLiteral("ab\r\n") << QStringLiteral("cd")
                                                << QByteArray("\b\b\bX") << QStringLiteral("ab\r\nX") << true;
    QTest::newRow("nothing waits") << QStringLiteral("abc") << QString() << QByteArray("\bX") << QStringLiteral("abX")
                                   << true;
    QTest::newRow("more than the pane holds")
        << QStringLiteral("a") << QStringLiteral("b") << QByteArray("\b\b\b\b") << QString() << true;
}

void TestSpyPane::leadingBackspacesAgainstWaitingText()
{
    QFETCH(QString, shown);
    QFETCH(QString, waiting);
    QFETCH(QByteArray, block);
    QFETCH(QString, expected);
    QFETCH(bool, touchesWidget);

    pane_->insertAtCaret(shown);
    pane_->flush();
    pane_->insertAtCaret(waiting);
    int changes = 0;
    connect(edit_->document(), &QTextDocument::contentsChange, this, [&changes] { ++changes; });
    appendSpyText(*pane_, cp1252::decode(block));
    QCOMPARE(changes > 0, touchesWidget);
    QCOMPARE(pane_->length(), int(expected.size()));
    QCOMPARE(pane_->text(), expected);
}

void TestSpyPane::floodShowsTheNewestThenEverything()
{
    // Focus settled first: a focus change would show everything at once.
    edit_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(edit_));
    edit_->setFocus();
    QTRY_VERIFY(edit_->hasFocus());
    ModelPane model;
    auto append = [&](const QString &block) {
        appendSpyText(*pane_, block);
        model.append(block);
    };
    append(repeat("adresse 0x0001f000 bloc 31\r\n", 2000));
    pane_->refresh();
    // While text floods in the widget shows only the newest of it.
    QVERIFY(pane_->hasPending());
    QCOMPARE(pane_->length(), int(model.text.size()));
    QVERIFY(widgetText(edit_).size() <= SpyPane::TrimAbove + 1);
    QVERIFY(model.text.endsWith(widgetText(edit_)));
    QVERIFY(caretAtEnd(edit_));

    // The next block's trim takes the held text and part of the widget's.
    append(repeat("ligne\r\n", 6000) + QStringLiteral("prompt> ab"));
    QCOMPARE(pane_->length(), int(model.text.size()));
    pane_->refresh();
    QVERIFY(pane_->hasPending());
    QVERIFY(model.text.endsWith(widgetText(edit_)));

    // A leading backspace erases the widget's last character in place.
    append(QStringLiteral("\bc"));
    QVERIFY(pane_->hasPending());
    QCOMPARE(pane_->length(), int(model.text.size()));
    QVERIFY(widgetText(edit_).endsWith(QStringLiteral("prompt> a")));

    // Once the flood stops, the next update shows everything.
    pane_->refresh();
    QVERIFY(!pane_->hasPending());
    QCOMPARE(widgetText(edit_), model.text);
    QVERIFY(caretAtEnd(edit_));
    QVERIFY(edit_->viewport()->rect().contains(edit_->cursorRect()));

    // The event loop does the same by itself: the newest text first, all of
    // it at the next update.
    QList<int> shownSizes;
    connect(edit_->document(), &QTextDocument::contentsChanged, this,
            [&] { shownSizes << edit_->document()->characterCount() - 1; });
    append(repeat("0123456789abcdef\r", 5000));
    QTRY_VERIFY(!pane_->hasPending());
    QCOMPARE(shownSizes.size(), 2);
    QVERIFY(shownSizes.first() <= SpyPane::TrimAbove);
    QCOMPARE(widgetText(edit_), model.text);
    QVERIFY(caretAtEnd(edit_));
}

// While the widget shows only the end of a long line, erasing more than it
// shows goes on into the text held before it.
void TestSpyPane::eraseReachesTheHeldText()
{
    const QString line = QStringLiteral("start\r\n") + x(40000);
    appendSpyText(*pane_, line);
    pane_->refresh();
    QVERIFY(pane_->hasPending());
    QCOMPARE(edit_->document()->blockCount(), 1);

    QCOMPARE(pane_->eraseBeforeEnd(20000), 20000);
    QCOMPARE(pane_->length(), int(line.size()) - 20000);
    QCOMPARE(pane_->eraseBeforeEnd(30000), 20000);
    QCOMPARE(pane_->text(), QStringLiteral("start\r\n"));
}

void TestSpyPane::clearDropsWaitingText_data()
{
    QTest::addColumn<bool>("flood");
    QTest::newRow("waiting text and a cut") << false;
    QTest::newRow("text held before the widget") << true;
}

void TestSpyPane::clearDropsWaitingText()
{
    QFETCH(bool, flood);
    appendSpyText(*pane_, x(20000));
    pane_->flush();
    appendSpyText(*pane_, flood ? repeat("line\r\n", 10000) : QStringLiteral("waiting"));
    if (flood)
        pane_->refresh();
    QVERIFY(pane_->hasPending());

    pane_->clear();
    QVERIFY(!pane_->hasPending());
    QCOMPARE(pane_->length(), 0);
    QVERIFY(edit_->document()->isEmpty());
    QTest::qWait(3 * SpyPane::FlushDelayMs);
    QVERIFY(edit_->document()->isEmpty());
    appendSpyText(*pane_, QStringLiteral("again"));
    QCOMPARE(pane_->text(), QStringLiteral("again"));
}

// With the port closed the pane edits itself: a key or a click must find the
// whole text in the widget.
void TestSpyPane::inputActsOnTheWholeText()
{
    edit_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(edit_));
    edit_->setFocus();
    QTRY_VERIFY(edit_->hasFocus());

    appendSpyText(*pane_, QStringLiteral("boot> "));
    QVERIFY(pane_->hasPending());
    QTest::keyClicks(edit_, "ab");
    QVERIFY(!pane_->hasPending());
    QCOMPARE(widgetText(edit_), QStringLiteral("boot> ab"));

    appendSpyText(*pane_, QStringLiteral("\r\nmore"));
    QVERIFY(pane_->hasPending());
    QTest::mouseClick(edit_->viewport(), Qt::LeftButton, {}, QPoint(1, 1));
    QVERIFY(!pane_->hasPending());
    QCOMPARE(widgetText(edit_), QStringLiteral("boot> ab\r\nmore"));
    QCOMPARE(edit_->textCursor().position(), 0);

    // Text inserted where the caret stands goes straight into the widget.
    pane_->insertAtCaret(QStringLiteral("> "));
    QVERIFY(!pane_->hasPending());
    QCOMPARE(widgetText(edit_), QStringLiteral("> boot> ab\r\nmore"));
    QCOMPARE(pane_->length(), 16);
}

// A line joined by the user's backspace and a typed character change the
// pane's own count, and the next block's backspace works on the edited line.
void TestSpyPane::userEditsAreCounted()
{
    edit_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(edit_));
    edit_->setFocus();
    QTRY_VERIFY(edit_->hasFocus());

    appendSpyText(*pane_, QStringLiteral("ab\r\ncd"));
    pane_->flush();
    QTextCursor caret(edit_->document()->lastBlock());
    edit_->setTextCursor(caret);
    QTest::keyClick(edit_, Qt::Key_Backspace);
    QTest::keyClicks(edit_, "x");
    QCOMPARE(widgetText(edit_), QStringLiteral("abxcd"));
    QCOMPARE(pane_->length(), 5);

    appendSpyText(*pane_, QStringLiteral("\b!"));
    QCOMPARE(pane_->length(), 5);
    QCOMPARE(pane_->text(), QStringLiteral("abxc!"));
}

QTEST_MAIN(TestSpyPane)
#include "tst_spy_pane.moc"
