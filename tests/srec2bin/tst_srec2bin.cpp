#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "converter.h"
#include "srec_lines.h"

// The srec2bin program as the loader starts it: its images against objcopy's, every refusal with
// its exit status and message, and an existing output left untouched by every failed run or signal.
// Outputs that are no plain files (devices, FIFOs, standard output) are written in place; links keep
// their link. The cases as an ordinary user run srec2bin as nobody (setpriv), never as root on /dev.
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
    void noEndRecord_data();
    void noEndRecord();
    void standardOutputFailing_data();
    void standardOutputFailing();
    void specialOutputs_data();
    void specialOutputs();
    void linkedOutputs_data();
    void linkedOutputs();
    void plantedLinks_data();
    void plantedLinks();
    void signalsWhileWriting_data();
    void signalsWhileWriting();
    void ignoredSignalStaysIgnored();
    void fileSizeLimit();

private:
    struct Run {
        int code = -1;
        QProcess::ExitStatus status = QProcess::CrashExit;
        QByteArray out;
        QByteArray err;
    };
    // How run() starts the program.
    struct Start {
        bool brokenStderr = false;
        bool asNobody = false;  // dropped to nobody with setpriv
        bool ownPipe = false;   // as nobody, standard output into a pipe of nobody's, then here
        QString stdoutFile;     // standard output into this file instead of a pipe
        int raiseSignal = 0;    // raised at the first write of the image (preloaded helper)
        int ignoredSignal = 0;  // ignored from the start, as nohup does with SIGHUP
        rlim_t fileSizeLimit = RLIM_INFINITY;
    };
    Run run(const QStringList &arguments, bool brokenStderr = false) const;
    Run run(const QStringList &arguments, const Start &how) const;
    static QByteArray noEndWarning(const QString &input)
    {
        return "srec2bin: " + QFile::encodeName(input) + ": no end record (S7, S8 or S9): the file may be cut short\n";
    }
    Run objcopy(const QStringList &arguments) const;
    QString path(const QString &name) const { return folder_ + "/" + name; }
    void write(const QString &name, const QByteArray &bytes) const;
    QByteArray read(const QString &name) const;
    // Names of the leftover temporary (hidden) files in the folder.
    QStringList hiddenFiles() const;

    QTemporaryDir temp_;
    QString folder_;
    QString objcopy_;
    QString converter_;  // srec2bin, copied where nobody may run it
};

void TestSrec2bin::initTestCase()
{
    QVERIFY(temp_.isValid());
    // The loader hands over paths blanks and all.
    folder_ = temp_.path() + "/conversions with blanks";
    QVERIFY(QFileInfo(QStringLiteral(SREC2BIN_PATH)).isExecutable());
    // Open to nobody: the folder above may be passed, the test folder written.
    QVERIFY(QFile::setPermissions(temp_.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ExeGroup
                                                    | QFile::ExeOther));
    converter_ = temp_.filePath("srec2bin");
    QVERIFY(QFile::copy(QStringLiteral(SREC2BIN_PATH), converter_));
    if (QStandardPaths::findExecutable("setpriv").isEmpty())
        QFAIL("setpriv not found: install the Debian package util-linux");
    objcopy_ = QStandardPaths::findExecutable("objcopy");
    if (objcopy_.isEmpty())
        QFAIL("objcopy not found: install the Debian package binutils");
}

void TestSrec2bin::init()
{
    QDir(folder_).removeRecursively();
    QVERIFY(QDir().mkpath(folder_));
    QCOMPARE(::chmod(QFile::encodeName(folder_).constData(), 0777), 0);
}

TestSrec2bin::Run TestSrec2bin::run(const QStringList &arguments, bool brokenStderr) const
{
    Start how;
    how.brokenStderr = brokenStderr;
    return run(arguments, how);
}

