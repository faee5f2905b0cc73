#pragma once
// The loader's main window: information pane, spy display, Start button, menus
// and status bar, and every procedure that the user's commands run.

#include "download/common_dialog.h"
#include "shell/loader_services.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QString>
#include <memory>

class JobFollower;
class MSComm;
class SpyLog;
class SpyPane;
class QAction;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QStatusBar;

class qx7100_1 : public QMainWindow {
    Q_OBJECT

public:
    explicit qx7100_1(LoaderServices services, QWidget *parent = nullptr);
    ~qx7100_1() override;

    // Start-up: Start disabled, no port marked, panes laid out and blue, the
    // default printer in the "Printer" panel. Run once by the constructor.
    void Form_Load();
    // After every change of size: lay the panes out, or snap the window back to
    // its minimum outer size of 3000 x 3000 twips.
    void Form_Resize();

    // Menu and button commands.
    void convert_Click();
    void file_Click();
    void com1_Click();
    void com2_Click();
    void start_1_Click();
    void Start_Click();
    void Clear_Click();
    void Status_Click();
    // File > "&Save spy log...": the spy display's whole text of the run to a file.
    void savelog_Click();

    // Serial events and the spy display.
    void MSComm1_OnComm();
    void AppendSpyText(QString &block);
    // A key typed into the spy display; returns true when the key was taken
    // (sent to the decoder) and must not reach the pane.
    bool txtTerm_KeyPress(const QString &text, int key, Qt::KeyboardModifiers modifiers);

    // State shared between the commands (read by tests too).
    const QString &filename() const { return Filename; }
    const QByteArray &receiveBuffer() const { return buffer; }
    MSComm &serialPort() { return *MSComm1; }
    SpyPane &spyPane() { return *spyPane_; }
    SpyLog &spyLog() { return *spyLog_; }

    // Twip conversion with the window's logical resolution.
    float twipsX(int pixels) const;
    float twipsY(int pixels) const;
    int pixelsX(float twips) const;
    int pixelsY(float twips) const;

protected:
    void resizeEvent(QResizeEvent *event) override;
    void moveEvent(QMoveEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildControls();
    void buildMenus();
    void setUpSerial();
    void layOutPanes();
    void hintMinimumSize();
    void selectPort(QAction *item, int portNumber, QAction *other);
    QString portLabel() const;
    void portLost(const QString &warning);
    void portStopped(const QString &reason);
    void reopenPort();
    void spyError(const QString &description);
    QLabel *panel(const QString &key) const;
    void insertInfo(const QString &text);
    // The file dialog sequence shared by the image and S-record commands:
    // returns the chosen path, or an empty text when the user cancelled.
    QString chooseFile(const QString &filter);
    void warn(const QString &text);
    // Start's part after its checks: the question about an earlier job still in
    // the queue, the send, and the follow-up of the job it created.
    void sendImage(const DefaultPrinterInfo &printer);
    void showJob(const QString &text);

    LoaderServices services_;

    QPlainTextEdit *Textinfo = nullptr;
    QPlainTextEdit *txtTerm = nullptr;
    QPushButton *Start = nullptr;
    QStatusBar *sbrStatus = nullptr;

    QMenu *Menu_file = nullptr;
    QAction *convert = nullptr;
    QAction *file = nullptr;
    QAction *savelog = nullptr;
    QMenu *com = nullptr;
    QAction *com1 = nullptr;
    QAction *com2 = nullptr;
    QAction *start_1 = nullptr;
    QAction *Clear = nullptr;
    QAction *Status = nullptr;

    CommonDialog CMDialog1;
    MSComm *MSComm1 = nullptr;
    std::unique_ptr<SpyPane> spyPane_;
    std::unique_ptr<SpyLog> spyLog_;

    QString Filename;
    QByteArray buffer;

    bool spyErrorShowing_ = false;

    // The follow-up of the last Start's print job (none without the service).
    std::unique_ptr<JobFollower> jobFollower_;
    // True while Start sends; when the last send returned: clicks that arrived
    // while it blocked the window are not a new Start.
    bool sending_ = false;
    QElapsedTimer sendReturned_;
};
