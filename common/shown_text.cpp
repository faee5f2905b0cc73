#include "common/shown_text.h"

namespace {

const QLatin1String kEllipsis("...");

// The visible form of one character (or surrogate pair) starting at text[at],
// and how many UTF-16 units it takes.
QString visible(const QString &text, qsizetype at, qsizetype *units, ShownEscapes escapes)
{
    const QChar c = text.at(at);
    *units = 1;
    if (c.isHighSurrogate() && at + 1 < text.size() && text.at(at + 1).isLowSurrogate()) {
        *units = 2;
        return text.mid(at, 2);
    }
    const char16_t code = c.unicode();
    switch (code) {
    case u'\r':
        return QStringLiteral("\\r");
    case u'\n':
        return QStringLiteral("\\n");
    case u'\t':
        return QStringLiteral("\\t");
    default:
        break;
    }
    const bool unambiguous = escapes == ShownEscapes::Unambiguous;
    if (unambiguous && code == u'\\')
        return QStringLiteral("\\\\");
    if (code < 0x20 || (code >= 0x7F && code <= 0x9F))
        return QStringLiteral("\\x%1").arg(int(code), 2, 16, QLatin1Char('0'));
    if (code == 0x2028 || code == 0x2029 || (code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069)
        || c.isSurrogate() || (unambiguous && (code == 0x200E || code == 0x200F || code == 0xFEFF)))
        return QStringLiteral("\\u%1").arg(int(code), 4, 16, QLatin1Char('0'));
    return QString(c);
}

}  // namespace

QString shownText(const QString &text, int limit, ShownEscapes escapes)
{
    const qsizetype most = qMax(limit, int(kEllipsis.size()) + 1);
    QString shown;
    shown.reserve(qMin(text.size(), most));
    // Where the text would be cut if it does not fit: the last whole piece
    // that still leaves room for the ellipsis.
    qsizetype cut = -1;
    for (qsizetype at = 0; at < text.size();) {
        qsizetype units = 0;
        const QString piece = visible(text, at, &units, escapes);
        if (shown.size() + piece.size() > most - kEllipsis.size() && cut < 0)
            cut = shown.size();
        if (shown.size() + piece.size() > most) {
            shown.truncate(cut);
            return shown + kEllipsis;
        }
        shown += piece;
        at += units;
    }
    return shown;
}
