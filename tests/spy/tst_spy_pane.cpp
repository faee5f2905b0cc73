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

} // namespace

class tst_spy_pane : public QObject {
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

    QPlainTextEdit *m_edit = nullptr;
    SpyPane *m_pane = nullptr;
    SpyLog *m_log = nullptr;
    QStringList m_failures;
};

void tst_spy_pane::appendSpyText(SpyPane &pane, const QString &block)
{
    QString text = block;
    appendSpyBlock(pane, *m_log, text, [this](const QString &description) { m_failures << description; });
}

void tst_spy_pane::init()
{
    m_edit = new QPlainTextEdit;
    m_edit->resize(400, 300);
    m_edit->show();
    m_pane = new SpyPane(m_edit);
    m_log = new SpyLog;
    m_failures.clear();
}

void tst_spy_pane::cleanup()
{
    delete m_log;
    delete m_pane;
    delete m_edit;
    QVERIFY2(m_failures.isEmpty(), qPrintable(m_failures.join(QLatin1Char('\n'))));
}

void tst_spy_pane::countsLineBreaksAsTwo()
{
    QCOMPARE(m_pane->length(), 0);
    m_pane->insertAtCaret(QStringLiteral("ab\r\ncd\r\n"));
    QCOMPARE(m_pane->length(), 8);
    m_pane->flush();
    QCOMPARE(m_edit->document()->blockCount(), 3);
    QCOMPARE(m_pane->text(), QStringLiteral("ab\r\ncd\r\n"));
}

void tst_spy_pane::trims_data()
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
        << repeat("0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcde\r\n", 4000) << -1
        << QString();
    QTest::newRow("large block, second cut splits a line break")
        << x(8191) + QStringLiteral("\r\n") + repeat("word ", 60000) << -1 << QString();
}

void tst_spy_pane::trims()
{
    QFETCH(QString, content);
    QFETCH(int, kept);
    QFETCH(QString, startsWith);

    ModelPane model{content};
    model.trim();
    // The text in the widget, then the same text still waiting to be shown.
    for (const bool shown : {true, false}) {
        m_pane->clear();
        m_pane->insertAtCaret(content);
        if (shown)
            m_pane->flush();
        QCOMPARE(m_pane->length(), int(content.size()));

        const int after = m_pane->trim();
        QCOMPARE(after, int(model.text.size()));
        QCOMPARE(m_pane->length(), after);
        QVERIFY(after <= SpyPane::TrimAbove);
        if (kept >= 0)
            QCOMPARE(after, kept);
        QCOMPARE(m_pane->text(), model.text);
        QVERIFY(m_pane->text().startsWith(startsWith));
    }
}

void tst_spy_pane::trimIsOneEdit()
{
    m_pane->insertAtCaret(repeat("some decoder output, one line of it\r\n", 8000));
    m_pane->flush();
    int changes = 0;
    connect(m_edit->document(), &QTextDocument::contentsChange, this, [&changes] { ++changes; });
    QVERIFY(m_pane->trim() <= SpyPane::TrimAbove);
    m_pane->flush();
    QCOMPARE(changes, 1);
}

void tst_spy_pane::leadingBackspaces_data()
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

void tst_spy_pane::leadingBackspaces()
{
    QFETCH(QString, pane);
    QFETCH(QByteArray, block);
    QFETCH(QString, shown);
    m_pane->insertAtCaret(pane);
    appendSpyText(*m_pane, cp1252::decode(block));
    QCOMPARE(m_pane->text(), shown);
    QCOMPARE(m_pane->length(), int(shown.size()));
}

void tst_spy_pane::crLfSplitOverTwoBlocks()
{
    appendSpyText(*m_pane, QStringLiteral("x\r"));
    appendSpyText(*m_pane, QStringLiteral("\ny"));
    QCOMPARE(m_pane->text(), QStringLiteral("x\r\ny"));
    QCOMPARE(m_edit->document()->blockCount(), 2);
    QCOMPARE(m_pane->length(), 4);
}

