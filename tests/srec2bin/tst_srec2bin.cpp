#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

#include "srec_lines.h"

// The srec2bin program as the loader starts it: its images against objcopy's, every refusal with
// its exit status and message, and an existing output left untouched by every failed run.
class TestSrec2bin : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void accepted_data();
    void accepted();
    void refused_data();
    void refused();
    void usage_data();
    void usage();
    void outputIsInput_data();
    void outputIsInput();
    void ioErrors_data();
    void ioErrors();
    void permissions();
    void stderrWithoutReader();

private:
    struct Run {
        int code = -1;
        QProcess::ExitStatus status = QProcess::CrashExit;
        QByteArray out;
        QByteArray err;
    };
    Run run(const QStringList& arguments, bool brokenStderr = false) const;
    Run objcopy(const QStringList& arguments) const;
    QString path(const QString& name) const { return folder_ + "/" + name; }
    void write(const QString& name, const QByteArray& bytes) const;
    QByteArray read(const QString& name) const;
    // Names of the leftover temporary (hidden) files in the folder.
    QStringList hiddenFiles() const;

    QTemporaryDir temp_;
    QString folder_;
    QString objcopy_;
};

void TestSrec2bin::initTestCase()
{
    QVERIFY(temp_.isValid());
    // The loader hands over paths blanks and all.
    folder_ = temp_.path() + "/conversions with blanks";
    QVERIFY(QFileInfo(QStringLiteral(SREC2BIN_PATH)).isExecutable());
    objcopy_ = QStandardPaths::findExecutable("objcopy");
    if (objcopy_.isEmpty())
        QFAIL("objcopy not found: install the Debian package binutils");
}

void TestSrec2bin::init()
{
    QDir(folder_).removeRecursively();
    QVERIFY(QDir().mkpath(folder_));
}

