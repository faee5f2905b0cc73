// The S-record command: names derived from the source, pane lines, the two
// arguments, the three warnings of a converter gone wrong and the converter's own warnings.

#include "convert/srec_output_path.h"
#include "window_fixture.h"

#include <QAction>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>

class TestConvertCommand : public QObject {
    Q_OBJECT

private slots:
    void outputPath_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("output");
        QTest::newRow("rec") << "/data/image.rec"
                             << "/data/image.bin";
        QTest::newRow("srec") << "/data/image.srec"
                              << "/data/image.bin";
        QTest::newRow("several dots") << "/data/image.old.srec"
                                      << "/data/image.bin";
        QTest::newRow("dot in a folder") << "/data/my.files/image.rec"
                                         << "/data/my.files/image.bin";
        QTest::newRow("upper case") << "/DATA/IMAGE.REC"
                                    << "/DATA/IMAGE.bin";
        QTest::newRow("no dot") << "/data/image"
                                << "/data/image.bin";
        QTest::newRow("blanks") << "/My Files/new image.rec"
                                << "/My Files/new image.bin";
        QTest::newRow("relative") << "image.rec"
                                  << "image.bin";
    }
    void outputPath()
    {
        QFETCH(QString, source);
        QFETCH(QString, output);
        QCOMPARE(binPathForSrec(source), output);
    }

    void convertStartsTheConverter()
    {
        WindowFixture f;
        f.convert(QStringLiteral("/My Files/image.old.srec"));

        QCOMPARE(f.doubles.fileDialog->filtersShown.last(), QStringList{"Files (*.rec,*.srec) (*.rec *.srec)"});
        QCOMPARE(f.info()->toPlainText(), QStringLiteral("Original srec file: /My Files/image.old.srec\n"
                                                         "Creation bin file: /My Files/image.bin\n"));
        QCOMPARE(f.doubles.processes->program, QStringLiteral("/opt/loader/srec2bin"));
        QCOMPARE(f.doubles.processes->arguments, (QStringList{"/My Files/image.old.srec", "/My Files/image.bin"}));
        // The image is not chosen for download by the conversion.
        QVERIFY(f.window->filename().isEmpty());
        QVERIFY(!f.start()->isEnabled());
        QVERIFY(f.doubles.messages->warnings.isEmpty());
    }

    void cancelAddsOnlyItsMessage()
    {
        WindowFixture f;
        f.action("convert")->trigger();
        f.action("convert")->trigger();
        QCOMPARE(f.info()->toPlainText(), QStringLiteral("No srec file selected!No srec file selected!"));
        QCOMPARE(f.doubles.processes->starts, 0);
    }

    void converterOutcomes_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("detail");
        QTest::addColumn<QString>("warning");
        using K = ProcessOutcome::Kind;
        QTest::newRow("not started") << int(K::NotStarted) << 0 << "No such file or directory"
                                     << "Cannot start the converter /opt/loader/srec2bin: No such file or directory";
        QTest::newRow("failed") << int(K::Failed) << 1 << "srec2bin: /d/a.rec:3: bad checksum"
                                << "The converter failed (exit code 1): srec2bin: /d/a.rec:3: bad checksum";
        QTest::newRow("crashed") << int(K::Crashed) << 9 << "Killed"
                                 << "The converter stopped unexpectedly: Killed";
        QTest::newRow("succeeded") << int(K::Succeeded) << 0 << ""
                                   << "";
        QTest::newRow("succeeded with a warning")
            << int(K::Succeeded) << 0 << "srec2bin: /d/a.rec: no end record (S7, S8 or S9): the file may be cut short"
            << "The converter warns: srec2bin: /d/a.rec: no end record (S7, S8 or S9): the file may be cut short";
    }
    void converterOutcomes()
    {
        QFETCH(int, kind);
        QFETCH(int, exitCode);
        QFETCH(QString, detail);
        QFETCH(QString, warning);
        WindowFixture f;
        f.convert(QStringLiteral("/d/a.rec"));
        QVERIFY(f.doubles.processes->finish);
        ProcessOutcome outcome;
        outcome.kind = ProcessOutcome::Kind(kind);
        outcome.exitCode = exitCode;
        outcome.detail = detail;
        f.doubles.processes->finish(outcome);
        QCOMPARE(f.doubles.messages->warnings, warning.isEmpty() ? QStringList() : QStringList{warning});
        // The pane lines were there before the converter's fate was known.
        QVERIFY(f.info()->toPlainText().startsWith("Original srec file: /d/a.rec"));
    }
};

QTEST_MAIN(TestConvertCommand)
#include "tst_convert_command.moc"
