#include "shell/qx7100_1.h"
#include "shell/plain_tooltip.h"

#include "common/shown_text.h"
#include "download/job_follower.h"
#include "shell/about.h"
#include "shell/enter_presses.h"
#include "shell/pane_layout.h"
#include "shell/twips.h"
#include "spy/serial_ports.h"
#include "spy/spy_log.h"
#include "spy/spy_pane.h"

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QStyle>
#include <QTextDocument>

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

// Design geometry, in twips.
constexpr float kClientWidth = 7770.0f;
constexpr float kClientHeight = 4725.0f;
constexpr float kStatusHeight = 315.0f;
constexpr float kPrinterPanelWidth = 4500.0f;
constexpr float kSettingsPanelWidth = 20000.0f;
constexpr int kStartLeft = 1920, kStartTop = 3240, kStartWidth = 1575, kStartHeight = 615;
// The start-up query of the default printer gives up after this.
constexpr int kStartUpQueryMs = 1000;

// A panel that draws as much of its text as fits, ending in "...", where a
// plain label would cut it off; its text stays whole.
class ElidingLabel : public QLabel {
public:
    using QLabel::QLabel;

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        drawFrame(&painter);
        QRect room = contentsRect();
        // The indent a framed label leaves, as QLabel computes it.
        const int indentation = indent() >= 0      ? indent()
                                : frameWidth() > 0 ? fontMetrics().horizontalAdvance('x') / 2
                                                   : 0;
        room.adjust(indentation + margin(), margin(), -margin(), -margin());
        const QString shown = fontMetrics().elidedText(text(), Qt::ElideRight, room.width());
        style()->drawItemText(&painter, room, int(Qt::AlignLeft | Qt::AlignVCenter), palette(), isEnabled(), shown,
                              foregroundRole());
    }
};

// The status bar with its keyed text panels, laid side by side at their
// design widths; the second is wider than any window and simply runs past the
// right edge, so it always fills the room right of the first. A panel added
// with addRightPanel sits at the right end instead, as wide as its text needs
// (at most half the bar), over the end of the panels before it but never over
// the text of the last one; hidden while empty.
class PanelStatusBar : public QStatusBar {
public:
    using QStatusBar::QStatusBar;

    QLabel *addRightPanel(const QString &key)
    {
        right_ = new ElidingLabel(this);
        right_->setObjectName(key);
        right_->setTextFormat(Qt::PlainText);
        right_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        // Opaque, so that it covers the end of the panel under it rather than
        // mixing its text with that one's.
        right_->setAutoFillBackground(true);
        right_->hide();
        return right_;
    }

    void setRightText(const QString &text)
    {
        rightText_ = text;
        right_->setText(shownText(text));
        showRightToolTip();
        right_->setVisible(!text.isEmpty());
        placePanels();
    }

    // Lines the right panel's tooltip adds under its whole text (made fit to
    // show by the caller, which escapes what comes from outside).
    void setRightDetails(const QString &details)
    {
        rightDetails_ = details;
        showRightToolTip();
    }

    void showRightToolTip()
    {
        right_->setToolTip(plainToolTip(shownText(rightText_, kShownToolTipLimit) + rightDetails_));
    }

    QLabel *addPanel(const QString &key, const QString &text, const QString &tooltip, int width)
    {
        auto *label = new QLabel(text, this);
        label->setObjectName(key);
        label->setTextFormat(Qt::PlainText);
        label->setToolTip(tooltip);
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        label->setProperty("panelWidth", width);
        panels_.append(label);
        placePanels();
        return label;
    }

protected:
    void resizeEvent(QResizeEvent *event) override
    {
        QStatusBar::resizeEvent(event);
        placePanels();
    }