TestSrec2bin::Run TestSrec2bin::run(const QStringList &arguments, const Start &how) const
{
    const bool brokenStderr = how.brokenStderr;
    QProcess process;
    if (how.asNobody) {
        QStringList command{"--reuid=65534", "--regid=65534", "--clear-groups", "--"};
        // A pipe of this process cannot be opened again by path (/dev/stdout) once the child is nobody.
        if (how.ownPipe)
            command << "sh"
                    << "-c"
                    << "{ \"$0\" \"$@\" || echo \"exit status $?\" >&2; } | cat";
        process.setProgram("setpriv");
        process.setArguments(command + QStringList{converter_} + arguments);
    } else {
        process.setProgram(QStringLiteral(SREC2BIN_PATH));
        process.setArguments(arguments);
    }
    if (!how.stdoutFile.isEmpty())
        process.setStandardOutputFile(how.stdoutFile);
    if (how.raiseSignal != 0) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("LD_PRELOAD", QStringLiteral(RAISE_ON_WRITE_PATH));
        environment.insert("SREC2BIN_RAISE_SIGNAL", QString::number(how.raiseSignal));
        // A sanitizer runtime wants to be loaded first; here the helper is.
        environment.insert("ASAN_OPTIONS", "verify_asan_link_order=0:" + environment.value("ASAN_OPTIONS"));
        process.setProcessEnvironment(environment);
    }
    int pipeEnds[2] = {-1, -1};
    if (brokenStderr) {
        // Standard error into a pipe nobody reads any more, as when the loader has gone.
        if (::pipe(pipeEnds) != 0)
            qFatal("pipe() failed");
        ::close(pipeEnds[0]);
    }
    const rlim_t sizeLimit = how.fileSizeLimit;
    const int ignored = how.ignoredSignal;
    process.setChildProcessModifier([brokenStderr, &pipeEnds, sizeLimit, ignored] {
        if (ignored != 0)
            std::signal(ignored, SIG_IGN);
        if (brokenStderr) {
            ::dup2(pipeEnds[1], STDERR_FILENO);
            std::signal(SIGPIPE, SIG_DFL);
        }
        // No core files from the signals that would leave one.
        const rlimit noCore{0, 0};
        ::setrlimit(RLIMIT_CORE, &noCore);
        if (sizeLimit != RLIM_INFINITY) {
            const rlimit size{sizeLimit, sizeLimit};
            ::setrlimit(RLIMIT_FSIZE, &size);
        }
    });
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

TestSrec2bin::Run TestSrec2bin::objcopy(const QStringList &arguments) const
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

