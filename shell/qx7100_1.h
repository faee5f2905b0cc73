#pragma once
// The loader's main window: information pane, spy display, Start button, menus
// and status bar, and every procedure that the user's commands run. Each
// subsystem's folder defines the window's procedures of that subsystem, as
// marked below.

#include "download/common_dialog.h"
#include "shell/loader_services.h"
#include "spy/spy_record.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QString>
#include <memory>
#include <vector>

class ImageHasher;
class JobFollower;
class MSComm;
class PortReturnWatch;
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

    // ---- shell/qx7100_1.cpp: start-up, layout, the shared commands ----------
    // Start-up: Start disabled, no port marked, panes laid out and blue, the
    // default printer in the "Printer" panel. Run once by the constructor.
    void Form_Load();
    // After every change of size: lay the panes out, or snap the window back to
    // its minimum outer size of 3000 x 3000 twips.
    void Form_Resize();
    // The "Start" menu command: as the Start button.
    void start_1_Click();
    void Status_Click();

    // Twip conversion with the window's logical resolution.
    float twipsX(int pixels) const;
    float twipsY(int pixels) const;
    int pixelsX(float twips) const;
    int pixelsY(float twips) const;

    // ---- spy/window_spy.cpp: the serial port and the spy display -------------
    // The Com menu's item of a COM number: opens that port.
    void com_Click(int portNumber);
    void Clear_Click();
    // File > "&Save spy log...": the spy display's whole text of the run to a file.
    void savelog_Click();
    void MSComm1_OnComm();
    // One received block onto the spy display and into the log (appendSpyBlock);
    // block becomes the filtered text. A failing step is reported by spyError.
    void AppendSpyText(QString &block);
    // A key typed into the spy display; returns true when the key was taken
    // (sent to the decoder) and must not reach the pane.
    bool txtTerm_KeyPress(const QString &text, int key, Qt::KeyboardModifiers modifiers);

    // ---- download/window_download.cpp: choosing and sending the image --------
    void file_Click();
    void Start_Click();

    // ---- convert/window_convert.cpp: the S-record conversion ----------------
    void convert_Click();

    // State shared between the commands (read by tests too).
    const QString &filename() const { return Filename; }
    const QByteArray &receiveBuffer() const { return buffer; }
    MSComm &serialPort() { return *MSComm1; }
    SpyPane &spyPane() { return *spyPane_; }
    SpyLog &spyLog() { return *spyLog_; }

protected:
    // shell/qx7100_1.cpp
    void resizeEvent(QResizeEvent *event) override;
    void moveEvent(QMoveEvent *event) override;
    // spy/window_spy.cpp: keys of the spy display.
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // shell/qx7100_1.cpp
    void buildControls();
    void buildMenus();
    void layOutPanes();
    void hintMinimumSize();
    QLabel *panel(const QString &key) const;
    void insertInfo(const QString &text);
    void warn(const QString &text);
    void showJob(const QString &text);

    // spy/window_spy.cpp
    void setUpSerial();
    // The COM number whose Com item is checked, 0 when none is.
    int checkedComPort() const;
    // Checks the Com item of portNumber and unchecks every other (0: none).
    void markComItem(int portNumber);
    QString portLabel() const;
    void portLost(const QString &warning);
    void portStopped(const QString &reason);
    void portClosed();
    void portReturned();
    void reopenPort();
    void spyError(const QString &description);
    // The record of the run: an image handed to the print server (its job, or
    // 0 and what went wrong), the job's state as it changes, the job panel's
    // tooltip naming the image, the header of a saved log.
    void noteImageSent(const QString &path, qint64 bytes, int jobId, const QString &outcome);
    void noteJobState();
    const SentImage *followedImage() const;
    void updateJobToolTip();
    // Lines under the job panel's whole text in its tooltip.
    void showJobDetails(const QString &details);
    SpyRecordHeader recordHeader() const;

    // download/window_download.cpp
    // The file dialog sequence shared by the image and S-record commands:
    // returns the chosen path, or an empty text when the user cancelled.
    QString chooseFile(const QString &filter);
    // Start's part after its checks: the question about an earlier job still in
    // the queue, the send, and the follow-up of the job it created.
    void sendImage(const DefaultPrinterInfo &printer);

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
    // The Com menu's items, one a COM number, in menu order: every command
    // that marks or reads them goes through this list.
    struct ComItem {
        int portNumber;
        QAction *action;
    };
    std::vector<ComItem> comItems_;
    QAction *start_1 = nullptr;
    QAction *Clear = nullptr;
    QAction *Status = nullptr;

    CommonDialog CMDialog1;
    MSComm *MSComm1 = nullptr;
    // Waits for the device of a port that went away to come back.
    PortReturnWatch *portWatch_ = nullptr;
    std::unique_ptr<SpyPane> spyPane_;
    std::unique_ptr<SpyLog> spyLog_;
    // The images sent in this run, for the record; hashed away from this thread.
    QList<SentImage> sentImages_;
    ImageHasher *imageHasher_ = nullptr;
    // A port was chosen at least once (the record names it even while closed).
    bool portChosen_ = false;

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