void tst_spy_pane::caretGoesToTheEnd()
{
    m_pane->insertAtCaret(QStringLiteral("first line\r\nsecond"));
    m_pane->flush();
    QTextCursor selection(m_edit->document());
    selection.setPosition(2);
    selection.setPosition(8, QTextCursor::KeepAnchor);
    m_edit->setTextCursor(selection);

    appendSpyText(*m_pane, QStringLiteral(" more"));
    QCOMPARE(m_pane->text(), QStringLiteral("first line\r\nsecond more"));
    const QTextCursor caret = m_edit->textCursor();
    QVERIFY(!caret.hasSelection());
    QCOMPARE(caret.position(), m_edit->document()->characterCount() - 1);
}

void tst_spy_pane::emptyBlockStillTrims()
{
    m_pane->insertAtCaret(x(16001));
    m_pane->flush();
    QTextCursor start(m_edit->document());
    m_edit->setTextCursor(start);
    appendSpyText(*m_pane, QString());
    QCOMPARE(m_pane->length(), 11905);
    m_pane->flush();
    QCOMPARE(m_edit->textCursor().position(), 11905);
}

void tst_spy_pane::highBytesAreShown()
{
    QByteArray high;
    for (int b = 0x80; b <= 0xFF; ++b)
        high.append(char(b));
    appendSpyText(*m_pane, cp1252::decode(high));
    QCOMPARE(m_pane->text(), cp1252::decode(high));
    QCOMPARE(m_pane->length(), 128);
}

void tst_spy_pane::undoKeepsNothing()
{
    for (int i = 0; i < 50; ++i) {
        appendSpyText(*m_pane, repeat("line of text\r\n", 200));
        m_pane->flush();
    }
    QCOMPARE(m_edit->document()->availableUndoSteps(), 0);
    m_pane->clear();
    QCOMPARE(m_pane->length(), 0);
    appendSpyText(*m_pane, QStringLiteral("again"));
    m_pane->flush();
    QCOMPARE(m_edit->document()->availableUndoSteps(), 0);
    QCOMPARE(m_pane->text(), QStringLiteral("again"));
}

void tst_spy_pane::matchesModel_data()
{
    QTest::addColumn<QByteArray>("alphabet");
    QTest::addColumn<int>("maxBlock");
    QTest::addColumn<int>("blocks");
    QTest::newRow("short lines") << QByteArray("abc\r\n\r\n\b\0", 9) << 3000 << 400;
    QTest::newRow("few line breaks") << QByteArray("abcdefghijklmnopqrstuvwxyz\r\b", 28) << 6000 << 300;
    QTest::newRow("backspace storms") << QByteArray("a\b\b\b\r", 5) << 500 << 600;
    QTest::newRow("large blocks") << QByteArray("0123456789\r\n\r\0\b", 15) << 100000 << 40;
}

void tst_spy_pane::matchesModel()
{
    QFETCH(QByteArray, alphabet);
    QFETCH(int, maxBlock);
    QFETCH(int, blocks);
    QRandomGenerator random(1234);
    ModelPane model;
    for (int i = 0; i < blocks; ++i) {
        const QString block = randomBlock(random, alphabet, maxBlock);
        appendSpyText(*m_pane, block);
        model.append(block);
        QCOMPARE(m_pane->length(), int(model.text.size()));
        if (m_pane->text() != model.text)
            QFAIL(qPrintable(QStringLiteral("pane differs after block %1").arg(i)));
    }
}

void tst_spy_pane::burstIsOneUpdate()
{
    const QString before = QStringLiteral("shown before\r\n");
    appendSpyText(*m_pane, before);
    m_pane->flush();
    ModelPane model{before};
    int changes = 0;
    connect(m_edit->document(), &QTextDocument::contentsChange, this, [&changes] { ++changes; });
    for (int i = 0; i < 40; ++i) {
        const QString block = repeat("adresse 0x0001f000 bloc 31\r\n", 200 + i);
        appendSpyText(*m_pane, block);
        model.append(block);
        QCOMPARE(m_pane->length(), int(model.text.size()));
    }
    QCOMPARE(changes, 0);
    QVERIFY(m_pane->hasPending());

    m_pane->flush();
    QVERIFY2(changes <= 2, qPrintable(QString::number(changes)));
    QVERIFY(!m_pane->hasPending());
    QCOMPARE(widgetText(m_edit), model.text);
    QVERIFY(caretAtEnd(m_edit));
    QVERIFY(m_edit->verticalScrollBar()->value() > 0);
    QVERIFY(m_edit->viewport()->rect().contains(m_edit->cursorRect()));
}

