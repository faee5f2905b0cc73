#include "spy/mscomm.h"

#include "common/write_all.h"

#include <QMetaObject>
#include <QSocketNotifier>
#include <cerrno>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// Line speed in bits per second; the rest of the line is 8 data bits, no
// parity, 1 stop bit and no flow control (the modem lines are left alone).
constexpr qint32 kBaudRate = 38400;
// A pseudo-terminal hands over at most 4095 bytes per read, a serial driver
// its whole queue: one chunk covers either.
constexpr qsizetype kReadChunk = 64 * 1024;
// Read errors in a row without a sign of failure after which the device is
// taken as failed anyway (otherwise it could report them without end).
constexpr int kMaxSpuriousErrors = 64;
// Size of the one read that tells a failed device from an empty notification;
// whatever it brings is kept.
constexpr size_t kProbeSize = 4096;
// poll() timeout of the hang-up check: look, do not wait.
constexpr int kPollNoWait = 0;
// The error of a write that took no byte and set no errno.
constexpr int kNoProgressErrno = EIO;

// The driver's error counters, in the order of MSComm::LineError.
bool readLineCounts(int fd, int (&counts)[MSComm::LineErrorKinds])
{
    serial_icounter_struct icount{};
    if (::ioctl(fd, TIOCGICOUNT, &icount) != 0)
        return false;
    counts[MSComm::BreakErrors] = icount.brk;
    counts[MSComm::FramingErrors] = icount.frame;
    counts[MSComm::OverrunErrors] = icount.overrun;
    counts[MSComm::RxOverErrors] = icount.buf_overrun;
    counts[MSComm::ParityErrors] = icount.parity;
    return true;
}

// The event each count raises, in the order of MSComm::LineError.
constexpr int16_t kLineEvents[MSComm::LineErrorKinds] = {
    MSComm::comEventBreak,  MSComm::comEventFrame,    MSComm::comEventOverrun,
    MSComm::comEventRxOver, MSComm::comEventRxParity,
};

}  // namespace

QString MSComm::defaultDevice(int portNumber)
{
    return comPortDevice(portNumber);
}

MSComm::MSComm(PortResolver resolver, QObject *parent)
    : QObject(parent), resolver_(std::move(resolver)), port_(new QSerialPort(this)), lineCounter_(readLineCounts)
{
    connect(port_, &QSerialPort::readyRead, this, &MSComm::onReadyRead);
    connect(port_, &QSerialPort::errorOccurred, this, &MSComm::onError);
}

MSComm::~MSComm()
{
    open_ = false;
    closePort();
}

bool MSComm::setCommPort(int16_t portNumber)
{
    if (open_) {
        error_ = tr("the port number cannot change while the port is open");
        return false;
    }
    commPort_ = portNumber;
    return true;
}

QString MSComm::devicePath() const
{
    return resolver_ ? resolver_(commPort_) : QString();
}

void MSComm::setSystem(const SerialRoots &roots, std::function<UartKind(int)> uartOf)
{
    roots_ = roots;
    uartOf_ = std::move(uartOf);
}

bool MSComm::setPortOpen(bool open, QString *reason)
{
    if (!open) {
        open_ = false;
        ++session_;
        closePort();
        return true;
    }
    if (open_)
        return true;
    closePort();

    const QString path = devicePath();
    bool opened = false;
    if (path.isEmpty()) {
        error_ = noDeviceForPort(commPort_);
    } else {
        // Only the line settings are set: a pseudo-terminal refuses the modem
        // lines (DTR, RTS) with "Inappropriate ioctl for device", and nothing
        // here needs them.
        port_->setPortName(path);
        port_->setBaudRate(kBaudRate);
        port_->setDataBits(QSerialPort::Data8);
        port_->setParity(QSerialPort::NoParity);
        port_->setStopBits(QSerialPort::OneStop);
        port_->setFlowControl(QSerialPort::NoFlowControl);
        opened = port_->open(QIODevice::ReadWrite);
        if (!opened) {
            error_ = describeOpenFailure({commPort_, path, port_->errorString(), false}, roots_);
        } else if ((uartOf_ ? uartOf_(int(port_->handle())) : kernelUart(int(port_->handle()), roots_.sys))
                   == UartKind::None) {
            // A built-in port that the kernel lists without a UART opens, but
            // nothing would ever arrive on it.
            port_->close();
            opened = false;
            error_ = describeOpenFailure({commPort_, path, QString(), true}, roots_);
        }
    }
    if (!opened) {
        port_->clearError();
        if (reason)
            *reason = error_;
        return false;
    }
    if (!startHangUpWatch()) {
        error_ = qt_error_string(errno);
        closePort();
        if (reason)
            *reason = error_;
        return false;
    }
    // The port's own buffer stops reading at this size until input() takes
    // bytes, so a window that cannot keep up holds back the device instead of
    // growing without end.
    port_->setReadBufferSize(InputCap);
    port_->clearError();
    lineCounts_ = lineCounter_(int(port_->handle()), lineCount_);
    pending_.clear();
    spuriousErrors_ = 0;
    commEvent_ = 0;
    ++session_;
    open_ = true;
    return true;
}

