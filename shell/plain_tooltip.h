#pragma once
// A tooltip showing text as it stands: Qt takes a tooltip that looks like
// markup for rich text, and has no setting against it, so such a text is
// handed over as rich text that shows its characters literally.

#include <QString>
#include <QTextDocument>

inline QString plainToolTip(const QString &text)
{
    if (!Qt::mightBeRichText(text))
        return text;
    return QStringLiteral("<p style=\"white-space:pre-wrap\">") + text.toHtmlEscaped() + QStringLiteral("</p>");
}