void TestSrec2bin::write(const QString &name, const QByteArray &bytes) const
{
    QFile file(path(name));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray TestSrec2bin::read(const QString &name) const
{
    QFile file(path(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

QStringList TestSrec2bin::hiddenFiles() const
{
    QStringList hidden;
    for (const QString &name : QDir(folder_).entryList(QDir::Files | QDir::Hidden)) {
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
    QTest::newRow("S6 record count") << s2(0, "01") + s2(1, "02") + s6(2) + s8() << QStringList() << QByteArray("0102");
    QTest::newRow("lower case hex") << lowerCase << QStringList() << QByteArray("abcdef");
    QTest::newRow("CR LF line ends") << crLf << QStringList() << QByteArray("00112233");
    QTest::newRow("last line without line end") << noLastLineEnd << QStringList() << QByteArray("00112233");
    QTest::newRow("blank lines") << s1(0, "0011") + "\n\r\n" + s1(2, "2233") + s9() + "\n\n"
                                 << QStringList() << QByteArray("00112233");
    QTest::newRow("gap filled with 0xFF") << s1(0, "AA") + s1(5, "BB") << QStringList() << QByteArray("aaffffffffbb");
    QTest::newRow("image starts at lowest address") << s1(0x8000, "AABB") + s9() << QStringList() << QByteArray("aabb");
    QTest::newRow("descending addresses")
        << s1(4, "44") + s1(2, "22") + s1(0, "00") << QStringList() << QByteArray("00ff22ff44");
    QTest::newRow("identical repeat") << s1(0, "AABBCC") + s1(1, "BB") << QStringList() << QByteArray("aabbcc");
    QTest::newRow("empty data record") << s1(0, "AABB") + s1(2, "") + s9() << QStringList() << QByteArray("aabb");
    QTest::newRow("no end record") << s1(0, "AA") << QStringList() << QByteArray("aa");
    QTest::newRow("S5 after the end record") << s1(0, "AA") + s9() + s5(1) << QStringList() << QByteArray("aa");
    QTest::newRow("last address 0xFFFFFFFF") << s3(0xFFFFFFFE, "EEFF") << QStringList() << QByteArray("eeff");
    QTest::newRow("longest record") << srecLine(3, 0, longest) + "\r\n" << QStringList() << longest.toHex();
    QTest::newRow("image exactly --max-size")
        << s1(0, "AA") + s1(3, "DD") << QStringList{"--max-size", "4"} << QByteArray("aaffffdd");
}

void TestSrec2bin::accepted()
{
    QFETCH(QByteArray, input);
    QFETCH(QStringList, options);
    QFETCH(QByteArray, image);
    write("in.srec", input);

    const Run ours = run(options + QStringList{path("in.srec"), path("out.bin")});
    const bool ended = QRegularExpression("(^|\n)S[789]").match(QString::fromLatin1(input)).hasMatch();
    QCOMPARE(ours.err, ended ? QByteArray() : noEndWarning(path("in.srec")));
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
    QTest::newRow("bad checksum") << good + "S1050002AABB94\n"
                                  << QStringList() << 3 << "bad checksum (expected 0x93, found 0x94)";
    QTest::newRow("byte count above the line") << good + "S1060002AABB93\n"
                                               << QStringList() << 3
                                               << "byte count 0x06 does not match the line, which holds 5 bytes "
                                                  "after it";
    QTest::newRow("byte count below the line") << good + "S1040002AABB93\n"
                                               << QStringList() << 3
                                               << "byte count 0x04 does not match the line, which holds 5 bytes "
                                                  "after it";
    QTest::newRow("truncated last line") << good + "S1050002AA" << QStringList() << 3
                                         << "byte count 0x05 does not match the line, which holds 3 bytes after it";
    QTest::newRow("odd number of digits") << good + "S1050002AABB9\n"
                                          << QStringList() << 3 << "odd number of hex digits (11)";
    QTest::newRow("non-hex digit") << good + "S1050002AXBB93\n"
                                   << QStringList() << 3 << "non-hex character 'X' in column 10";
    QTest::newRow("trailing blank") << good + "S1050002AABB93 \n"
                                    << QStringList() << 3 << "non-hex character ' ' in column 15";
    QTest::newRow("control character") << good + "S1050002AA\tB93\n"
                                       << QStringList() << 3 << "non-hex character byte 0x09 in column 11";
    QTest::newRow("reserved S4") << good + "S4050002AABB93\n" << QStringList() << 3 << "reserved record type S4";
    QTest::newRow("unknown type") << good + "SX050002AABB93\n"
                                  << QStringList() << 3 << "unknown record type: 'S' followed by 'X'";
    QTest::newRow("text line") << good + "hello\n" << QStringList() << 3 << "not an S-record: the line starts with 'h'";
    QTest::newRow("lone S") << good + "S\n" << QStringList() << 3 << "not an S-record: no record type after 'S'";
    QTest::newRow("no byte count") << good + "S1\n" << QStringList() << 3 << "record too short: S1 without byte count";
    QTest::newRow("byte count too small for S3")
        << good + "S3030000FC\n"
        << QStringList() << 3 << "byte count 0x03 too small for an S3 record (at least 0x05)";
    QTest::newRow("line too long") << good + "S1" + QByteArray(600, '0') + "\n"
                                   << QStringList() << 3 << "line too long for a record (more than 514 characters)";
    QTest::newRow("binary file") << QByteArray("\x7f"
                                               "ELF\x02\x01\x01\0\0\0",
                                               10)
                                 << QStringList() << 1 << "not an S-record: the line starts with byte 0x7F";
    QTest::newRow("wrong record count") << good + s1(2, "CC") + s5(3) << QStringList() << 4
                                        << "record count 3 does not match the 2 data records before it";
    QTest::newRow("wrong record count after one record")
        << good + s5(2) << QStringList() << 3 << "record count 2 does not match the 1 data record before it";
    QTest::newRow("data after the end record")
        << good + s9() + s1(2, "CC") << QStringList() << 4 << "data record after the end record of line 3";
    QTest::newRow("different data for one address") << good + s1(1, "CC") << QStringList() << 3
                                                    << "address 0x00000001 already holds 0xBB from an earlier record, "
                                                       "this record gives 0xCC";
    QTest::newRow("beyond 32 bits") << good + s3(0xFFFFFFFF, "AABB") << QStringList() << 3
                                    << "data from 0xFFFFFFFF runs past address 0xFFFFFFFF";
    QTest::newRow("no data records") << s0("hdr") + s9() << QStringList() << 0 << "no data records";
    QTest::newRow("empty file") << QByteArray() << QStringList() << 0 << "no data records";
    QTest::newRow("data records without bytes")
        << s1(0, "") + s9() << QStringList() << 0 << "the data records hold no data bytes";
    QTest::newRow("stray record, default limit") << good + s3(0x10000000, "CC") << QStringList() << 3
                                                 << "image too large: 0x00000000 to 0x10000000 is 268435457 bytes, "
                                                    "more than the limit of 268435456 (--max-size)";
    QTest::newRow("stray record, own limit") << s3(0x2000, "CC") + s3(0x1000, "AA") << QStringList{"--max-size=4K"} << 2
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
                                              + seeUsage
                                       << QByteArray();
    QTest::newRow("fill not a number") << QStringList{"--fill=0xZZ", "IN", "OUT"} << 2 << QByteArray()
                                       << "srec2bin: --fill needs a byte value, 0x00 to 0xFF or 0 to 255, not '0xZZ'"
                                              + seeUsage
                                       << QByteArray();
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
    QTest::newRow("options after the paths")
        << QStringList{"IN", "OUT", "--fill", "7"} << 0 << QByteArray() << QByteArray() << QByteArray("aa07bb");
    QTest::newRow("paths after --") << QStringList{"--", "IN", "OUT"} << 0 << QByteArray() << QByteArray()
                                    << QByteArray("aaffbb");
    QTest::newRow("max-size with suffix")
        << QStringList{"--max-size", "1K", "IN", "OUT"} << 0 << QByteArray() << QByteArray() << QByteArray("aaffbb");
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
    QTest::newRow("symbolic link") << "link.srec"
                                   << "symbolic";
    QTest::newRow("hard link") << "link.srec"
                               << "hard";
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
        QCOMPARE(
            ::link(QFile::encodeName(path("in.srec")).constData(), QFile::encodeName(path("link.srec")).constData()),
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

    QTest::newRow("missing input") << "missing.srec"
                                   << "out.bin"
                                   << "%1/missing.srec: cannot open: No such file or directory";
    QTest::newRow("input is a folder") << "."
                                       << "out.bin"
                                       << "%1/.: cannot read: Is a directory";
    QTest::newRow("output folder missing") << "in.srec"
                                           << "no such folder/out.bin"
                                           << "%1/no such folder/out.bin: the folder %1/no such folder does not exist";
    QTest::newRow("link into a missing folder") << "in.srec"
                                                << "dangling.bin"
                                                << "%1/dangling.bin: the folder %1/gone does not exist";
    QTest::newRow("output is a folder") << "in.srec"
                                        << "."
                                        << "%1/.: Is a directory";
}

void TestSrec2bin::ioErrors()
{
    QFETCH(QString, input);
    QFETCH(QString, output);
    QFETCH(QString, message);
    write("in.srec", s1(0, "AABB"));
    QVERIFY(QFile::link(path("gone/new.bin"), path("dangling.bin")));

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

void TestSrec2bin::noEndRecord_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("image");  // as hex

    QByteArray crLf = s0("hdr") + s1(0, "0011") + s1(2, "2233");
    crLf.replace("\n", "\r\n");
    QTest::newRow("S1 file cut at a line boundary")
        << s0("hdr") + s1(0, "0011") + s1(2, "2233") << QByteArray("00112233");
    QTest::newRow("S3 file without S7") << s3(0x1000, "AABBCC") << QByteArray("aabbcc");
    QTest::newRow("S2 file with a record count, without S8") << s2(0, "01") + s2(1, "02") + s6(2) << QByteArray("0102");
    QTest::newRow("CR LF, without end record") << crLf << QByteArray("00112233");
}

void TestSrec2bin::noEndRecord()
{
    // Converted as before, but said: a download cut at a line end looks like a whole file.
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, image);
    write("in.srec", input);
    write("out.bin", "the previous image");
    const Run result = run({path("in.srec"), path("out.bin")});
    QCOMPARE(result.status, QProcess::NormalExit);
    QCOMPARE(result.code, 0);
    QCOMPARE(result.err, noEndWarning(path("in.srec")));
    QCOMPARE(read("out.bin").toHex(), image);
    QCOMPARE(hiddenFiles(), QStringList());
}

void TestSrec2bin::standardOutputFailing_data()
{
    QTest::addColumn<QString>("option");
    QTest::newRow("help") << "--help";
    QTest::newRow("version") << "--version";
}

void TestSrec2bin::standardOutputFailing()
{
    QFETCH(QString, option);
    Start how;
    how.stdoutFile = "/dev/full";
    const Run result = run({option}, how);
    QCOMPARE(result.status, QProcess::NormalExit);
    QCOMPARE(result.code, 3);
    QCOMPARE(result.err, QByteArray("srec2bin: cannot write to standard output: No space left on device\n"));
}

void TestSrec2bin::specialOutputs_data()
{
    QTest::addColumn<QString>("kind");  // "null", "stdout", "stdout-file", "fifo", "device"
    QTest::addColumn<QByteArray>("input");

    const QByteArray ended = s1(0, "AABB") + s1(3, "DD") + s9();
    QTest::newRow("/dev/null: validation only") << "null" << ended;
    QTest::newRow("/dev/null: a file without end record") << "null" << s1(0, "AABB") + s1(3, "DD");
    QTest::newRow("/dev/stdout into a pipe") << "stdout" << ended;
    QTest::newRow("/dev/stdout into a file") << "stdout-file" << ended;
    QTest::newRow("FIFO") << "fifo" << ended;
    QTest::newRow("device node") << "device" << ended;
}

void TestSrec2bin::specialOutputs()
{
    // As an ordinary user, who may write into such outputs but never replace /dev entries.
    QFETCH(QString, kind);
    QFETCH(QByteArray, input);
    write("in.srec", input);
    const QByteArray image = QByteArray::fromHex("aabbffdd");
    QString output = "/dev/" + kind;
    int reader = -1;
    if (kind == "fifo") {
        output = path("pipe.bin");
        QCOMPARE(::mkfifo(QFile::encodeName(output).constData(), 0666), 0);
        QCOMPARE(::chmod(QFile::encodeName(output).constData(), 0666), 0);
        // A reader is there before the converter opens it, so that its open does not wait.
        reader = ::open(QFile::encodeName(output).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        QVERIFY(reader >= 0);
    } else if (kind == "stdout-file") {
        // The file standard output was opened on is written, not replaced by another.
        output = "/dev/stdout";
        write("captured.bin", "a longer image of the version before");
        QCOMPARE(::chmod(QFile::encodeName(path("captured.bin")).constData(), 0666), 0);
    } else if (kind == "device") {
        output = path("null.bin");
        QVERIFY2(::mknod(QFile::encodeName(output).constData(), S_IFCHR | 0666, makedev(1, 3)) == 0,
                 "mknod of a null device failed: the test needs root");
        QCOMPARE(::chmod(QFile::encodeName(output).constData(), 0666), 0);
    }
    const QString watched = kind == "stdout-file" ? path("captured.bin") : output;
    struct stat before {};
    QCOMPARE(::stat(QFile::encodeName(watched).constData(), &before), 0);

    Start how;
    how.asNobody = true;
    how.ownPipe = kind == "stdout";
    if (kind == "stdout-file")
        how.stdoutFile = path("captured.bin");
    const Run result = run({path("in.srec"), output}, how);
    const bool ended = input.contains("\nS9");
    QCOMPARE(result.err, ended ? QByteArray() : noEndWarning(path("in.srec")));
    QCOMPARE(result.status, QProcess::NormalExit);
    QCOMPARE(result.code, 0);
    if (kind == "stdout")
        QCOMPARE(result.out.toHex(), image.toHex());
    if (kind == "stdout-file")
        QCOMPARE(read("captured.bin").toHex(), image.toHex());
    if (reader >= 0) {
        QByteArray got(64, '\0');
        const ssize_t size = ::read(reader, got.data(), size_t(got.size()));
        ::close(reader);
        QCOMPARE(got.left(int(qMax<ssize_t>(size, 0))).toHex(), image.toHex());
    }
    struct stat after {};
    QCOMPARE(::stat(QFile::encodeName(watched).constData(), &after), 0);
    QCOMPARE(after.st_ino, before.st_ino);
    QCOMPARE(after.st_mode, before.st_mode);
    QCOMPARE(hiddenFiles(), QStringList());
}

void TestSrec2bin::linkedOutputs_data()
{
    QTest::addColumn<QStringList>("links");  // out.bin, then each next link, as name -> stored target
    QTest::addColumn<QString>("target");     // the file that gets the image, below the temporary folder
    QTest::addColumn<bool>("existing");      // the target is there before, with its own permissions

    const QString folder = "conversions with blanks";
    QTest::newRow("link to an image beside it") << QStringList{"out.bin", "real.bin"} << folder + "/real.bin" << true;
    QTest::newRow("relative link into another folder")
        << QStringList{"out.bin", "../targets/real.bin"} << "targets/real.bin" << true;
    QTest::newRow("absolute link") << QStringList{"out.bin", "TEMP/targets/real.bin"} << "targets/real.bin" << true;
    QTest::newRow("chain of two links") << QStringList{"out.bin", "hop.bin", "hop.bin", "../targets/real.bin"}
                                        << "targets/real.bin" << true;
    QTest::newRow("dangling link") << QStringList{"out.bin", "../targets/new.bin"} << "targets/new.bin" << false;
}

void TestSrec2bin::linkedOutputs()
{
    // The link stays a link; the file it leads to is replaced, the temporary file beside it.
    QFETCH(QStringList, links);
    QFETCH(QString, target);
    QFETCH(bool, existing);
    const QString targets = temp_.filePath("targets");
    QDir(targets).removeRecursively();
    QVERIFY(QDir().mkpath(targets));
    links.replaceInStrings("TEMP", temp_.path());
    for (int i = 0; i + 1 < links.size(); i += 2) {
        QCOMPARE(::symlink(QFile::encodeName(links[i + 1]).constData(), QFile::encodeName(path(links[i])).constData()),
                 0);
    }
    const QString final = temp_.filePath(target);
    if (existing) {
        QFile file(final);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write("a longer image of the version before") > 0);
        file.close();
        QCOMPARE(::chmod(QFile::encodeName(final).constData(), 0640), 0);
    }
    write("in.srec", s1(0, "AABB") + s9());

    const mode_t previousMask = ::umask(022);
    const Run result = run({path("in.srec"), path("out.bin")});
    ::umask(previousMask);
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.code, 0);
    for (int i = 0; i + 1 < links.size(); i += 2) {
        char stored[4096] = {};
        const ssize_t size = ::readlink(QFile::encodeName(path(links[i])).constData(), stored, sizeof stored - 1);
        QVERIFY2(size > 0, qPrintable(links[i] + " is no longer a link"));
        QCOMPARE(QFile::decodeName(QByteArray(stored, int(size))), links[i + 1]);
    }
    QFile file(final);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll().toHex(), QByteArray("aabb"));
    struct stat info {};
    QCOMPARE(::stat(QFile::encodeName(final).constData(), &info), 0);
    QCOMPARE(info.st_mode & 0777, existing ? mode_t(0640) : mode_t(0644));
    QCOMPARE(hiddenFiles(), QStringList());
    QCOMPARE(QDir(targets).entryList({".*"}, QDir::Files | QDir::Hidden), QStringList());
}

void TestSrec2bin::plantedLinks_data()
{
    QTest::addColumn<bool>("ofNobody");  // the link is nobody's, not the saving user's
    QTest::addColumn<bool>("existing");  // the file it leads to is there before
    QTest::addColumn<bool>("followed");

    QTest::newRow("another user's link to a root-only file") << true << true << false;
    QTest::newRow("another user's dangling link") << true << false << false;
    QTest::newRow("own link") << false << true << true;
}

void TestSrec2bin::plantedLinks()
{
    // In a sticky folder that everyone may write to, nobody plants the output's name as a link to
    // a file of root's; root converts. The kernel's protected-links rule forbids root to follow
    // such a link, and so does the converter, whether the rule is on or not on this machine.
    QFETCH(bool, ofNobody);
    QFETCH(bool, existing);
    QFETCH(bool, followed);
    if (::geteuid() != 0)
        QFAIL("this test needs root: it plants links as the user nobody (setpriv, util-linux)");
    QCOMPARE(::chmod(QFile::encodeName(folder_).constData(), 01777), 0);
    const QString targets = temp_.filePath("targets");
    QDir(targets).removeRecursively();
    QVERIFY(QDir().mkpath(targets));
    const QString secret = targets + "/secret.bin";
    if (existing) {
        QFile file(secret);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write("root only") > 0);
        file.close();
        QCOMPARE(::chmod(QFile::encodeName(secret).constData(), 0600), 0);
    }
    if (ofNobody) {
        QProcess ln;
        ln.start("setpriv",
                 {"--reuid=nobody", "--regid=nogroup", "--clear-groups", "--", "ln", "-s", secret, path("out.bin")});
        QVERIFY(ln.waitForFinished(30000));
        QVERIFY2(ln.exitCode() == 0, ln.readAllStandardError().constData());
    } else {
        QVERIFY(QFile::link(secret, path("out.bin")));
    }
    write("in.srec", s1(0, "AABB") + s9());

    const Run result = run({path("in.srec"), path("out.bin")});
    QVERIFY(QFileInfo(path("out.bin")).isSymLink());
    QCOMPARE(hiddenFiles(), QStringList());
    if (followed) {
        QCOMPARE(result.err, QByteArray());
        QCOMPARE(result.code, 0);
        QCOMPARE(read("../targets/secret.bin").toHex(), QByteArray("aabb"));
        return;
    }
    QCOMPARE(result.code, 3);
    QCOMPARE(result.err, "srec2bin: " + QFile::encodeName(path("out.bin")) + ": " + std::strerror(EACCES) + "\n");
    QCOMPARE(QDir(targets).entryList(QDir::Files | QDir::Hidden), existing ? QStringList{"secret.bin"} : QStringList());
    if (existing)
        QCOMPARE(read("../targets/secret.bin"), QByteArray("root only"));
}

void TestSrec2bin::signalsWhileWriting_data()
{
    QTest::addColumn<int>("signalNumber");
    for (int number : {SIGHUP, SIGINT, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGTERM, SIGXCPU, SIGVTALRM, SIGPROF, SIGIO,
                       SIGPWR, SIGRTMIN, SIGRTMAX})
        QTest::newRow(qPrintable(QString::fromLocal8Bit(strsignal(number)))) << number;
}

void TestSrec2bin::signalsWhileWriting()
{
    // Each ends the program as the signal does, without its hidden temporary file.
    QFETCH(int, signalNumber);
    write("in.srec", s1(0, "AABB") + s3(0x10000, "CC") + s9());
    write("out.bin", "the previous image");
    Start how;
    how.raiseSignal = signalNumber;
    const Run result = run({path("in.srec"), path("out.bin")}, how);
    QCOMPARE(result.status, QProcess::CrashExit);
    QCOMPARE(result.code, signalNumber);
    QCOMPARE(read("out.bin"), QByteArray("the previous image"));
    QCOMPARE(hiddenFiles(), QStringList());
}

void TestSrec2bin::ignoredSignalStaysIgnored()
{
    // Started under nohup, a hangup does not stop the conversion.
    write("in.srec", s1(0, "AABB") + s9());
    Start how;
    how.ignoredSignal = SIGHUP;
    how.raiseSignal = SIGHUP;
    const Run result = run({path("in.srec"), path("out.bin")}, how);
    QCOMPARE(result.status, QProcess::NormalExit);
    QCOMPARE(result.code, 0);
    QCOMPARE(read("out.bin").toHex(), QByteArray("aabb"));
    QCOMPARE(hiddenFiles(), QStringList());
}

void TestSrec2bin::fileSizeLimit()
{
    // A limit set with ulimit -f: the failed write is reported like any other.
    write("in.srec", s1(0, "AABB") + s3(0x10000, "CC") + s9());
    write("out.bin", "the previous image");
    Start how;
    how.fileSizeLimit = 4096;
    const Run result = run({path("in.srec"), path("out.bin")}, how);
    QCOMPARE(result.status, QProcess::NormalExit);
    QCOMPARE(result.code, 3);
    QCOMPARE(QString::fromUtf8(result.err), "srec2bin: " + path("out.bin") + ": cannot write: File too large\n");
    QCOMPARE(read("out.bin"), QByteArray("the previous image"));
    QCOMPARE(hiddenFiles(), QStringList());
}

QTEST_GUILESS_MAIN(TestSrec2bin)
#include "tst_srec2bin.moc"
