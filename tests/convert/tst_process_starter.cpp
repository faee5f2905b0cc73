// Real processes: the three ways a converter can go wrong stay apart, and a
// conversion outlives the window that started it.

#include "convert/process_starter.h"

#include <QtTest>

class TestProcessStarter : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;

    QString script(const QString &name, const QByteArray &body)
    {
        const QString path = dir_.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            return QString();
        file.write("#!/bin/sh\n" + body);
        file.close();
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return path;
    }

    ProcessOutcome run(const QString &program, const QStringList &args = {})
    {
        auto starter = makeProcessStarter();
        QObject context;
        std::optional<ProcessOutcome> result;
        starter->start(program, args, &context, [&](const ProcessOutcome &o) { result = o; });
        if (!QTest::qWaitFor([&] { return result.has_value(); }, 10000))
            return ProcessOutcome{ProcessOutcome::Kind::Succeeded, -999, QStringLiteral("timed out")};
        return *result;
    }

private slots:
    void outcomes()
    {
        ProcessOutcome o = run(script("ok", "exit 0\n"));
        QCOMPARE(o.kind, ProcessOutcome::Kind::Succeeded);

        o = run(script("fails", "echo 'srec2bin: in.rec:2: bad checksum' >&2\nexit 1\n"));
        QCOMPARE(o.kind, ProcessOutcome::Kind::Failed);
        QCOMPARE(o.exitCode, 1);
        QCOMPARE(o.detail, QStringLiteral("srec2bin: in.rec:2: bad checksum"));

        // A program that succeeds may still have a word to say.
        o = run(script("warns", "echo 'srec2bin: in.rec: no end record' >&2\nexit 0\n"));
        QCOMPARE(o.kind, ProcessOutcome::Kind::Succeeded);
        QCOMPARE(o.detail, QStringLiteral("srec2bin: in.rec: no end record"));

        o = run(script("crashes", "kill -KILL $$\n"));
        QCOMPARE(o.kind, ProcessOutcome::Kind::Crashed);
        QCOMPARE(o.detail, QStringLiteral("Killed"));

        o = run(dir_.filePath("not-there"));
        QCOMPARE(o.kind, ProcessOutcome::Kind::NotStarted);
        QVERIFY(!o.detail.isEmpty());
    }

    void argumentsKeepTheirBlanks()
    {
        const QString out = dir_.filePath("args.txt");
        const QString prog = script("args", "for a in \"$@\"; do echo \"[$a]\"; done > \"$3\"\n");
        QCOMPARE(run(prog, {"/My Files/a.rec", "/My Files/a.bin", out}).kind, ProcessOutcome::Kind::Succeeded);
        QFile file(out);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("[/My Files/a.rec]\n[/My Files/a.bin]\n[" + out.toLocal8Bit() + "]\n"));
    }

    void runsOnWhenTheWindowIsGone()
    {
        const QString marker = dir_.filePath("done");
        const QString prog = script("slow", "sleep 0.3\necho done > \"$1\"\n");
        bool called = false;
        {
            auto starter = makeProcessStarter();
            auto *window = new QObject;
            starter->start(prog, {marker}, window, [&](const ProcessOutcome &) { called = true; });
            delete window;
        }
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 5000);
        QTest::qWait(50);
        QVERIFY(!called);
    }
};

QTEST_MAIN(TestProcessStarter)
#include "tst_process_starter.moc"
