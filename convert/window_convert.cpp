// The main window's S-record command: derive the image name, report both
// names, start the converter without waiting for it, and report its fate and
// its warnings once it has ended.

#include "common/shown_text.h"
#include "convert/srec_output_path.h"
#include "shell/qx7100_1.h"

void qx7100_1::convert_Click()
{
    const QString source = chooseFile(QStringLiteral("Files (*.rec,*.srec)|*.rec;*.srec|"));
    if (source.isEmpty()) {
        insertInfo(QStringLiteral("No srec file selected!"));
        return;
    }
    const QString output = binPathForSrec(source);
    insertInfo(QStringLiteral("Original srec file: ") + source + QStringLiteral("\r\n"));
    insertInfo(QStringLiteral("Creation bin file: ") + output + QStringLiteral("\r\n"));

    const QString converter = services_.converterPath;
    services_.processes->start(converter, {source, output}, this, [this, converter](const ProcessOutcome &outcome) {
        switch (outcome.kind) {
        case ProcessOutcome::Kind::NotStarted:
            warn(QStringLiteral("Cannot start the converter %1: %2")
                     .arg(shownText(converter), shownText(outcome.detail)));
            break;
        case ProcessOutcome::Kind::Failed:
            warn(QStringLiteral("The converter failed (exit code %1): %2")
                     .arg(QString::number(outcome.exitCode), shownText(outcome.detail)));
            break;
        case ProcessOutcome::Kind::Crashed:
            warn(QStringLiteral("The converter stopped unexpectedly: %1").arg(shownText(outcome.detail)));
            break;
        case ProcessOutcome::Kind::Succeeded:
            if (!outcome.detail.isEmpty())
                warn(QStringLiteral("The converter warns: %1").arg(shownText(outcome.detail)));
            break;
        }
    });
}
