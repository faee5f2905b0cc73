// The real file dialog as the loader sets it up: the filter texts become Qt
// name filters, and upper-case names are listed as well as lower-case ones.

#include "download/common_dialog.h"

#include <QFileDialog>
#include <QFileSystemModel>
#include <QtTest>

class TestFileDialog : public QObject {
    Q_OBJECT

private slots:
    void filterTexts_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("filters");
        QTest::newRow("image") << "Files (*.bin)|*.bin|" << QStringList{"Files (*.bin) (*.bin)"};
        QTest::newRow("S-records") << "Files (*.rec,*.srec)|*.rec;*.srec|"
                                   << QStringList{"Files (*.rec,*.srec) (*.rec *.srec)"};
        QTest::newRow("two entries") << "Images|*.bin|All|*.*|" << QStringList{"Images (*.bin)", "All (*.*)"};
        QTest::newRow("empty") << "" << QStringList{};
    }
    void filterTexts()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, filters);
        QCOMPARE(nameFiltersFromFilterText(text), filters);
    }

    void listsNamesRegardlessOfCase()
    {
        QTemporaryDir dir;
        for (const char *name : {"image.bin", "IMAGE2.BIN", "Mixed.Bin", "notes.txt", "image.rec"}) {
            QFile f(dir.filePath(QString::fromLatin1(name)));
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        QFileDialog dialog;
        configureOpenDialog(dialog, nameFiltersFromFilterText(QStringLiteral("Files (*.bin)|*.bin|")));
        dialog.setDirectory(dir.path());
        dialog.show();
        auto *model = dialog.findChild<QFileSystemModel *>();
        QVERIFY(model);
        const QModelIndex root = model->index(dir.path());
        auto listed = [&] {
            QStringList names;
            for (int row = 0; row < model->rowCount(root); ++row) {
                const QModelIndex index = model->index(row, 0, root);
                // A dialog may keep rejected names in its model, disabled.
                if (model->flags(index) & Qt::ItemIsEnabled)
                    names << model->fileName(index);
            }
            return names;
        };
        QTRY_COMPARE(listed().size(), 3);
        QStringList shown = listed();
        shown.sort();
        QCOMPARE(shown, (QStringList{"IMAGE2.BIN", "Mixed.Bin", "image.bin"}));
        dialog.close();
    }

    // The save dialog offers the suggested name and gives a name typed
    // without an extension the suggested one's.
    void saveDialogNames_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("chosen");
        QTest::newRow("suggested") << QString() << "qx7100-20261207-101500.log";
        QTest::newRow("no extension") << "bench3" << "bench3.log";
        QTest::newRow("own extension") << "bench3.txt" << "bench3.txt";
    }
    void saveDialogNames()
    {
        QFETCH(QString, typed);
        QFETCH(QString, chosen);
        QTemporaryDir dir;
        QFileDialog dialog;
        dialog.setDirectory(dir.path());
        configureSaveDialog(dialog, QStringLiteral("qx7100-20261207-101500.log"), {QStringLiteral("Log files (*.log)")});
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
