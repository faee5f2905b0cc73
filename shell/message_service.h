#pragma once
// Modal message boxes of the loader, behind an interface so that tests can
// record what would have been shown instead of opening a box. Every text is
// shown as plain text, never as rich text: parts of it come from outside the
// program (see common/shown_text.h) and may hold markup.

#include <QString>
#include <memory>

class QWidget;

class MessageService {
public:
    virtual ~MessageService() = default;
    // A warning box: title "Warning", exclamation icon, one OK button. Returns
    // when the user has closed it.
    virtual void warning(QWidget *parent, const QString &text) = 0;
    // An error box without a title of its own (it carries the program's title,
    // "load_velantra"), one OK button. Returns when the user has closed it.
    virtual void error(QWidget *parent, const QString &text) = 0;
    // A question box: title "Warning", question icon, buttons Yes and No, No
    // taken by Enter and by Esc. Returns true for Yes, when the user has answered.
    virtual bool question(QWidget *parent, const QString &text) = 0;
};

// Real boxes, built with QMessageBox.
std::unique_ptr<MessageService> makeMessageBoxes();