QString MSComm::settings() const
{
    return QStringLiteral("38400,n,8,1");
}

// Bytes go straight to the device so that a failure is known at once; only
// when the driver's queue is full does the port queue the rest and send it
// from the event loop.
bool MSComm::output(const QByteArray &bytes, QString *reason)
{
    if (!open_) {
        error_ = tr("the port is not open");
        if (reason)
            *reason = error_;
        return false;
    }
    qsizetype sent = 0;
    if (port_->bytesToWrite() == 0) {
        size_t written = 0;
        const int error =
            writeAll(int(port_->handle()), bytes.constData(), size_t(bytes.size()), &written, kNoProgressErrno);
        sent = qsizetype(written);
        if (error != 0 && error != EAGAIN && error != EWOULDBLOCK) {
            failOutput(qt_error_string(error));
            if (reason)
                *reason = error_;
            return false;
        }
    }
    if (sent < bytes.size() && port_->write(bytes.constData() + sent, bytes.size() - sent) < 0) {
        failOutput(port_->errorString());
        if (reason)
            *reason = error_;
        return false;
    }
    return true;
}

QByteArray MSComm::input()
{
    if (!open_)
        return QByteArray();
    QByteArray bytes;
    if (pending_.size() <= InputCap) {
        bytes.swap(pending_);
    } else {
        bytes = pending_.left(InputCap);
        pending_.remove(0, InputCap);
    }
    const qsizetype room = qMin<qsizetype>(InputCap - bytes.size(), port_->bytesAvailable());
    if (room > 0)
        bytes += port_->read(room);
    if (!pending_.isEmpty() || port_->bytesAvailable() > 0)
        scheduleReceive();
    rearmHangUpWatch();
    return bytes;
}

void MSComm::raiseEvent(int16_t code)
{
    commEvent_ = code;
    emit OnComm();
}

// Runs inside the port's read notification, which has just read one chunk.
// The rest is read here, until the device has nothing more: a flood then comes
// in blocks as large as the device holds instead of one event per chunk. Only
// here is the device read directly; reading it elsewhere (from a posted event)
// could leave the port's notification to find it empty and take that for an
// error.
void MSComm::onReadyRead()
{
    if (!open_)
        return;
    spuriousErrors_ = 0;
    rearmHangUpWatch();
    if (pending_.size() < InputCap) {
        pending_ += port_->readAll();
        if (!drainDevice())
            return;
    }
    scheduleReceive();
    checkLineErrors();
}

// Qt reports no line errors; the serial driver counts them. Each count that
// grew since the last look raises its event once, after the bytes it came with.
void MSComm::checkLineErrors()
{
    int now[LineErrorKinds];
    if (!lineCounts_ || !lineCounter_(int(port_->handle()), now))
        return;
    for (int i = 0; i < LineErrorKinds; ++i) {
        if (now[i] == lineCount_[i])
            continue;
        lineCount_[i] = now[i];
        const quint64 session = session_;
        const int16_t code = kLineEvents[i];
        QMetaObject::invokeMethod(
            this,
            [this, session, code] {
                if (open_ && session_ == session)
                    raiseEvent(code);
            },
            Qt::QueuedConnection);
    }
}

// Appends what the device holds to pending_, up to InputCap. False when the
// device failed (the failure is then reported).
bool MSComm::drainDevice()
{
    const int fd = int(port_->handle());
    while (pending_.size() < InputCap) {
        const qsizetype start = pending_.size();
        pending_.resize(start + qMin(kReadChunk, InputCap - start));
        const ssize_t n = ::read(fd, pending_.data() + start, size_t(pending_.size() - start));
        const int readError = errno;
        pending_.resize(start + qMax<qsizetype>(n, 0));
        if (n > 0)
            continue;
        if (n < 0 && readError == EINTR)
            continue;
        // A serial line in raw mode reads 0 bytes when it has nothing waiting.
        if (n == 0 || readError == EAGAIN || readError == EWOULDBLOCK)
            return true;
        fail(qt_error_string(readError));
        return false;
    }
    return true;
}

void MSComm::scheduleReceive()
{
    if (receivePosted_)
        return;
    receivePosted_ = true;
    QMetaObject::invokeMethod(this, &MSComm::deliverReceive, Qt::QueuedConnection);
}

// OnComm for received bytes comes from the event loop, never from inside the
// port's own signal: a handler that opens a modal box then still sees later
// arrivals, and may close or reopen the port.
void MSComm::deliverReceive()
{
    receivePosted_ = false;
    if (!open_ || (pending_.isEmpty() && port_->bytesAvailable() == 0))
        return;
    commEvent_ = comEvReceive;
    emit OnComm();
}