void tst_spy_pane::waitingMatchesModel_data()
{
    matchesModel_data();
    QTest::newRow("flood") << QByteArray("adresse 0x1f000 bloc\r\n\r\n\b\0", 26) << 140000 << 60;
}

// Blocks go in one by one while the widget is updated only now and then, as
// the event loop would: the pane always counts the model's length, the widget
// always shows the model's newest text, and all of it once updated for good.
void tst_spy_pane::waitingMatchesModel()
{
    QFETCH(QByteArray, alphabet);
    QFETCH(int, maxBlock);
    QFETCH(int, blocks);
    QRandomGenerator random(4321);
    ModelPane model;
    for (int i = 0; i < blocks; ++i) {
        const QString block = randomBlock(random, alphabet, maxBlock);
        appendSpyText(*m_pane, block);
        model.append(block);
        QCOMPARE(m_pane->length(), int(model.text.size()));
        if (random.bounded(3) != 0)
            continue;
        m_pane->refresh();
        const QString shown = widgetText(m_edit);
        if (!m_pane->hasPending() && shown != model.text)
            QFAIL(qPrintable(QStringLiteral("widget differs after block %1").arg(i)));
        if (!model.text.endsWith(shown))
            QFAIL(qPrintable(QStringLiteral("widget does not show the newest text after block %1").arg(i)));
        QVERIFY(caretAtEnd(m_edit));
    }
    m_pane->flush();
    QVERIFY(!m_pane->hasPending());
    QVERIFY(widgetText(m_edit) == model.text);
    QVERIFY(caretAtEnd(m_edit));
}

void tst_spy_pane::trimAcrossTheWaitingText_data()
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

void tst_spy_pane::trimAcrossTheWaitingText()
{
    QFETCH(QString, shown);
    QFETCH(QString, waiting);
    QFETCH(int, kept);

    m_pane->insertAtCaret(shown);
    m_pane->flush();
    m_pane->insertAtCaret(waiting);
    ModelPane model{asShown(shown) + asShown(waiting)};
    QCOMPARE(m_pane->length(), int(model.text.size()));

    const int after = m_pane->trim();
    model.trim();
    QCOMPARE(after, int(model.text.size()));
    QCOMPARE(after, kept);
    QCOMPARE(m_pane->length(), after);
    QVERIFY(m_pane->hasPending());
    QCOMPARE(widgetText(m_edit), asShown(shown));  // nothing reached the widget yet
    QCOMPARE(m_pane->text(), model.text);
    QCOMPARE(m_pane->length(), after);
}

void tst_spy_pane::leadingBackspacesAgainstWaitingText_data()
{
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("waiting");
    QTest::addColumn<QByteArray>("block");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<bool>("touchesWidget");

    QTest::newRow("within the waiting text")
        << QStringLiteral("abc\r\n") << QStringLiteral("def") << QByteArray("\b\bX") << QStringLiteral("abc\r\ndX")
        << false;
    QTest::newRow("waiting text ends in a line break")
        << QStringLiteral("abc") << QStringLiteral("de\r\n") << QByteArray("\bX") << QStringLiteral("abcde\r\nX")
        << false;
    QTest::newRow("stops at a line break of the waiting text")
        << QStringLiteral("abc") << QStringLiteral("d\r\nef") << QByteArray("\b\b\b\bX")
        << QStringLiteral("abcd\r\nX") << false;
    QTest::newRow("all of the waiting text")
        << QStringLiteral("abc") << QStringLiteral("de") << QByteArray("\b\bX") << QStringLiteral("abcX") << false;
    QTest::newRow("reaches into the shown text")
        << QStringLiteral("ab\r\ncd") << QStringLiteral("ef") << QByteArray("\b\b\b\b\bX")
        << QStringLiteral("ab\r\nX") << true;
    QTest::newRow("reaches a shown line break")
        << QStringLiteral("ab\r\n") << QStringLiteral("cd") << QByteArray("\b\b\bX") << QStringLiteral("ab\r\nX")
        << true;
    QTest::newRow("nothing waits") << QStringLiteral("abc") << QString() << QByteArray("\bX")
                                   << QStringLiteral("abX") << true;
    QTest::newRow("more than the pane holds")
        << QStringLiteral("a") << QStringLiteral("b") << QByteArray("\b\b\b\b") << QString() << true;
}

