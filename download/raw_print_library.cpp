#include "download/raw_print_library.h"

#include <QLibrary>

namespace {

using GetDefPrinterNameFn = int32_t (*)(char *);
using SendPrnToDefPrinterFn = int16_t (*)(const char *);

class LoadedRawPrintLibrary final : public RawPrintLibrary {
public:
    explicit LoadedRawPrintLibrary(const QString &path) : library_(path) {}

    RawPrintCall getDefPrinterName(const QByteArray &name) override
    {
        RawPrintCall call;
        if (!resolve("vbGetDefPrinterName", getName_, call))
            return call;
        // The library receives a writable copy of the text, as by-value text
        // arguments are handed over: nothing it writes comes back.
        QByteArray buffer = name;
        call.called = true;
        call.result = reinterpret_cast<GetDefPrinterNameFn>(getName_)(buffer.data());
        return call;
    }

    RawPrintCall sendPrnToDefPrinter(const QByteArray &path) override
    {
        RawPrintCall call;
        if (!resolve("vbSendPrnToDefPrinter", send_, call))
            return call;
        call.called = true;
        call.result = reinterpret_cast<SendPrnToDefPrinterFn>(send_)(path.constData());
        return call;
    }

private:
    // Loads the library on the first need and looks the function up once.
    bool resolve(const char *name, QFunctionPointer &entry, RawPrintCall &call)
    {
        if (entry)
            return true;
        if (!library_.isLoaded() && !library_.load()) {
            call.error = QStringLiteral("Cannot load the printing library %1: %2")
                             .arg(library_.fileName(), library_.errorString());
            return false;
        }
        entry = library_.resolve(name);
        if (!entry) {
            call.error = QStringLiteral("The printing library %1 has no function %2.")
                             .arg(library_.fileName(), QString::fromLatin1(name));
            return false;
        }
        return true;
    }

    QLibrary library_;
    QFunctionPointer getName_ = nullptr;
    QFunctionPointer send_ = nullptr;
};

}  // namespace

std::unique_ptr<RawPrintLibrary> makeRawPrintLibrary(const QString &libraryPath)
{
    return std::make_unique<LoadedRawPrintLibrary>(libraryPath);
}
