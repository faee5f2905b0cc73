// The real message boxes: what the question box looks like and which answer
// the keys give.

#include "shell/message_service.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

class TestMessageService : public QObject {
    Q_OBJECT

private slots:
    // Enter and Esc both answer No: a question never cancels or sends by a
    // stray key.
    void questionAnswers_data()
    {
        QTest::addColumn<QString>("press");  // a key, or the button to click
        QTest::addColumn<bool>("answer");
        QTest::newRow("Enter") << "Enter" << false;
        QTest::newRow("keypad Enter") << "keypad Enter" << false;
        QTest::newRow("Esc") << "Esc" << false;
        QTest::newRow("click Yes") << "Yes" << true;
        QTest::newRow("click No") << "No" << false;
    }
    void questionAnswers()
    {
        QFETCH(QString, press);
        QFETCH(bool, answer);
        const auto messages = makeMessageBoxes();
        QString title;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QStringList buttons;
        QString defaultButton;
        bool answered = false;
        QTimer::singleShot(0, this, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            QVERIFY(box);
            title = box->windowTitle();
            icon = box->icon();
            for (QAbstractButton *button : box->buttons())
                buttons << button->text().remove('&');
            defaultButton = box->defaultButton() ? box->defaultButton()->text().remove('&') : QString();
            answered = true;
            if (press == QLatin1String("Enter"))
                QTest::keyClick(box, Qt::Key_Return);
            else if (press == QLatin1String("keypad Enter"))
                QTest::keyClick(box, Qt::Key_Enter, Qt::KeypadModifier);
            else if (press == QLatin1String("Esc"))
                QTest::keyClick(box, Qt::Key_Escape);
            else
                box->button(press == QLatin1String("Yes") ? QMessageBox::Yes : QMessageBox::No)->click();
        });
        QCOMPARE(messages->question(nullptr, QStringLiteral("Cancel it and send this image?")), answer);
        QVERIFY(answered);
        QCOMPARE(title, QStringLiteral("Warning"));
        QCOMPARE(icon, QMessageBox::Question);
        buttons.sort();
        QCOMPARE(buttons, (QStringList{"No", "Yes"}));
        QCOMPARE(defaultButton, QStringLiteral("No"));
    }
};

QTEST_MAIN(TestMessageService)
#include "tst_message_service.moc"