TestSrec2bin::Run TestSrec2bin::run(const QStringList& arguments, bool brokenStderr) const
{
    QProcess process;
    process.setProgram(QStringLiteral(SREC2BIN_PATH));
    process.setArguments(arguments);
    int pipeEnds[2] = {-1, -1};
    if (brokenStderr) {
        // Standard error into a pipe nobody reads any more, as when the loader has gone.
        if (::pipe(pipeEnds) != 0)
            qFatal("pipe() failed");
        ::close(pipeEnds[0]);
        process.setChildProcessModifier([&pipeEnds] {
            ::dup2(pipeEnds[1], STDERR_FILENO);
            std::signal(SIGPIPE, SIG_DFL);
        });
    }
    process.start();
    Run result;
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    if (brokenStderr)
        ::close(pipeEnds[1]);
    result.code = process.exitCode();
    result.status = process.exitStatus();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

TestSrec2bin::Run TestSrec2bin::objcopy(const QStringList& arguments) const
{
    QProcess process;
    process.start(objcopy_, QStringList{"-I", "srec", "-O", "binary"} + arguments);
    Run result;
    if (process.waitForFinished(30000)) {
        result.code = process.exitCode();
        result.status = process.exitStatus();
        result.err = process.readAllStandardError();
    }
    return result;
}

void TestSrec2bin::write(const QString& name, const QByteArray& bytes) const
{
    QFile file(path(name));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray TestSrec2bin::read(const QString& name) const
{
    QFile file(path(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

QStringList TestSrec2bin::hiddenFiles() const
{
    QStringList hidden;
    for (const QString& name : QDir(folder_).entryList(QDir::Files | QDir::Hidden)) {
        if (name.startsWith('.'))
            hidden << name;
    }
    return hidden;
}

void TestSrec2bin::accepted_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArray>("image");  // as hex, gaps 0xFF

    const QByteArray twoRecords = s1(0, "0011") + s1(2, "2233");
    QByteArray lowerCase = s1(0, "ABCDEF");
    lowerCase = "S" + lowerCase.mid(1).toLower();
    QByteArray noLastLineEnd = twoRecords;
    noLastLineEnd.chop(1);
    QByteArray crLf = s0("hdr") + twoRecords + s9();
    crLf.replace("\n", "\r\n");
    const QByteArray longest(250, '\x5A');

    QTest::newRow("S1 with header and end") << s0("hdr") + twoRecords + s9() << QStringList() << QByteArray("00112233");
    QTest::newRow("S2 with S8 end") << s2(0x12345, "A1A2") + s2(0x12347, "A3") + s8() << QStringList()
                                    << QByteArray("a1a2a3");
    QTest::newRow("S3 with S7 end") << s3(0x80000000, "DEADBEEF") + s7(0x80000000) << QStringList()
                                    << QByteArray("deadbeef");
    QTest::newRow("S1 S2 S3 mixed") << s1(0, "AABB") + s2(4, "CC") + s3(6, "DD") + s9() << QStringList()
                                    << QByteArray("aabbffffccffdd");
    QTest::newRow("S5 record count") << twoRecords + s1(4, "44") + s5(3) + s9() << QStringList()
                                     << QByteArray("0011223344");
    QTest::newRow("S6 record count") << s2(0, "01") + s2(1, "02") + s6(2) + s8() << QStringList()
                                     << QByteArray("0102");
    QTest::newRow("lower case hex") << lowerCase << QStringList() << QByteArray("abcdef");
    QTest::newRow("CR LF line ends") << crLf << QStringList() << QByteArray("00112233");
    QTest::newRow("last line without line end") << noLastLineEnd << QStringList() << QByteArray("00112233");
    QTest::newRow("blank lines") << s1(0, "0011") + "\n\r\n" + s1(2, "2233") + s9() + "\n\n" << QStringList()
                                 << QByteArray("00112233");
    QTest::newRow("gap filled with 0xFF") << s1(0, "AA") + s1(5, "BB") << QStringList() << QByteArray("aaffffffffbb");
    QTest::newRow("image starts at lowest address") << s1(0x8000, "AABB") + s9() << QStringList()
                                                    << QByteArray("aabb");
    QTest::newRow("descending addresses") << s1(4, "44") + s1(2, "22") + s1(0, "00") << QStringList()
                                          << QByteArray("00ff22ff44");
    QTest::newRow("identical repeat") << s1(0, "AABBCC") + s1(1, "BB") << QStringList() << QByteArray("aabbcc");
    QTest::newRow("empty data record") << s1(0, "AABB") + s1(2, "") + s9() << QStringList() << QByteArray("aabb");
    QTest::newRow("no end record") << s1(0, "AA") << QStringList() << QByteArray("aa");
    QTest::newRow("S5 after the end record") << s1(0, "AA") + s9() + s5(1) << QStringList() << QByteArray("aa");
    QTest::newRow("last address 0xFFFFFFFF") << s3(0xFFFFFFFE, "EEFF") << QStringList() << QByteArray("eeff");
    QTest::newRow("longest record") << srecLine(3, 0, longest) + "\r\n" << QStringList() << longest.toHex();
    QTest::newRow("image exactly --max-size") << s1(0, "AA") + s1(3, "DD") << QStringList{"--max-size", "4"}
                                              << QByteArray("aaffffdd");
}

void TestSrec2bin::accepted()
{
    QFETCH(QByteArray, input);
    QFETCH(QStringList, options);
    QFETCH(QByteArray, image);
    write("in.srec", input);

    const Run ours = run(options + QStringList{path("in.srec"), path("out.bin")});
    QCOMPARE(ours.err, QByteArray());
    QCOMPARE(ours.status, QProcess::NormalExit);
    QCOMPARE(ours.code, 0);
    QCOMPARE(read("out.bin").toHex(), image);
    const Run zeroFilled = run(options + QStringList{"--fill", "0", path("in.srec"), path("zero.bin")});
    QCOMPARE(zeroFilled.code, 0);
    QCOMPARE(hiddenFiles(), QStringList());

    // objcopy fills gaps with 0x00 unless told otherwise.
    const Run reference = objcopy({"--gap-fill", "0xff", path("in.srec"), path("objcopy-ff.bin")});
    QVERIFY2(reference.code == 0, reference.err.constData());
    QCOMPARE(read("out.bin").toHex(), read("objcopy-ff.bin").toHex());
    QCOMPARE(objcopy({path("in.srec"), path("objcopy-00.bin")}).code, 0);
    QCOMPARE(read("zero.bin").toHex(), read("objcopy-00.bin").toHex());
}

void TestSrec2bin::refused_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("line");  // 0: the message names the file alone
    QTest::addColumn<QString>("message");

    const QByteArray good = s0("hdr") + s1(0, "AABB");  // two lines; faults below sit on line 3
    QTest::newRow("bad checksum") << good + "S1050002AABB94\n" << QStringList() << 3
                                  << "bad checksum (expected 0x93, found 0x94)";
    QTest::newRow("byte count above the line") << good + "S1060002AABB93\n" << QStringList() << 3
                                               << "byte count 0x06 does not match the line, which holds 5 bytes "
                                                  "after it";
    QTest::newRow("byte count below the line") << good + "S1040002AABB93\n" << QStringList() << 3
                                               << "byte count 0x04 does not match the line, which holds 5 bytes "
                                                  "after it";
    QTest::newRow("truncated last line") << good + "S1050002AA" << QStringList() << 3
                                         << "byte count 0x05 does not match the line, which holds 3 bytes after it";
    QTest::newRow("odd number of digits") << good + "S1050002AABB9\n" << QStringList() << 3
                                          << "odd number of hex digits (11)";
    QTest::newRow("non-hex digit") << good + "S1050002AXBB93\n" << QStringList() << 3
                                   << "non-hex character 'X' in column 10";
    QTest::newRow("trailing blank") << good + "S1050002AABB93 \n" << QStringList() << 3
                                    << "non-hex character ' ' in column 15";
    QTest::newRow("control character") << good + "S1050002AA\tB93\n" << QStringList() << 3
                                       << "non-hex character byte 0x09 in column 11";
    QTest::newRow("reserved S4") << good + "S4050002AABB93\n" << QStringList() << 3 << "reserved record type S4";
    QTest::newRow("unknown type") << good + "SX050002AABB93\n" << QStringList() << 3
                                  << "unknown record type: 'S' followed by 'X'";
    QTest::newRow("text line") << good + "hello\n" << QStringList() << 3
                               << "not an S-record: the line starts with 'h'";
    QTest::newRow("lone S") << good + "S\n" << QStringList() << 3 << "not an S-record: no record type after 'S'";
    QTest::newRow("no byte count") << good + "S1\n" << QStringList() << 3 << "record too short: S1 without byte count";
    QTest::newRow("byte count too small for S3") << good + "S3030000FC\n" << QStringList() << 3
                                                 << "byte count 0x03 too small for an S3 record (at least 0x05)";
    QTest::newRow("line too long") << good + "S1" + QByteArray(600, '0') + "\n" << QStringList() << 3
                                   << "line too long for a record (more than 514 characters)";
    QTest::newRow("binary file") << QByteArray("\x7f" "ELF\x02\x01\x01\0\0\0", 10) << QStringList() << 1
                                 << "not an S-record: the line starts with byte 0x7F";
    QTest::newRow("wrong record count") << good + s1(2, "CC") + s5(3) << QStringList() << 4
                                        << "record count 3 does not match the 2 data records before it";
    QTest::newRow("data after the end record") << good + s9() + s1(2, "CC") << QStringList() << 4
                                               << "data record after the end record of line 3";
    QTest::newRow("different data for one address") << good + s1(1, "CC") << QStringList() << 3
                                                    << "address 0x00000001 already holds 0xBB from an earlier record, "
                                                       "this record gives 0xCC";
    QTest::newRow("beyond 32 bits") << good + s3(0xFFFFFFFF, "AABB") << QStringList() << 3
                                    << "data from 0xFFFFFFFF runs past address 0xFFFFFFFF";
    QTest::newRow("no data records") << s0("hdr") + s9() << QStringList() << 0 << "no data records";
    QTest::newRow("empty file") << QByteArray() << QStringList() << 0 << "no data records";
    QTest::newRow("data records without bytes") << s1(0, "") + s9() << QStringList() << 0
                                                << "the data records hold no data bytes";
    QTest::newRow("stray record, default limit") << good + s3(0x10000000, "CC") << QStringList() << 3
                                                 << "image too large: 0x00000000 to 0x10000000 is 268435457 bytes, "
                                                    "more than the limit of 268435456 (--max-size)";
    QTest::newRow("stray record, own limit") << s3(0x2000, "CC") + s3(0x1000, "AA") << QStringList{"--max-size=4K"}
                                             << 2
                                             << "image too large: 0x00001000 to 0x00002000 is 4097 bytes, more than "
                                                "the limit of 4096 (--max-size)";
}

void TestSrec2bin::refused()
{
    QFETCH(QByteArray, input);
    QFETCH(QStringList, options);
    QFETCH(int, line);
    QFETCH(QString, message);
    write("in.srec", input);
    write("out.bin", "the previous image");

    const Run result = run(options + QStringList{path("in.srec"), path("out.bin")});
    QCOMPARE(result.status, QProcess::NormalExit);
    QCOMPARE(result.code, 1);
    const QString where = line == 0 ? path("in.srec") : path("in.srec") + ":" + QString::number(line);
    QCOMPARE(QString::fromUtf8(result.err), "srec2bin: " + where + ": " + message + "\n");
    QCOMPARE(read("out.bin"), QByteArray("the previous image"));
    QCOMPARE(hiddenFiles(), QStringList());
}

void TestSrec2bin::usage_data()
{
    QTest::addColumn<QStringList>("arguments");  // IN and OUT stand for the two paths
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("err");
    QTest::addColumn<QByteArray>("image");  // as hex; empty: no output file

    const QByteArray seeUsage = "\nUsage: srec2bin [OPTIONS] INPUT OUTPUT (see srec2bin --help)\n";
    QTest::newRow("no arguments") << QStringList() << 2 << QByteArray()
                                  << "srec2bin: expected INPUT and OUTPUT, got 0 path(s)" + seeUsage << QByteArray();
    QTest::newRow("one path") << QStringList{"IN"} << 2 << QByteArray()
                              << "srec2bin: expected INPUT and OUTPUT, got 1 path(s)" + seeUsage << QByteArray();
    QTest::newRow("three paths") << QStringList{"IN", "OUT", "OUT"} << 2 << QByteArray()
                                 << "srec2bin: expected INPUT and OUTPUT, got 3 path(s)" + seeUsage << QByteArray();
    QTest::newRow("unknown option") << QStringList{"--verbose", "IN", "OUT"} << 2 << QByteArray()
                                    << "srec2bin: unknown option '--verbose'" + seeUsage << QByteArray();
    QTest::newRow("fill above a byte") << QStringList{"--fill", "256", "IN", "OUT"} << 2 << QByteArray()
                                       << "srec2bin: --fill needs a byte value, 0x00 to 0xFF or 0 to 255, not '256'"
            + seeUsage << QByteArray();
    QTest::newRow("fill not a number") << QStringList{"--fill=0xZZ", "IN", "OUT"} << 2 << QByteArray()
                                       << "srec2bin: --fill needs a byte value, 0x00 to 0xFF or 0 to 255, not '0xZZ'"
            + seeUsage << QByteArray();
    QTest::newRow("fill without value") << QStringList{"IN", "OUT", "--fill"} << 2 << QByteArray()
                                        << "srec2bin: --fill needs a value" + seeUsage << QByteArray();
    QTest::newRow("max-size zero") << QStringList{"--max-size", "0", "IN", "OUT"} << 2 << QByteArray()
                                   << "srec2bin: --max-size needs a size from 1 byte to 4G, not '0'" + seeUsage
                                   << QByteArray();
    QTest::newRow("max-size above 4G") << QStringList{"--max-size", "5G", "IN", "OUT"} << 2 << QByteArray()
                                       << "srec2bin: --max-size needs a size from 1 byte to 4G, not '5G'" + seeUsage
                                       << QByteArray();
    QTest::newRow("help") << QStringList{"--help"} << 0 << QByteArray("Usage: srec2bin [OPTIONS] INPUT OUTPUT\n")
                          << QByteArray() << QByteArray();
    QTest::newRow("version") << QStringList{"--version", "IN", "OUT"} << 0 << QByteArray("srec2bin 1.00\n")
                             << QByteArray() << QByteArray();
    QTest::newRow("fill in decimal") << QStringList{"--fill=0", "IN", "OUT"} << 0 << QByteArray() << QByteArray()
                                     << QByteArray("aa00bb");
    QTest::newRow("fill in hex") << QStringList{"--fill", "0x5a", "IN", "OUT"} << 0 << QByteArray() << QByteArray()
                                 << QByteArray("aa5abb");
    QTest::newRow("options after the paths") << QStringList{"IN", "OUT", "--fill", "7"} << 0 << QByteArray()
                                             << QByteArray() << QByteArray("aa07bb");
    QTest::newRow("paths after --") << QStringList{"--", "IN", "OUT"} << 0 << QByteArray() << QByteArray()
                                    << QByteArray("aaffbb");
    QTest::newRow("max-size with suffix") << QStringList{"--max-size", "1K", "IN", "OUT"} << 0 << QByteArray()
                                          << QByteArray() << QByteArray("aaffbb");
    QTest::newRow("max-size too small") << QStringList{"--max-size", "0x2", "IN", "OUT"} << 1 << QByteArray()
                                        << QByteArray() << QByteArray();
}

void TestSrec2bin::usage()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, code);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);
    QFETCH(QByteArray, image);
    write("in.srec", s1(0, "AA") + s1(2, "BB") + s9());
    arguments.replaceInStrings(QRegularExpression("^IN$"), path("in.srec"));
    arguments.replaceInStrings(QRegularExpression("^OUT$"), path("out.bin"));

    const Run result = run(arguments);
    QCOMPARE(result.status, QProcess::NormalExit);
    QCOMPARE(result.code, code);
    if (code == 1)
        QVERIFY(result.err.startsWith("srec2bin: "));
    else
        QCOMPARE(result.err, err);
    if (arguments.contains("--help"))
        QVERIFY(result.out.startsWith(out));
    else
        QCOMPARE(result.out, out);
    if (image.isEmpty())
        QVERIFY(!QFile::exists(path("out.bin")));
    else
        QCOMPARE(read("out.bin").toHex(), image);
}

