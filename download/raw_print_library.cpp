#include "download/raw_print_library.h"

#include "binprn32/binprn32.h"

#include <QFile>
#include <QFileInfo>
#include <QLibrary>

#include <dlfcn.h>

namespace {

// The library's functions, typed from its own header, so that a change of
// signature there fails to compile here instead of calling with the wrong types.
using GetDefPrinterNameFn = decltype(&vbGetDefPrinterName);
using SendPrnToDefPrinterFn = decltype(&vbSendPrnToDefPrinter);
using SendPrnToDefPrinterJobFn = decltype(&vbSendPrnToDefPrinterJob);
using SendPrnToDefPrinterJob2Fn = decltype(&vbSendPrnToDefPrinterJob2);

// Why the dynamic loader refuses the file, in its own words without the path it
// starts them with ("PATH: invalid ELF header").
QString loaderReason(const QString &path)
{
    const QByteArray file = QFile::encodeName(path);
    void *handle = ::dlopen(file.constData(), RTLD_LAZY | RTLD_LOCAL);
    if (handle) {
        ::dlclose(handle);
        return QStringLiteral("the file cannot be loaded");
    }
    QString reason = QString::fromLocal8Bit(::dlerror());
    const QString prefix = path + QStringLiteral(": ");
    if (reason.startsWith(prefix))
        reason.remove(0, prefix.size());
    return reason;
}

class LoadedRawPrintLibrary final : public RawPrintLibrary {
public:
    explicit LoadedRawPrintLibrary(const QString &path) : path_(path) {}

    RawPrintCall getDefPrinterName(const QByteArray &name) override
    {
        RawPrintCall call;
        if (!resolve("vbGetDefPrinterName", getName_, call))
            return call;
        // The library receives a writable copy of the text with its terminating
        // zero, as by-value text arguments are handed over: nothing it writes
        // comes back.
        QByteArray buffer(name.constData(), name.size() + 1);
        call.called = true;
        call.result = reinterpret_cast<GetDefPrinterNameFn>(getName_)(buffer.data());
        return call;
    }

    RawPrintCall sendPrnToDefPrinter(const QByteArray &path) override
    {
        RawPrintCall call;
        if (!resolve("vbSendPrnToDefPrinter", send_, call))
            return call;
        if (!jobLookedUp_) {
            // Optional: a library without them sends all the same, and no job is followed.
            sendJob2_ = library_->resolve("vbSendPrnToDefPrinterJob2");
            sendJob_ = library_->resolve("vbSendPrnToDefPrinterJob");
            jobLookedUp_ = true;
        }
        call.called = true;
        if (sendJob2_) {
            int32_t job = 0;
            int64_t bytes = 0;
            call.result = reinterpret_cast<SendPrnToDefPrinterJob2Fn>(sendJob2_)(path.constData(), &job, &bytes);
            call.jobId = call.result == 0 ? job : 0;
            call.bytesSent = call.result == 0 ? qint64(bytes) : -1;
        } else if (sendJob_) {
            int32_t job = 0;
            call.result = reinterpret_cast<SendPrnToDefPrinterJobFn>(sendJob_)(path.constData(), &job);
            call.jobId = call.result == 0 ? job : 0;
        } else {
            call.result = reinterpret_cast<SendPrnToDefPrinterFn>(send_)(path.constData());
        }
        return call;
    }

private:
    // Loads the library on the first need and looks the function up once. A
    // QLibrary keeps the failure of its first load for good: each attempt has a
    // new one, until one succeeds.
    bool resolve(const char *name, QFunctionPointer &entry, RawPrintCall &call)
    {
        if (entry)
            return true;
        if (!library_) {
            if (!QFileInfo::exists(path_)) {
                call.error = QStringLiteral("Cannot load the printing library %1: the file is missing").arg(path_);
                return false;
            }
            auto library = std::make_unique<QLibrary>();
            // The exact file, with no other names tried (Qt would otherwise try
            // "lib" prefixes and suffixes, and report the last name it tried).
            library->setFileNameAndVersion(path_, QString());
            if (!library->load()) {
                call.error = QStringLiteral("Cannot load the printing library %1: %2").arg(path_, loaderReason(path_));
                return false;
            }
            library_ = std::move(library);
        }
        entry = library_->resolve(name);
        if (!entry) {
            call.error =
                QStringLiteral("The printing library %1 has no function %2.").arg(path_, QString::fromLatin1(name));
            return false;
        }
        return true;
    }

    QString path_;
    std::unique_ptr<QLibrary> library_;
    QFunctionPointer getName_ = nullptr;
    QFunctionPointer send_ = nullptr;
    QFunctionPointer sendJob_ = nullptr;
    QFunctionPointer sendJob2_ = nullptr;
    bool jobLookedUp_ = false;
};

}  // namespace

std::unique_ptr<RawPrintLibrary> makeRawPrintLibrary(const QString &libraryPath)
{
    return std::make_unique<LoadedRawPrintLibrary>(libraryPath);
}
