// The rule by which a save follows a link (the kernel's protected links), the
// name of the temporary file, and the complete write.

#include "common/safe_save.h"
#include "common/write_all.h"

#include <QtTest>

#include <fcntl.h>
#include <thread>
#include <unistd.h>

class TestSafeSave : public QObject {
    Q_OBJECT

private slots:
    void mayFollowLink_data()
    {
        QTest::addColumn<uint>("user");
        QTest::addColumn<uint>("linkOwner");
        QTest::addColumn<uint>("folderMode");
        QTest::addColumn<uint>("folderOwner");
        QTest::addColumn<bool>("allowed");

        // root saving; nobody (65534) planted the link.
        QTest::newRow("another user's link in /tmp") << 0u << 65534u << 01777u << 0u << false;
        QTest::newRow("another user's link in a sticky folder writable by all")
            << 1000u << 65534u << 01777u << 0u << false;
        QTest::newRow("own link in /tmp") << 0u << 0u << 01777u << 0u << true;
        QTest::newRow("link of the folder's owner") << 0u << 65534u << 01777u << 65534u << true;
        QTest::newRow("folder writable by all, not sticky") << 0u << 65534u << 0777u << 0u << true;
        QTest::newRow("sticky folder not writable by all") << 0u << 65534u << 01775u << 0u << true;
        QTest::newRow("ordinary folder") << 1000u << 0u << 0755u << 0u << true;
    }

    void mayFollowLink()
    {
        QFETCH(uint, user);
        QFETCH(uint, linkOwner);
        QFETCH(uint, folderMode);
        QFETCH(uint, folderOwner);
        QFETCH(bool, allowed);
        QCOMPARE(safe_save::mayFollowLink(uid_t(user), uid_t(linkOwner), mode_t(folderMode), uid_t(folderOwner)),
                 allowed);
    }

    // The hidden temporary file's name fits the folder's limit on names and
    // never cuts a UTF-8 character in two.
    void temporaryNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("nameMax");
        QTest::addColumn<QString>("temporary");

        const QString e(QChar(0xE9));
        const QString euro(QChar(0x20AC));
        const QString face = QString::fromUcs4(U"\U0001F600", 1);
        QTest::newRow("short name") << "image.bin" << 255 << ".image.bin.XXXXXX";
        QTest::newRow("long name cut to the limit") << QString(300, 'a') << 255 << "." + QString(247, 'a') + ".XXXXXX";
        QTest::newRow("small limit") << "image.bin" << 12 << ".imag.XXXXXX";
        QTest::newRow("two-byte character at the cut")
            << "a" + e.repeated(20) << 40 << ".a" + e.repeated(15) + ".XXXXXX";
        QTest::newRow("three-byte characters") << euro.repeated(100) << 255 << "." + euro.repeated(82) + ".XXXXXX";
        QTest::newRow("four-byte characters") << face.repeated(70) << 255 << "." + face.repeated(61) + ".XXXXXX";
    }

    void temporaryNames()
    {
        QFETCH(QString, name);
        QFETCH(int, nameMax);
        QFETCH(QString, temporary);
        const std::string made = safe_save::temporaryName(name.toStdString(), nameMax);
        QCOMPARE(QString::fromStdString(made), temporary);
        QVERIFY(made.size() <= size_t(nameMax));
    }

    // A write the pipe takes in parts (its buffer is smaller than the data) is
    // carried on until all of it is written.
    void writeAllWritesEverything()
    {
        int ends[2];
        QVERIFY(::pipe(ends) == 0);
        ::fcntl(ends[1], F_SETPIPE_SZ, 4096);
        QByteArray data(1 << 20, '\0');
        for (int i = 0; i < data.size(); ++i)
            data[i] = char(i * 7);
        QByteArray got;
        std::thread reader([&] {
            char buffer[1000];
            ssize_t n;
            while ((n = ::read(ends[0], buffer, sizeof buffer)) > 0)
                got.append(buffer, n);
        });
        const int error = writeAll(ends[1], data.constData(), size_t(data.size()));
        ::close(ends[1]);
        reader.join();
        ::close(ends[0]);
        QCOMPARE(error, 0);
        QVERIFY(got == data);
    }

    // On a non-blocking descriptor whose queue is full the write stops, and
    // the count says exactly which bytes went: the serial port queues the rest.
    void writeAllStopsAtAFullQueue()
    {
        int ends[2];
        QVERIFY(::pipe2(ends, O_NONBLOCK) == 0);
        ::fcntl(ends[1], F_SETPIPE_SZ, 4096);
        QByteArray data(1 << 16, '\0');
        for (int i = 0; i < data.size(); ++i)
            data[i] = char(i * 7);
        size_t written = 0;
        const int error = writeAll(ends[1], data.constData(), size_t(data.size()), &written);
        QByteArray got(data.size(), '\0');
        const ssize_t n = ::read(ends[0], got.data(), size_t(got.size()));
        ::close(ends[0]);
        ::close(ends[1]);
        QVERIFY(error == EAGAIN || error == EWOULDBLOCK);
        QVERIFY(written > 0 && written < size_t(data.size()));
        QCOMPARE(n, ssize_t(written));
        QVERIFY(got.left(n) == data.left(n));
    }
};

QTEST_GUILESS_MAIN(TestSafeSave)
#include "tst_safe_save.moc"