void TestSrec2bin::outputIsInput_data()
{
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("link");  // made to point at in.srec first: "symbolic" or "hard"

    QTest::newRow("same path") << "in.srec" << QString();
    QTest::newRow("dot in the path") << "./in.srec" << QString();
    QTest::newRow("through the parent folder") << "../conversions with blanks/in.srec" << QString();
    QTest::newRow("symbolic link") << "link.srec" << "symbolic";
    QTest::newRow("hard link") << "link.srec" << "hard";
}

void TestSrec2bin::outputIsInput()
{
    QFETCH(QString, output);
    QFETCH(QString, link);
    const QByteArray input = s1(0, "AABB") + s9();
    write("in.srec", input);
    if (link == "symbolic")
        QVERIFY(QFile::link(path("in.srec"), path("link.srec")));
    if (link == "hard")
        QCOMPARE(::link(QFile::encodeName(path("in.srec")).constData(), QFile::encodeName(path("link.srec")).constData()),
                 0);

    const Run result = run({path("in.srec"), path(output)});
    QCOMPARE(result.status, QProcess::NormalExit);
    QCOMPARE(result.code, 2);
    QCOMPARE(QString::fromUtf8(result.err),
             "srec2bin: " + path(output) + ": is the input file itself; the output must be another file\n");
    QCOMPARE(read("in.srec"), input);
    QCOMPARE(hiddenFiles(), QStringList());
}

