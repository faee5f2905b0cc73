#include "spy/spy_record.h"
#include "spy/spy_log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

const QString kLineEnd = QStringLiteral("\r\n");

// A short attribute of a device under /sys, made safe; empty when absent.
QString sysAttribute(const QString &folder, const char *name)
{
    QFile file(folder + QLatin1Char('/') + QLatin1String(name));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return visibleText(QString::fromUtf8(file.read(256)).trimmed(), 80);
}

}  // namespace

QString describeSerialDevice(const QString &path, const SerialRoots &roots)
{
    const QFileInfo info(path);
    const QString device = info.canonicalFilePath();
    if (device.isEmpty())
        return QStringLiteral("nothing: %1 is not there").arg(visibleText(path));
    const QString name = QFileInfo(device).fileName();
    const QString shown = visibleText(device);
    if (QFileInfo(device).absolutePath().endsWith(QLatin1String("/pts")))
        return QStringLiteral("pseudo-terminal %1").arg(shown);

    const QString tty = roots.sys + QStringLiteral("/class/tty/") + name;
    const QString hardware = QFileInfo(tty + QStringLiteral("/device")).canonicalFilePath();
    if (hardware.isEmpty())
        return QStringLiteral("serial device %1").arg(shown);
    // A USB adapter: the USB device (with its vendor and product numbers) is
    // the interface's parent folder, or one further up.
    QDir up(hardware);
    for (int depth = 0; depth < 4 && up.cdUp(); ++depth) {
        const QString folder = up.absolutePath();
        const QString vendor = sysAttribute(folder, "idVendor");
        const QString product = sysAttribute(folder, "idProduct");
        if (vendor.isEmpty() || product.isEmpty())
            continue;
        QStringList words;
        for (const char *attribute : {"manufacturer", "product"}) {
            const QString word = sysAttribute(folder, attribute);
            if (!word.isEmpty())
                words << word;
        }
        const QString serial = sysAttribute(folder, "serial");
        if (!serial.isEmpty())
            words << QStringLiteral("serial ") + serial;
        QString described = QStringLiteral("USB serial adapter %1:%2").arg(vendor, product);
        if (!words.isEmpty())
            described += QStringLiteral(" (%1)").arg(words.join(QStringLiteral(", ")));
        return described + QStringLiteral(", ") + shown;
    }
    if (QFileInfo::exists(tty + QStringLiteral("/type")))
        return hardware.contains(QLatin1String("/pci")) && !hardware.contains(QLatin1String("/serial8250"))
                       && !hardware.contains(QLatin1String("/pnp"))
                   ? QStringLiteral("serial card %1").arg(shown)
                   : QStringLiteral("built-in serial port %1").arg(shown);
    return QStringLiteral("serial device %1").arg(shown);
}

QString imageSummary(const SentImage &image)
{
    QString summary = image.size >= 0 ? QStringLiteral("%1 bytes").arg(image.size) : QStringLiteral("size unknown");
    if (!image.sha256.isEmpty())
        summary += QStringLiteral(", SHA-256 ") + image.sha256;
    else if (!image.hashError.isEmpty())
        summary += QStringLiteral(", SHA-256 unknown (%1)").arg(visibleText(image.hashError));
    else
        summary += QStringLiteral(", SHA-256 being computed");
    return summary;
}

QString spyRecordHeader(const SpyRecordHeader &header)
{
    QString out;
    auto line = [&out](const QString &text) { out += text + kLineEnd; };
    line(QStringLiteral("Spy log of %1").arg(visibleText(header.program)));
    line(QStringLiteral("Saved: ") + isoTimeWithOffset(header.savedAt, false));
    if (header.port.isEmpty()) {
        line(QStringLiteral("Port: none chosen"));
    } else {
        line(QStringLiteral("Port: %1 (%2), %3")
                 .arg(header.port, visibleText(header.device),
                      header.portOpen ? QStringLiteral("open") : QStringLiteral("closed")));
        line(QStringLiteral("Behind it: ") + header.behind);
    }
    if (header.images.isEmpty())
        line(QStringLiteral("Images sent: none"));
    for (qsizetype i = 0; i < header.images.size(); ++i) {
        const SentImage &image = header.images[i];
        line(QStringLiteral("Image %1: %2").arg(i + 1).arg(visibleText(image.path, 1000)));
        line(QStringLiteral("  ") + imageSummary(image));
        const QString job = image.jobId > 0 ? QStringLiteral("job %1").arg(image.jobId) : QStringLiteral("no job");
        line(QStringLiteral("  %1: %2")
                 .arg(job, image.outcome.isEmpty() ? QStringLiteral("state unknown") : visibleText(image.outcome)));
    }
    line(QLatin1String(kSpyRecordTextStart));
    return out;
}