bool MSComm::deviceHungUp() const
{
    pollfd p{int(port_->handle()), POLLIN, 0};
    return ::poll(&p, 1, kPollNoWait) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

// A device that hangs up (the far end of a pseudo-terminal closed, a USB
// adapter pulled out) reads as end of file, and whether the port reports that
// as an error depends on the Qt release: some take a read of 0 bytes for "no
// data" and stay silent while the descriptor keeps signalling. So the device
// is watched here on a descriptor of its own (a duplicate: one notifier per
// descriptor), whatever the port makes of it.
bool MSComm::startHangUpWatch()
{
    watchFd_ = ::fcntl(int(port_->handle()), F_DUPFD_CLOEXEC, 0);
    if (watchFd_ < 0)
        return false;
    hangUpWatch_ = new QSocketNotifier(watchFd_, QSocketNotifier::Read, this);
    connect(hangUpWatch_, &QSocketNotifier::activated, this, &MSComm::onDeviceReadable);
    return true;
}

// The watch wakes for waiting bytes as well as for a hang-up. Waiting bytes
// are the port's to read (and the bytes a device sent before hanging up are
// delivered before its failure): the watch sleeps until the port has read
// (onReadyRead) or input() has made room, so that bytes held back by a full
// buffer do not wake it without end.
void MSComm::onDeviceReadable()
{
    if (!open_)
        return;
    int waiting = 0;
    const bool bytesWaiting = ::ioctl(watchFd_, FIONREAD, &waiting) == 0 && waiting > 0;
    if (!bytesWaiting && deviceHungUp()) {
        disconnected();
        return;
    }
    hangUpWatch_->setEnabled(false);
}

void MSComm::rearmHangUpWatch()
{
    if (hangUpWatch_ && open_)
        hangUpWatch_->setEnabled(true);
}

// A device that has hung up refuses bytes too: that is its going away, not a
// failure of the write.
void MSComm::failOutput(const QString &words)
{
    if (deviceHungUp())
        disconnected();
    else
        fail(words);
}

void MSComm::disconnected()
{
    fail(tr("the device was disconnected"), Cause::Disconnected);
}

// The port reports a read error both when the device failed and when its
// notification found nothing to read; and it reports it again on every turn of
// the event loop while the condition lasts. The device itself decides which.
void MSComm::onError(QSerialPort::SerialPortError error)
{
    if (!open_ || error == QSerialPort::NoError || error == QSerialPort::TimeoutError)
        return;
    if (error != QSerialPort::ReadError && error != QSerialPort::ResourceError && error != QSerialPort::WriteError) {
        port_->clearError();
        return;
    }
    if (deviceHungUp()) {
        disconnected();
        return;
    }
    if (error == QSerialPort::WriteError) {
        fail(port_->errorString());
        return;
    }
    char probe[kProbeSize];
    ssize_t n;
    do {
        n = ::read(int(port_->handle()), probe, sizeof probe);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        fail(qt_error_string(errno));
        return;
    }
    if (++spuriousErrors_ > kMaxSpuriousErrors) {
        fail(port_->errorString());
        return;
    }
    if (n > 0) {
        pending_ += port_->readAll();
        pending_.append(probe, n);
        spuriousErrors_ = 0;
        scheduleReceive();
    }
    port_->clearError();
    // A resource error has turned the port's reading off; this turns it back on.
    port_->setReadBufferSize(InputCap);
    rearmHangUpWatch();
}

// The port is closed from the event loop: the failure may have been found
// inside the port's own notification, where closing it would delete the
// notifier that is running.
void MSComm::fail(const QString &reason, Cause cause)
{
    if (!open_)
        return;
    open_ = false;
    error_ = reason;
    if (hangUpWatch_)
        hangUpWatch_->setEnabled(false);
    const quint64 failed = session_;
    QMetaObject::invokeMethod(
        this,
        [this, failed, reason, cause] {
            // A port closed or opened since belongs to another session: its
            // state is the window's, and this failure is no longer its news.
            if (session_ != failed)
                return;
            closePort();
            if (cause == Cause::Disconnected)
                emit deviceDisconnected();
            emit portFailed(reason);
        },
        Qt::QueuedConnection);
}

void MSComm::closePort()
{
    // The watch may be the sender of the signal being handled: it goes from
    // the event loop, and its descriptor once it no longer watches it.
    if (hangUpWatch_) {
        hangUpWatch_->setEnabled(false);
        hangUpWatch_->deleteLater();
        hangUpWatch_ = nullptr;
    }
    if (watchFd_ >= 0) {
        ::close(watchFd_);
        watchFd_ = -1;
    }
    pending_.clear();
    if (port_->isOpen())
        port_->close();
    port_->clearError();
}