void TestSrec2bin::ioErrors_data()
{
    QTest::addColumn<QString>("input");  // in the test folder; "." is the folder itself
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("message");  // after "srec2bin: "

    QTest::newRow("missing input") << "missing.srec" << "out.bin"
                                   << "%1/missing.srec: cannot open: No such file or directory";
    QTest::newRow("input is a folder") << "." << "out.bin" << "%1/.: cannot read: Is a directory";
    QTest::newRow("output folder missing") << "in.srec" << "no such folder/out.bin"
                                           << "%1/no such folder/out.bin: cannot create a temporary file beside it: "
                                              "No such file or directory";
    QTest::newRow("output is a folder") << "in.srec" << "." << "%1/.: Is a directory";
}

void TestSrec2bin::ioErrors()
{
    QFETCH(QString, input);
    QFETCH(QString, output);
    QFETCH(QString, message);
    write("in.srec", s1(0, "AABB"));

    const Run result = run({path(input), path(output)});
    QCOMPARE(result.status, QProcess::NormalExit);
    QCOMPARE(result.code, 3);
    QCOMPARE(QString::fromUtf8(result.err), "srec2bin: " + message.arg(folder_) + "\n");
    QCOMPARE(hiddenFiles(), QStringList());
}

void TestSrec2bin::permissions()
{
    // A replaced output keeps its permissions; a new one gets those of any new file (the temporary
    // file starts private to its owner).
    write("in.srec", s1(0, "AABB"));
    write("old.bin", "previous");
    QVERIFY(QFile::setPermissions(path("old.bin"), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    const mode_t previousMask = ::umask(022);
    const Run replaced = run({path("in.srec"), path("old.bin")});
    const Run created = run({path("in.srec"), path("new.bin")});
    ::umask(previousMask);
    QCOMPARE(replaced.code, 0);
    QCOMPARE(created.code, 0);
    struct stat info {};
    QCOMPARE(::stat(QFile::encodeName(path("old.bin")).constData(), &info), 0);
    QCOMPARE(info.st_mode & 0777, mode_t(0640));
    QCOMPARE(::stat(QFile::encodeName(path("new.bin")).constData(), &info), 0);
    QCOMPARE(info.st_mode & 0777, mode_t(0644));
}

void TestSrec2bin::stderrWithoutReader()
{
    // The loader may be gone while a conversion runs: writing the message must not kill the converter.
    write("in.srec", s1(0, "AABB") + "S1050002AABB94\n");
    write("out.bin", "the previous image");
    const Run result = run({path("in.srec"), path("out.bin")}, true);
    QCOMPARE(result.status, QProcess::NormalExit);
    QCOMPARE(result.code, 1);
    QCOMPARE(read("out.bin"), QByteArray("the previous image"));
    QCOMPARE(hiddenFiles(), QStringList());
}

QTEST_GUILESS_MAIN(TestSrec2bin)
#include "tst_srec2bin.moc"
