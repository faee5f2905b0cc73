#include "shell/about.h"

#include "shell/enter_presses.h"
#include "shell/twips.h"

#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QPushButton>

namespace {

// A design size in twips, in pixels of the widget's horizontal or vertical resolution.
int px(const QWidget *w, int twips, bool horizontal)
{
    return twipsToPixels(float(twips), horizontal ? w->logicalDpiX() : w->logicalDpiY());
}

const char kAboutText[] =
    "This program is intended to download .BIN files  in the   ARVELLON \r\n"
    "QX7100 Velantra decoder.\r\n"
    "\r\n"
    "A/Connection.\r\n"
    "Velantra Serial to PC Com1 or Com2 (port avalable on the PC), used for SPY display.\r\n"
    "Velantra parallel to LPT1 or LPT2 (port avalable on the PC, selected in the printer default configuration), used to \r\n"
    "transmit the bin file.\r\n"
    "\r\n"
    "B/Software\r\n"
    "This program is using the printer driver (any printer driver should work (Generic printer by default)).\r\n"
    "The printer driver has to be configured in Compatible  mode for the dialog and in RAW  for the printer \r\n"
    "communication, these parameters are accessible in the printer icon properties.\r\n"
    "   Menu: \r\n"
    "\t Convert_srec2bin, to translate srec file to  bin file. \r\n"
    "\t Bin_file_to_load, to select the *.BIN lile to download.\r\n"
    "                 Com, to select your communication port avalable.\r\n"
    "                 Clear, to clear the spy display screen.\r\n"
    "\r\n"
    "When the communication port and the file to download are selected, you can  switch on your decoder and \r\n"
    "press the two extreme keys in the front panel, in the spy display you should see some informations, the last \r\n"
    "line should be \"attente negociation\" which mean \"waiting for dialog\" then press the start key. The system \r\n"
    "then load the decoder, in the spy display you should see the address and block dowloaded, and if you have \r\n"
    "openned the printer icon (bottom right of your screen), you can see increasing the % of the file transmited.\r\n"
    "When you see in the spy display area the text \"mettre sous tension le decodeur !!!\" wich mean \"switch on  \r\n"
    "the decoder\" that  signify your decoder is ready and well updated.\r\n"
    "\r\n"
    "Velantra loader V2.0 08/00  WIN98, NT4.\r\n";

}  // namespace

QString About::aboutText()
{
    return QString::fromLatin1(kAboutText);
}

About::About(QWidget *owner) : QDialog(owner)
{
    setObjectName(QStringLiteral("About"));
    setWindowTitle(QStringLiteral("About"));
    setModal(true);
    setFixedSize(px(this, 7980, true), px(this, 6495, false));

    Text1 = new QPlainTextEdit(this);
    Text1->setObjectName(QStringLiteral("Text1"));
    Text1->setGeometry(px(this, 120, true), px(this, 0, false), px(this, 7695, true), px(this, 5775, false));
    // The text box wraps long lines and shows no scroll bars; Tab leaves it
    // for "Ok" instead of inserting a tab.
    Text1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    Text1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Text1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Text1->setTabChangesFocus(true);
    // Tab stops every eight average characters, as in a classic text box.
    Text1->setTabStopDistance(8.0 * Text1->fontMetrics().averageCharWidth());
    Text1->setPlainText(aboutText());
    Text1->moveCursor(QTextCursor::Start);

    Command1 = new QPushButton(QStringLiteral("Ok"), this);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setGeometry(px(this, 3120, true), px(this, 6000, false), px(this, 1335, true), px(this, 375, false));
    // Neither the default nor the cancel button: Enter presses it only while it
    // has the focus, and Esc never does.
    Command1->setAutoDefault(false);
    Command1->setDefault(false);
    pressOnEnter(Command1);
    connect(Command1, &QPushButton::clicked, this, &About::Command1_Click);

    setTabOrder(Text1, Command1);
    Text1->setFocus();
}

void About::keyPressEvent(QKeyEvent *event)
{
    // A dialog closes on Esc by default; this window has no cancel button.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void About::Command1_Click()
{
    accept();
}