void tst_spy_pane::leadingBackspacesAgainstWaitingText()
{
    QFETCH(QString, shown);
    QFETCH(QString, waiting);
    QFETCH(QByteArray, block);
    QFETCH(QString, expected);
    QFETCH(bool, touchesWidget);

    m_pane->insertAtCaret(shown);
    m_pane->flush();
    m_pane->insertAtCaret(waiting);
    int changes = 0;
    connect(m_edit->document(), &QTextDocument::contentsChange, this, [&changes] { ++changes; });
    appendSpyText(*m_pane, cp1252::decode(block));
    QCOMPARE(changes > 0, touchesWidget);
    QCOMPARE(m_pane->length(), int(expected.size()));
    QCOMPARE(m_pane->text(), expected);
}

void tst_spy_pane::floodShowsTheNewestThenEverything()
{
    // Focus settled first: a focus change would show everything at once.
    m_edit->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_edit));
    m_edit->setFocus();
    QTRY_VERIFY(m_edit->hasFocus());
    ModelPane model;
    auto append = [&](const QString &block) {
        appendSpyText(*m_pane, block);
        model.append(block);
    };
    append(repeat("adresse 0x0001f000 bloc 31\r\n", 2000));
    m_pane->refresh();
    // While text floods in the widget shows only the newest of it.
    QVERIFY(m_pane->hasPending());
    QCOMPARE(m_pane->length(), int(model.text.size()));
    QVERIFY(widgetText(m_edit).size() <= SpyPane::TrimAbove + 1);
    QVERIFY(model.text.endsWith(widgetText(m_edit)));
    QVERIFY(caretAtEnd(m_edit));

    // The next block's trim takes the held text and part of the widget's.
    append(repeat("ligne\r\n", 6000) + QStringLiteral("prompt> ab"));
    QCOMPARE(m_pane->length(), int(model.text.size()));
    m_pane->refresh();
    QVERIFY(m_pane->hasPending());
    QVERIFY(model.text.endsWith(widgetText(m_edit)));

    // A leading backspace erases the widget's last character in place.
    append(QStringLiteral("\bc"));
    QVERIFY(m_pane->hasPending());
    QCOMPARE(m_pane->length(), int(model.text.size()));
    QVERIFY(widgetText(m_edit).endsWith(QStringLiteral("prompt> a")));

    // Once the flood stops, the next update shows everything.
    m_pane->refresh();
    QVERIFY(!m_pane->hasPending());
    QCOMPARE(widgetText(m_edit), model.text);
    QVERIFY(caretAtEnd(m_edit));
    QVERIFY(m_edit->viewport()->rect().contains(m_edit->cursorRect()));

    // The event loop does the same by itself: the newest text first, all of
    // it at the next update.
    QList<int> shownSizes;
    connect(m_edit->document(), &QTextDocument::contentsChanged, this,
            [&] { shownSizes << m_edit->document()->characterCount() - 1; });
    append(repeat("0123456789abcdef\r", 5000));
    QTRY_VERIFY(!m_pane->hasPending());
    QCOMPARE(shownSizes.size(), 2);
    QVERIFY(shownSizes.first() <= SpyPane::TrimAbove);
    QCOMPARE(widgetText(m_edit), model.text);
    QVERIFY(caretAtEnd(m_edit));
}

