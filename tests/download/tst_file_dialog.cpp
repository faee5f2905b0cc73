// The real file dialog as the loader sets it up: the filter texts become the
// entries of its list, each shown as written and filtering on its patterns;
// upper-case names are listed as well as lower-case ones; each kind of file is
// looked for where the last one was chosen.

#include "download/common_dialog.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLineEdit>
#include <QTimer>
#include <QtTest>

namespace {

// The names a shown dialog lists in folder, once its model has read it.
QStringList listedNames(QFileDialog &dialog, const QString &folder)
{
    auto *model = dialog.findChild<QFileSystemModel *>();
    if (!model)
        return {};
    const QModelIndex root = model->index(folder);
    QStringList names;
    for (int row = 0; row < model->rowCount(root); ++row) {
        const QModelIndex index = model->index(row, 0, root);
        // A dialog may keep rejected names in its model, disabled.
        if (model->flags(index) & Qt::ItemIsEnabled)
            names << model->fileName(index);
    }
    names.sort();
    return names;
}

bool makeFiles(const QTemporaryDir &dir, const QStringList &names)
{
    for (const QString &name : names) {
        QFile f(dir.filePath(name));
        if (!f.open(QIODevice::WriteOnly))
            return false;
    }
    return true;
}

// Answers the next modal file dialog: records the folder it opened in, then
// chooses pick (an empty pick cancels). The choice is confirmed only once the
// dialog lists pick: before its model has read the folder the dialog refuses
// it, and the answer is tried again until the dialog takes it. A dialog
// that never lists pick is cancelled after a while, so the test fails instead
// of waiting for ever.
void answerNextDialog(const QString &pick, QString *openedIn)
{
    constexpr int kTickMs = 10;
    constexpr int kGiveUpMs = 20000;
    auto *timer = new QTimer;
    auto *waited = new QElapsedTimer;
    QObject::connect(timer, &QTimer::destroyed, [waited] { delete waited; });
    QObject::connect(timer, &QTimer::timeout, timer, [timer, waited, pick, openedIn] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog || !dialog->isVisible())
            return;
        const auto done = [timer] {
            timer->stop();
            timer->deleteLater();
        };
        if (!waited->isValid()) {
            waited->start();
            *openedIn = QDir(dialog->directory()).canonicalPath();
        }
        if (pick.isEmpty() || waited->elapsed() > kGiveUpMs) {
            dialog->reject();
            done();
            return;
        }
        // Choosing a path takes the dialog to its folder. There, once the
        // dialog lists the file, its name is typed in the name box, as a user
        // would (selectFile() leaves a name box that has the focus alone), and
        // the choice confirmed.
        const QFileInfo file(pick);
        if (QDir(dialog->directory()).canonicalPath() != QDir(file.absolutePath()).canonicalPath()) {
            dialog->selectFile(pick);
            return;
        }
        if (!listedNames(*dialog, file.absolutePath()).contains(file.fileName()))
            return;
        if (auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")))
            name->setText(file.fileName());
        else
            dialog->selectFile(pick);
        static_cast<QDialog *>(dialog)->accept();  // the file dialog's own check of the choice runs
        if (!dialog->isVisible())
            done();
    });
    timer->start(kTickMs);
}

}  // namespace

