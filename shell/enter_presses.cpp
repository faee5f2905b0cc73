#include "shell/enter_presses.h"

#include <QAbstractButton>
#include <QKeyEvent>

namespace {

class EnterPresses final : public QObject {
public:
    explicit EnterPresses(QAbstractButton *button) : QObject(button), button_(button) {}

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched != button_ || event->type() != QEvent::KeyPress)
            return false;
        auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter)
            return false;
        if ((key->modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier)
            return false;
        if (!key->isAutoRepeat() && button_->isEnabled())
            button_->click();
        return true;
    }

private:
    QAbstractButton *button_;
};

}  // namespace

void pressOnEnter(QAbstractButton *button)
{
    button->installEventFilter(new EnterPresses(button));
}