// While the widget shows only the end of a long line, erasing more than it
// shows goes on into the text held before it.
void tst_spy_pane::eraseReachesTheHeldText()
{
    const QString line = QStringLiteral("start\r\n") + x(40000);
    appendSpyText(*m_pane, line);
    m_pane->refresh();
    QVERIFY(m_pane->hasPending());
    QCOMPARE(m_edit->document()->blockCount(), 1);

    QCOMPARE(m_pane->eraseBeforeEnd(20000), 20000);
    QCOMPARE(m_pane->length(), int(line.size()) - 20000);
    QCOMPARE(m_pane->eraseBeforeEnd(30000), 20000);
    QCOMPARE(m_pane->text(), QStringLiteral("start\r\n"));
}

void tst_spy_pane::clearDropsWaitingText_data()
{
    QTest::addColumn<bool>("flood");
    QTest::newRow("waiting text and a cut") << false;
    QTest::newRow("text held before the widget") << true;
}

void tst_spy_pane::clearDropsWaitingText()
{
    QFETCH(bool, flood);
    appendSpyText(*m_pane, x(20000));
    m_pane->flush();
    appendSpyText(*m_pane, flood ? repeat("line\r\n", 10000) : QStringLiteral("waiting"));
    if (flood)
        m_pane->refresh();
    QVERIFY(m_pane->hasPending());

    m_pane->clear();
    QVERIFY(!m_pane->hasPending());
    QCOMPARE(m_pane->length(), 0);
    QVERIFY(m_edit->document()->isEmpty());
    QTest::qWait(3 * SpyPane::FlushDelayMs);
    QVERIFY(m_edit->document()->isEmpty());
    appendSpyText(*m_pane, QStringLiteral("again"));
    QCOMPARE(m_pane->text(), QStringLiteral("again"));
}

// With the port closed the pane edits itself: a key or a click must find the
// whole text in the widget.
void tst_spy_pane::inputActsOnTheWholeText()
{
    m_edit->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_edit));
    m_edit->setFocus();
    QTRY_VERIFY(m_edit->hasFocus());

    appendSpyText(*m_pane, QStringLiteral("boot> "));
    QVERIFY(m_pane->hasPending());
    QTest::keyClicks(m_edit, "ab");
    QVERIFY(!m_pane->hasPending());
    QCOMPARE(widgetText(m_edit), QStringLiteral("boot> ab"));

    appendSpyText(*m_pane, QStringLiteral("\r\nmore"));
    QVERIFY(m_pane->hasPending());
    QTest::mouseClick(m_edit->viewport(), Qt::LeftButton, {}, QPoint(1, 1));
    QVERIFY(!m_pane->hasPending());
    QCOMPARE(widgetText(m_edit), QStringLiteral("boot> ab\r\nmore"));
    QCOMPARE(m_edit->textCursor().position(), 0);

    // Text inserted where the caret stands goes straight into the widget.
    m_pane->insertAtCaret(QStringLiteral("> "));
    QVERIFY(!m_pane->hasPending());
    QCOMPARE(widgetText(m_edit), QStringLiteral("> boot> ab\r\nmore"));
    QCOMPARE(m_pane->length(), 16);
}

// A line joined by the user's backspace and a typed character change the
// pane's own count, and the next block's backspace works on the edited line.
void tst_spy_pane::userEditsAreCounted()
{
    m_edit->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_edit));
    m_edit->setFocus();
    QTRY_VERIFY(m_edit->hasFocus());

    appendSpyText(*m_pane, QStringLiteral("ab\r\ncd"));
    m_pane->flush();
    QTextCursor caret(m_edit->document()->lastBlock());
    m_edit->setTextCursor(caret);
    QTest::keyClick(m_edit, Qt::Key_Backspace);
    QTest::keyClicks(m_edit, "x");
    QCOMPARE(widgetText(m_edit), QStringLiteral("abxcd"));
    QCOMPARE(m_pane->length(), 5);

    appendSpyText(*m_pane, QStringLiteral("\b!"));
    QCOMPARE(m_pane->length(), 5);
    QCOMPARE(m_pane->text(), QStringLiteral("abxc!"));
}

QTEST_MAIN(tst_spy_pane)
#include "tst_spy_pane.moc"