    // A panel whose text changed asks for a new layout: the right panel then
    // gives the new text its room.
    bool event(QEvent *event) override
    {
        const bool handled = QStatusBar::event(event);
        if (event->type() == QEvent::LayoutRequest)
            placePanels();
        return handled;
    }

private:
    void placePanels()
    {
        int x = 0;
        for (QLabel *label : std::as_const(panels_)) {
            const int width = label->property("panelWidth").toInt();
            label->setGeometry(x, 0, width, height());
            x += width;
        }
        if (right_) {
            // The last panel's text stays in sight; the right panel shows what
            // of its own fits in the room left, and keeps an eighth of the bar
            // whatever that text is.
            int textEnd = 0;
            if (!panels_.isEmpty())
                textEnd = panels_.last()->x() + panels_.last()->sizeHint().width();
            const int room = std::max(this->width() - textEnd, this->width() / 8);
            const int width = std::min({right_->sizeHint().width(), this->width() / 2, room});
            right_->setGeometry(this->width() - width, 0, width, height());
            right_->raise();
        }
    }

    QList<QLabel *> panels_;
    QLabel *right_ = nullptr;
    QString rightText_;
    QString rightDetails_;
};

// The pane surface of the real window: readings and moves in twips, the panes
// keeping whole pixels themselves.
class WindowPaneSurface final : public PaneSurface {
public:
    WindowPaneSurface(qx7100_1 &window, QWidget &info, QWidget &spy, QWidget &status, int menuHeight)
        : window_(window), info_(info), spy_(spy), status_(status), menuHeight_(menuHeight)
    {}

    float clientWidth() override { return window_.twipsX(window_.width()); }
    float statusHeight() override { return window_.twipsY(status_.height()); }
    float clientHeight() override { return window_.twipsY(window_.height() - menuHeight_); }
    float infoPaneHeight() override { return window_.twipsY(info_.height()); }

    void moveInfoPane(float left, float top, float width, float height) override
    {
        move(info_, left, top, width, height);
    }
    void moveSpyPane(float left, float top, float width, float height) override
    {
        move(spy_, left, top, width, height);
    }

private:
    void move(QWidget &pane, float left, float top, float width, float height)
    {
        pane.setGeometry(window_.pixelsX(left), window_.pixelsY(top), window_.pixelsX(width), window_.pixelsY(height));
    }

    qx7100_1 &window_;
    QWidget &info_;
    QWidget &spy_;
    QWidget &status_;
    int menuHeight_;
};

QPlainTextEdit *makePane(const QString &name, QWidget *parent)
{
    auto *pane = new QPlainTextEdit(parent);
    pane->setObjectName(name);
    QFont font(QStringLiteral("Courier"));
    font.setStyleHint(QFont::TypeWriter);
    font.setPointSizeF(9.75);
    font.setWeight(QFont::Normal);
    pane->setFont(font);
    // Tab moves the focus along the tab order, as in the window's other controls.
    pane->setTabChangesFocus(true);
    return pane;
}

}  // namespace

qx7100_1::qx7100_1(LoaderServices services, QWidget *parent)
    : QMainWindow(parent), services_(std::move(services)), CMDialog1(*services_.fileDialog)
{
    setObjectName(QStringLiteral("qx7100_1"));
    setWindowTitle(QStringLiteral("Velantra Loader"));
    buildControls();
    buildMenus();
    setUpSerial();
    if (services_.printJobs) {
        jobFollower_ = std::make_unique<JobFollower>(*services_.printJobs);
        connect(jobFollower_.get(), &JobFollower::panelChanged, this, &qx7100_1::showJob);
        connect(jobFollower_.get(), &JobFollower::warning, this, &qx7100_1::warn);
    }

    const int menuHeight = menuBar()->sizeHint().height();
    resize(pixelsX(kClientWidth), menuHeight + pixelsY(kClientHeight));
    Form_Load();
}

qx7100_1::~qx7100_1() = default;

