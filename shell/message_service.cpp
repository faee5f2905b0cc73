#include "shell/message_service.h"

#include <QApplication>
#include <QMessageBox>

namespace {

class MessageBoxes final : public MessageService {
public:
    void warning(QWidget *parent, const QString &text) override
    {
        QMessageBox box(QMessageBox::Warning, QStringLiteral("Warning"), text, QMessageBox::Ok, parent);
        box.setTextFormat(Qt::PlainText);
        box.exec();
    }

    void error(QWidget *parent, const QString &text) override
    {
        QMessageBox box(QMessageBox::NoIcon, QApplication::applicationName(), text, QMessageBox::Ok, parent);
        box.setTextFormat(Qt::PlainText);
        box.exec();
    }

    bool question(QWidget *parent, const QString &text) override
    {
        QMessageBox box(QMessageBox::Question, QStringLiteral("Warning"), text, QMessageBox::Yes | QMessageBox::No,
                        parent);
        box.setTextFormat(Qt::PlainText);
        box.setDefaultButton(QMessageBox::No);
        box.setEscapeButton(QMessageBox::No);
        return box.exec() == QMessageBox::Yes;
    }
};

}  // namespace

std::unique_ptr<MessageService> makeMessageBoxes()
{
    return std::make_unique<MessageBoxes>();
}
