#include "download/common_dialog.h"

#include <QFileDialog>
#include <QFileInfo>

namespace {

class QtFileDialog final : public FileDialogService {
public:
    QString getOpenFileName(QWidget *parent, const QStringList &nameFilters) override
    {
        QFileDialog dialog(parent);
        configureOpenDialog(dialog, nameFilters);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return QString();
        return dialog.selectedFiles().constFirst();
    }

    QString getSaveFileName(QWidget *parent, const QString &suggestedName, const QStringList &nameFilters) override;
};

}  // namespace

std::unique_ptr<FileDialogService> makeQtFileDialog()
{
    return std::make_unique<QtFileDialog>();
}

void configureOpenDialog(QFileDialog &dialog, const QStringList &nameFilters)
{
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    // Qt's own dialog matches name filters regardless of case (IMAGE.BIN is
    // listed under "*.bin"); a desktop's native dialog may not.
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setFilter(dialog.filter() & ~QDir::CaseSensitive);
    dialog.setNameFilters(nameFilters);
}

QStringList nameFiltersFromFilterText(const QString &filter)
{
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList result;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        const QString &description = parts.at(i);
        if (description.isEmpty())
            continue;
        QStringList patterns = parts.at(i + 1).split(QLatin1Char(';'), Qt::SkipEmptyParts);
        result << QStringLiteral("%1 (%2)").arg(description, patterns.join(QLatin1Char(' ')));
    }
    return result;
}

void CommonDialog::ShowOpen(QWidget *parent)
{
    const QString chosen = service_.getOpenFileName(parent, nameFiltersFromFilterText(Filter));
    if (!chosen.isEmpty())
        FileName = chosen;
}

QString QtFileDialog::getSaveFileName(QWidget *parent, const QString &suggestedName, const QStringList &nameFilters)
{
    QFileDialog dialog(parent);
    configureSaveDialog(dialog, suggestedName, nameFilters);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return QString();
    return dialog.selectedFiles().constFirst();
}

void configureSaveDialog(QFileDialog &dialog, const QString &suggestedName, const QStringList &nameFilters)
{
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setNameFilters(nameFilters);
    dialog.setDefaultSuffix(QFileInfo(suggestedName).suffix());
    dialog.selectFile(suggestedName);
}
