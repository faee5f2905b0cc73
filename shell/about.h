#pragma once
// The about window: what the loader is for, how the decoder is wired, how a
// loading goes. Built afresh from its design at every showing.

#include <QDialog>

class QPlainTextEdit;
class QPushButton;

class About : public QDialog {
    Q_OBJECT

public:
    explicit About(QWidget *owner);

    // The about text, 27 lines each ending in CR LF.
    static QString aboutText();

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    void Command1_Click();

    QPlainTextEdit *Text1 = nullptr;
    QPushButton *Command1 = nullptr;
};