void qx7100_1::buildControls()
{
    auto *client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    setCentralWidget(client);

    Textinfo = makePane(QStringLiteral("Textinfo"), client);
    txtTerm = makePane(QStringLiteral("txtTerm"), client);

    Start = new QPushButton(QStringLiteral("Start"), client);
    Start->setObjectName(QStringLiteral("Start"));
    Start->setGeometry(pixelsX(kStartLeft), pixelsY(kStartTop), pixelsX(kStartWidth), pixelsY(kStartHeight));
    // Drawn in front of the spy display where they overlap, so it can always be clicked.
    Start->raise();
    connect(Start, &QPushButton::clicked, this, &qx7100_1::Start_Click);
    pressOnEnter(Start);

    auto *status = new PanelStatusBar(this);
    status->setObjectName(QStringLiteral("sbrStatus"));
    status->setSizeGripEnabled(false);
    status->setFixedHeight(pixelsY(kStatusHeight));
    status->setFocusPolicy(Qt::NoFocus);
    status->addPanel(QStringLiteral("Printer"), QStringLiteral("Printer port: "), QStringLiteral("Printer name"),
                     pixelsX(kPrinterPanelWidth));
    status->addPanel(QStringLiteral("Settings"), QStringLiteral("COM settings:"),
                     QStringLiteral("Communications Port Settings"), pixelsX(kSettingsPanelWidth));
    status->addRightPanel(QStringLiteral("Job"));
    setStatusBar(status);
    sbrStatus = status;

    setTabOrder(txtTerm, Textinfo);
    setTabOrder(Textinfo, Start);
    txtTerm->setFocus();
    txtTerm->installEventFilter(this);
}

void qx7100_1::buildMenus()
{
    auto item = [this](QMenu *menu, const QString &name, const QString &caption, void (qx7100_1::*slot)()) {
        QAction *action = menu ? menu->addAction(caption) : menuBar()->addAction(caption);
        action->setObjectName(name);
        connect(action, &QAction::triggered, this, slot);
        return action;
    };

    Menu_file = menuBar()->addMenu(QStringLiteral("&File"));
    Menu_file->setObjectName(QStringLiteral("Menu_file"));
    convert = item(Menu_file, QStringLiteral("convert"), QStringLiteral("&Convert_srec2bin"), &qx7100_1::convert_Click);
    file = item(Menu_file, QStringLiteral("file"), QStringLiteral("&bin_file_to_load"), &qx7100_1::file_Click);
    savelog = item(Menu_file, QStringLiteral("savelog"), QStringLiteral("&Save spy log..."), &qx7100_1::savelog_Click);

    com = menuBar()->addMenu(QStringLiteral("Com"));
    com->setObjectName(QStringLiteral("com"));
    // A checkable item flips its own mark before its command runs; the Com
    // commands set the marks themselves, so the flip is undone first.
    // One item per COM number there is (Com1, Com2); the rest of the window
    // reads the ports through these items.
    for (const int portNumber : comPortNumbers()) {
        QAction *action = com->addAction(QStringLiteral("Com%1").arg(portNumber));
        action->setObjectName(QStringLiteral("com%1").arg(portNumber));
        action->setCheckable(true);
        connect(action, &QAction::triggered, action, [action](bool checked) { action->setChecked(!checked); });
        connect(action, &QAction::triggered, this, [this, portNumber] { com_Click(portNumber); });
        comItems_.push_back(ComItem{portNumber, action});
    }

    start_1 = item(nullptr, QStringLiteral("start_1"), QStringLiteral("Start"), &qx7100_1::start_1_Click);
    Clear = item(nullptr, QStringLiteral("Clear"), QStringLiteral("Clear"), &qx7100_1::Clear_Click);
    Status = item(nullptr, QStringLiteral("Status"), QStringLiteral("?"), &qx7100_1::Status_Click);
}

