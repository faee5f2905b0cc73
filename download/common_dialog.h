#pragma once
// The file-open dialog of the main window (CMDialog1): a file name written
// before and read after the dialog, a filter in the "desc|patterns|" syntax,
// and the Open operation. The dialog itself is a service so tests can script it.

#include <QString>
#include <QStringList>
#include <memory>

class QWidget;

class FileDialogService {
public:
    virtual ~FileDialogService() = default;
    // Shows a modal file-open dialog offering the given Qt name filters.
    // Returns the chosen file's full path, or an empty text when cancelled.
    // The real dialog opens where the last file chosen with the same filters
    // was, during this run.
    virtual QString getOpenFileName(QWidget *parent, const QStringList &nameFilters) = 0;
    // Shows a modal file-save dialog offering suggestedName and the given Qt
    // name filters; asks before replacing an existing file. Returns the chosen
    // full path, or an empty text when cancelled.
    // selectedFilter (when given) receives the name filter chosen last.
    virtual QString getSaveFileName(QWidget *parent, const QString &suggestedName, const QStringList &nameFilters,
                                    QString *selectedFilter = nullptr) = 0;
};

class QFileDialog;

// The real dialog, a QFileDialog.
std::unique_ptr<FileDialogService> makeQtFileDialog();

// Sets a QFileDialog up as the loader's file-open dialog: one existing file,
// the given name filters, matched regardless of letter case, each shown by its
// description alone ("Files (*.bin)" for "Files (*.bin) (*.bin)").
void configureOpenDialog(QFileDialog &dialog, const QStringList &nameFilters);

// Turns "desc|patterns|desc|patterns|" into Qt name filters such as
// "Files (*.rec,*.srec) (*.rec *.srec)": the description, then the patterns
// in the form Qt reads them. The dialog shows the description alone (the
// bare "Files (*.rec,*.srec)" would make Qt filter on the one pattern
// "*.rec,*.srec"). Patterns match regardless of case (the dialog is told so).
QStringList nameFiltersFromFilterText(const QString &filter);

// Sets a QFileDialog up as the loader's file-save dialog: suggestedName in the
// current folder, the given name filters, and a name typed without an
// extension given the suggested name's.
void configureSaveDialog(QFileDialog &dialog, const QString &suggestedName, const QStringList &nameFilters);

class CommonDialog {
public:
    explicit CommonDialog(FileDialogService &service) : service_(service) {}

    QString FileName;
    QString Filter;
    // The setting with member identifier 23. Qt's dialog has no counterpart:
    // kept so that the dialog sequence reads as designed, otherwise ignored.
    short Setting23 = 0;

    // Opens the dialog. On a confirmed choice FileName holds the path; on a
    // cancel FileName keeps the value it had before.
    void ShowOpen(QWidget *parent);

private:
    FileDialogService &service_;
};
