// The spy display's pane operations on a real QPlainTextEdit: counts with CR LF
// line breaks, the trim boundaries, leading backspaces, the caret, and whole
// sequences of blocks against a plain-string model of the display.
#include "spy/cp1252.h"
#include "spy/spy_filter.h"
#include "spy/spy_pane.h"

#include <QPlainTextEdit>
#include <QRandomGenerator>
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

// The steps of the spy display procedure, in their order.
void appendSpyText(SpyPane &pane, const QString &block)
{
    pane.length();
    pane.trim();
    const SpyFilterResult r = filterSpyBlock(block);
    pane.eraseBeforeEnd(r.leadingBackspaces);
    pane.caretToEnd();
    pane.insertAtCaret(r.text);
}

QString repeat(const char *piece, int times)
{
    return QString::fromLatin1(piece).repeated(times);
}

QString x(int n)
{
    return QString(n, QLatin1Char('x'));
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

private:
    QPlainTextEdit *m_edit = nullptr;
    SpyPane *m_pane = nullptr;
};

void tst_spy_pane::init()
{
    m_edit = new QPlainTextEdit;
    m_edit->resize(400, 300);
    m_edit->show();
    m_pane = new SpyPane(m_edit);
}

void tst_spy_pane::cleanup()
{
    delete m_pane;
    delete m_edit;
}

void tst_spy_pane::countsLineBreaksAsTwo()
{
    QCOMPARE(m_pane->length(), 0);
    m_pane->insertAtCaret(QStringLiteral("ab\r\ncd\r\n"));
    QCOMPARE(m_pane->length(), 8);
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

    m_pane->insertAtCaret(content);
    QCOMPARE(m_pane->length(), int(content.size()));
    ModelPane model{content};
    model.trim();

    const int after = m_pane->trim();
    QCOMPARE(after, int(model.text.size()));
    QCOMPARE(m_pane->length(), after);
    QVERIFY(after <= SpyPane::TrimAbove);
    if (kept >= 0)
        QCOMPARE(after, kept);
    QCOMPARE(m_pane->text(), model.text);
    QVERIFY(m_pane->text().startsWith(startsWith));
}

void tst_spy_pane::trimIsOneEdit()
{
    m_pane->insertAtCaret(repeat("some decoder output, one line of it\r\n", 8000));
    int changes = 0;
    connect(m_edit->document(), &QTextDocument::contentsChange, this, [&changes] { ++changes; });
    QVERIFY(m_pane->trim() <= SpyPane::TrimAbove);
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
    QTextCursor start(m_edit->document());
    m_edit->setTextCursor(start);
    appendSpyText(*m_pane, QString());
    QCOMPARE(m_pane->length(), 11905);
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
    for (int i = 0; i < 50; ++i)
        appendSpyText(*m_pane, repeat("line of text\r\n", 200));
    QCOMPARE(m_edit->document()->availableUndoSteps(), 0);
    m_pane->clear();
    QCOMPARE(m_pane->length(), 0);
    appendSpyText(*m_pane, QStringLiteral("again"));
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
        QByteArray raw(random.bounded(maxBlock + 1), '\0');
        for (char &c : raw)
            c = alphabet.at(random.bounded(int(alphabet.size())));
        const QString block = cp1252::decode(raw);
        appendSpyText(*m_pane, block);
        model.append(block);
        QCOMPARE(m_pane->length(), int(model.text.size()));
        if (m_pane->text() != model.text)
            QFAIL(qPrintable(QStringLiteral("pane differs after block %1").arg(i)));
    }
}

QTEST_MAIN(tst_spy_pane)
#include "tst_spy_pane.moc"