void qx7100_1::Form_Load()
{
    Start->setEnabled(false);
    markComItem(0);
    layOutPanes();
    for (QPlainTextEdit *pane : {Textinfo, txtTerm}) {
        QPalette palette = pane->palette();
        palette.setColor(QPalette::Text, QColor(0, 0, 255));
        pane->setPalette(palette);
    }
    // About a second at most: a print server that does not answer must not hold the window back.
    panel(QStringLiteral("Printer"))
        ->setText(QStringLiteral("Printer: ") + shownText(services_.printer->query(kStartUpQueryMs).deviceName));
}

void qx7100_1::layOutPanes()
{
    // Before the window is first shown its menu bar and status bar have not
    // been placed yet; place them so that the readings are the real ones.
    if (!isVisible())
        layout()->activate();
    WindowPaneSurface surface(*this, *Textinfo, *txtTerm, *sbrStatus, menuBar()->height());
    ::layOutPanes(surface);
}

void qx7100_1::Form_Resize()
{
    const float outerHeight = twipsY(frameGeometry().height());
    const float outerWidth = twipsX(frameGeometry().width());
    if (outerSizeAllowsLayout(outerHeight, outerWidth)) {
        layOutPanes();
        return;
    }
    // Too small: snap the outer size to the minimum, height first, then width.
    const int frameExtraHeight = frameGeometry().height() - height();
    const int frameExtraWidth = frameGeometry().width() - width();
    resize(width(), pixelsY(kMinimumOuterTwips) - frameExtraHeight);
    resize(pixelsX(kMinimumOuterTwips) - frameExtraWidth, height());
}

void qx7100_1::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    hintMinimumSize();
    Form_Resize();
}

void qx7100_1::moveEvent(QMoveEvent *event)
{
    QMainWindow::moveEvent(event);
    // The window manager's frame comes (or changes) with a move.
    hintMinimumSize();
}

// The window manager learns the minimum too: an interactive resize then stops
// at it, instead of going below and fighting the snap of Form_Resize. The
// minimum is the smallest outer size that allows a layout (just above 3000
// twips, which is still too small), less the frame of the moment.
void qx7100_1::hintMinimumSize()
{
    int outerWidth = pixelsX(kMinimumOuterTwips);
    while (!(twipsX(outerWidth) > kMinimumOuterTwips))
        ++outerWidth;
    int outerHeight = pixelsY(kMinimumOuterTwips);
    while (!(twipsY(outerHeight) > kMinimumOuterTwips))
        ++outerHeight;
    const QSize frame = frameGeometry().size() - size();
    const QSize minimum(outerWidth - frame.width(), outerHeight - frame.height());
    if (minimum != minimumSize())
        setMinimumSize(minimum);
}

void qx7100_1::start_1_Click()
{
    Start_Click();
}

void qx7100_1::Status_Click()
{
    About about(this);
    about.exec();
}

QLabel *qx7100_1::panel(const QString &key) const
{
    return sbrStatus->findChild<QLabel *>(key, Qt::FindDirectChildrenOnly);
}

void qx7100_1::insertInfo(const QString &text)
{
    // At the insertion point, replacing any selection: where the user last
    // clicked is where the message goes.
    Textinfo->insertPlainText(text);
}

void qx7100_1::warn(const QString &text)
{
    services_.messages->warning(this, text);
}

void qx7100_1::showJobDetails(const QString &details)
{
    static_cast<PanelStatusBar *>(sbrStatus)->setRightDetails(details);
}

void qx7100_1::showJob(const QString &text)
{
    static_cast<PanelStatusBar *>(sbrStatus)->setRightText(text);
    noteJobState();
    updateJobToolTip();
}

float qx7100_1::twipsX(int pixels) const
{
    return pixelsToTwips(pixels, logicalDpiX());
}
float qx7100_1::twipsY(int pixels) const
{
    return pixelsToTwips(pixels, logicalDpiY());
}
int qx7100_1::pixelsX(float twips) const
{
    return twipsToPixels(twips, logicalDpiX());
}
int qx7100_1::pixelsY(float twips) const
{
    return twipsToPixels(twips, logicalDpiY());
}