class TestFileDialog : public QObject {
    Q_OBJECT

private slots:
    void entriesAsWrittenWithTheirFiles_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("shown");
        QTest::addColumn<QList<QStringList>>("listed");  // for each entry in turn
        QTest::newRow("image") << "Files (*.bin)|*.bin|" << QStringList{"Files (*.bin)"}
                               << QList<QStringList>{{"IMAGE.BIN"}};
        QTest::newRow("S-records") << "Files (*.rec,*.srec)|*.rec;*.srec|" << QStringList{"Files (*.rec,*.srec)"}
                                   << QList<QStringList>{{"C.SREC", "a.rec", "b.srec"}};
        QTest::newRow("two entries") << "Images|*.bin|All|*.*|" << QStringList{"Images", "All"}
                                     << QList<QStringList>{{"IMAGE.BIN"},
                                                           {"C.SREC", "IMAGE.BIN", "a.rec", "b.srec", "notes.txt"}};
    }
    void entriesAsWrittenWithTheirFiles()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, shown);
        QFETCH(QList<QStringList>, listed);
        QTemporaryDir dir;
        QVERIFY(makeFiles(dir, {"a.rec", "b.srec", "C.SREC", "IMAGE.BIN", "notes.txt"}));

        QFileDialog dialog;
        configureOpenDialog(dialog, nameFiltersFromFilterText(text));
        dialog.setDirectory(dir.path());
        dialog.show();
        auto *list = dialog.findChild<QComboBox *>(QStringLiteral("fileTypeCombo"));
        QVERIFY(list);
        QStringList items;
        for (int i = 0; i < list->count(); ++i)
            items << list->itemText(i);
        QCOMPARE(items, shown);

        for (int entry = 0; entry < listed.size(); ++entry) {
            dialog.selectNameFilter(dialog.nameFilters().at(entry));
            QCOMPARE(list->currentIndex(), entry);
            QTRY_COMPARE(listedNames(dialog, dir.path()), listed.at(entry));
        }
        dialog.close();
    }

    void noEntries()
    {
        QCOMPARE(nameFiltersFromFilterText(QString()), QStringList());
        QCOMPARE(nameFiltersFromFilterText(QStringLiteral("|*.bin|")), QStringList());
    }

    void listsNamesRegardlessOfCase()
    {
        QTemporaryDir dir;
        QVERIFY(makeFiles(dir, {"image.bin", "IMAGE2.BIN", "Mixed.Bin", "notes.txt", "image.rec"}));
        QFileDialog dialog;
        configureOpenDialog(dialog, nameFiltersFromFilterText(QStringLiteral("Files (*.bin)|*.bin|")));
        dialog.setDirectory(dir.path());
        dialog.show();
        QTRY_COMPARE(listedNames(dialog, dir.path()), (QStringList{"IMAGE2.BIN", "Mixed.Bin", "image.bin"}));
        dialog.close();
    }

    // Within a run the image dialog opens where the last image was chosen, the
    // S-record dialog where the last S-record file was (not where the other
    // dialog was last used); a cancel changes neither.
    void eachDialogOpensInItsLastFolder()
    {
        QTemporaryDir images, records;
        QVERIFY(makeFiles(images, {"IMAGE.BIN"}));
        QVERIFY(makeFiles(records, {"a.rec"}));
        const QString imageFolder = QDir(images.path()).canonicalPath();
        const QString recordFolder = QDir(records.path()).canonicalPath();
        const QStringList imageFilters = nameFiltersFromFilterText(QStringLiteral("Files (*.bin)|*.bin|"));
        const QStringList recordFilters =
            nameFiltersFromFilterText(QStringLiteral("Files (*.rec,*.srec)|*.rec;*.srec|"));
        std::unique_ptr<FileDialogService> service = makeQtFileDialog();

        QString openedIn;
        answerNextDialog(images.filePath("IMAGE.BIN"), &openedIn);
        QCOMPARE(QFileInfo(service->getOpenFileName(nullptr, imageFilters)).canonicalFilePath(),
                 imageFolder + "/IMAGE.BIN");

        answerNextDialog(records.filePath("a.rec"), &openedIn);
        QCOMPARE(QFileInfo(service->getOpenFileName(nullptr, recordFilters)).canonicalFilePath(),
                 recordFolder + "/a.rec");

        answerNextDialog(QString(), &openedIn);
        QCOMPARE(service->getOpenFileName(nullptr, imageFilters), QString());
        QCOMPARE(openedIn, imageFolder);

        answerNextDialog(QString(), &openedIn);
        QCOMPARE(service->getOpenFileName(nullptr, recordFilters), QString());
        QCOMPARE(openedIn, recordFolder);

        answerNextDialog(QString(), &openedIn);
        service->getOpenFileName(nullptr, imageFilters);
        QCOMPARE(openedIn, imageFolder);
    }

    // The save dialog offers the suggested name and gives a name typed
    // without an extension the suggested one's.
    void saveDialogNames_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("chosen");
        QTest::newRow("suggested") << QString() << "qx7100-20261207-101500.log";
        QTest::newRow("no extension") << "bench3"
                                      << "bench3.log";
        QTest::newRow("own extension") << "bench3.txt"
                                       << "bench3.txt";
    }
    void saveDialogNames()
    {
        QFETCH(QString, typed);
        QFETCH(QString, chosen);
        QTemporaryDir dir;
        QFileDialog dialog;
        dialog.setDirectory(dir.path());
        configureSaveDialog(dialog, QStringLiteral("qx7100-20261207-101500.log"),
                            {QStringLiteral("Log files (*.log)")});
        QCOMPARE(dialog.acceptMode(), QFileDialog::AcceptSave);
        QCOMPARE(dialog.nameFilters(), QStringList{"Log files (*.log)"});
        dialog.show();
        if (!typed.isEmpty())
            dialog.selectFile(typed);
        QVERIFY(QMetaObject::invokeMethod(&dialog, "accept"));
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(dialog.selectedFiles(), QStringList{QDir(dir.path()).filePath(chosen)});
    }
};

QTEST_MAIN(TestFileDialog)
#include "tst_file_dialog.moc"
