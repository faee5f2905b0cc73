#include "download/common_dialog.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QHash>

namespace {

class QtFileDialog final : public FileDialogService {
public:
    QString getOpenFileName(QWidget *parent, const QStringList &nameFilters) override
    {
        QFileDialog dialog(parent);
        configureOpenDialog(dialog, nameFilters);
        // Each kind of file (the image, the S-record file) is looked for where
        // the last one of its kind was chosen during this run.
        const QString key = nameFilters.join(QLatin1Char('\n'));
        const auto last = lastFolders_.constFind(key);
        if (last != lastFolders_.constEnd())
            dialog.setDirectory(*last);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return QString();
        const QString chosen = dialog.selectedFiles().constFirst();
        lastFolders_.insert(key, QFileInfo(chosen).absolutePath());
        return chosen;
    }

    QString getSaveFileName(QWidget *parent, const QString &suggestedName, const QStringList &nameFilters,
                            QString *selectedFilter = nullptr) override;

private:
    QHash<QString, QString> lastFolders_;
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
    // The list shows each entry's description alone, as written: the patterns
    // that Qt needs after it stay out of sight.
    dialog.setOption(QFileDialog::HideNameFilterDetails, true);
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

QString QtFileDialog::getSaveFileName(QWidget *parent, const QString &suggestedName, const QStringList &nameFilters,
                                      QString *selectedFilter)
{
    QFileDialog dialog(parent);
    configureSaveDialog(dialog, suggestedName, nameFilters);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return QString();
    if (selectedFilter)
        *selectedFilter = dialog.selectedNameFilter();
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
