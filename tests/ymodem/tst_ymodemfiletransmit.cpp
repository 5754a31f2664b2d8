#include "ptypair.h"
#include "ymodempacket.h"
#include "testsupport.h"
#include "ymodemfiletransmit.h"

#include <QSerialPort>
#include <QSocketNotifier>
#include <QtTest>

#include <atomic>
#include <csignal>
#include <deque>
#include <thread>

namespace {

const QByteArray FIVE_CAN(5, Ymodem::CAN);
const int HEADER_SIZE = 133, DATA_SIZE = HEADER_SIZE + 1029;   // the header, and it with one long block

// What a transfer of `size` bytes reports: the header, progress and status per block, end of file, final status.
QStringList expectedSignals(qint64 size, quint32 blockMode)
{
    QStringList expected{QStringLiteral("S0")};
    for (qint64 sent = 0; sent < size;) {
        const qint64 block = (size - sent <= 128 || blockMode == 0) ? 128 : 1024;
        sent += qMin(block, size - sent);
        expected << QStringLiteral("P%1").arg(sent * 100 / size) << QStringLiteral("S1");
    }
    return expected << QStringLiteral("S1") << QStringLiteral("S2");
}

// The transmitter on a pty, the far end the test or rb through pipes (on a pty rb's flushes can swallow a block or
// the last ACK) relayed by a thread: a first EOT held back would fill rb's needed second of silence with the repeat.
struct Line
{
    PtyPair pty;
    QSerialPort port;
    QTemporaryDir dir;
    YmodemFileTransmit transmit;
    QProcess rb;
    QStringList log;      // signals in order, e.g. "S0 P100 S1 S1 S2"
    QList<int> finals;    // the final statuses
    QByteArray content;   // what rb must receive, under the name
    QString arrives;
    bool opened = false;
    std::thread relay;
    std::atomic<bool> relaying{false};
    int toRb[2] = {-1, -1}, fromRb[2] = {-1, -1};

    Line()
    {
        QObject::connect(&transmit, &YmodemFileTransmit::sigTransmitProgress, &transmit,
                         [this](int progress) { log << QStringLiteral("P%1").arg(progress); });
        QObject::connect(&transmit, &YmodemFileTransmit::sigTransmitStatus, &transmit, [this](YmodemFileTransmit::Status status) {
            log << QStringLiteral("S%1").arg(int(status));
            if (status >= YmodemFileTransmit::STATUS_FINISHED)
                finals << int(status);
        });
        port.setPortName(pty.open() ? pty.slavePath() : QString());
        opened = dir.isValid() && port.open(QIODevice::ReadWrite);
        transmit.setSerialPort(&port);
    }

    ~Line()
    {
        relaying = false;
        if (relay.joinable())
            relay.join();
        for (int fd : {toRb[1], fromRb[0]})
            fd >= 0 ? void(::close(fd)) : void();
    }

    bool startRb(const QString &program, const QStringList &args)
    {
        if (::pipe2(toRb, O_CLOEXEC) != 0 || ::pipe2(fromRb, O_CLOEXEC) != 0)
            return false;
        rb.setStandardInputFile(QStringLiteral("/proc/self/fd/%1").arg(toRb[0]));
        rb.setStandardOutputFile(QStringLiteral("/proc/self/fd/%1").arg(fromRb[1]));
        rb.start(program, args);
        ::close(toRb[0]);
        ::close(fromRb[1]);
        relaying = true;
        relay = std::thread([this] {
            pollfd fds[2] = {{pty.masterFd(), POLLIN, 0}, {fromRb[0], POLLIN, 0}};
            char buffer[4096];
            while (relaying) {
                const bool ready = ::poll(fds, 2, 20) > 0;
                for (int k = 0; ready && k < 2; ++k) {
                    const ssize_t n = (fds[k].revents & (POLLIN | POLLHUP)) ? ::read(fds[k].fd, buffer, sizeof buffer) : -1;
                    if (n == 0 && k == 1)
                        fds[1].fd = -1;   // rb has gone
                    else if (n > 0 && k == 0)
                        (void)!::write(toRb[1], buffer, size_t(n));
                    else if (n > 0)
                        pty.writeMaster(QByteArray(buffer, int(n)));
                }
            }
        });
        return rb.waitForStarted();
    }

    bool setFile(const QByteArray &content, const QString &name = QStringLiteral("image.bin"))
    {
        transmit.setFileName(dir.filePath(name));
        return writeFile(dir.filePath(name), content);
    }

    bool ended(int ms)
    {
        return waitForSignal(&transmit, &YmodemFileTransmit::sigTransmitStatus, [this] { return !finals.empty(); }, ms);
    }

    // Answers the transmitter and returns what it sent once `expected` bytes are there.
    QByteArray reply(const QByteArray &bytes, int expected)
    {
        pty.writeMaster(bytes);
        QByteArray sent;
        const QSocketNotifier line(pty.masterFd(), QSocketNotifier::Read);
        const auto all = [&] { return (sent += pty.readMaster()).size() >= expected; };
        waitForSignal(&line, &QSocketNotifier::activated, all);
        return sent;
    }
};

} // namespace

class TestYmodemFileTransmit : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { QTextCodec::setCodecForLocale(nullptr); }

    // Each rb takes 2 to 3 s whatever the size, so all files go side by side, each on a line of its own.
    void sendToLrzsz()
    {
        const QString rb = QStandardPaths::findExecutable(QStringLiteral("rb"));
        std::signal(SIGPIPE, SIG_IGN);   // the relay outlives rb
        QVERIFY2(!rb.isEmpty(), "lrzsz's rb is required for the line tests (Debian package lrzsz)");
        // Names of 30 characters are kept, longer ones shortened.
        const struct { QString name; qint64 size; QString arrives; } files[] = {
            {"empty.bin", 0, ""}, {"RAMCODE.BIN", 128, ""}, {"b129.bin", 129, ""}, {"app300k.bin", 300 * 1024 + 77, ""},
            {"b1023_is_thirty_characters.bin", 1023, ""}, {":/ymodem_test/ramcode_sample.bin", 0, "ramcode_sample.bin"},
            {"zr740a_app_release_v1.9.13x.bin", 1025, "zr740a_app-xxx-release_v1.9.13x.bin"}};
        std::deque<Line> lines;
        for (int i = 0; i < int(sizeof files / sizeof *files) * 2 - 1; ++i) {
            const auto &file = files[i / 2];
            Line &line = lines.emplace_back();
            QVERIFY2(line.opened, qPrintable(line.pty.errorString() + line.port.errorString()));
            const QString path = file.name.startsWith(QLatin1Char(':')) ? file.name : line.dir.filePath(file.name);
            QVERIFY(path == file.name || writeFile(path, patternBytes(int(file.size))));
            line.content = readFile(path);
            line.arrives = file.arrives.isEmpty() ? file.name : file.arrives;
            line.transmit.setFileName(path);
            line.transmit.setBlockMode(i % 2 == 0 ? 2 : 0);
            // rb asks for the file about 1 s after it starts: the transmitter must already wait.
            QVERIFY(line.transmit.startTransmit());
            QVERIFY(QDir(line.dir.path()).mkpath(QStringLiteral("received")));
            line.rb.setWorkingDirectory(line.dir.filePath(QStringLiteral("received")));
            // -u: names without lower-case letters (RAMCODE.BIN) would arrive lower-cased.
            QVERIFY(line.startRb(rb, {QStringLiteral("-y"), QStringLiteral("-u")}));
            // Lines a little apart, so that no line's EOT waits behind the other lines' blocks.
            letTimePass(100);
        }

        for (Line &line : lines) {
            const auto rbEnded = QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished);
            QVERIFY(line.ended(30000));
            const auto rbGone = [&] { return line.rb.state() == QProcess::NotRunning; };
            QVERIFY(waitForSignal(&line.rb, rbEnded, rbGone, 30000));
            const QDir received(line.rb.workingDirectory());
            const QByteArray context = line.arrives.toLocal8Bit() + ", block mode "
                    + QByteArray::number(line.transmit.blockMode()) + ", rb said: " + line.rb.readAllStandardError();
            QVERIFY2(line.rb.exitStatus() == QProcess::NormalExit && line.rb.exitCode() == 0, context.constData());
            QCOMPARE(line.log, expectedSignals(line.content.size(), line.transmit.blockMode()));
            QCOMPARE(received.entryList(QDir::Files), QStringList{line.arrives});
            QVERIFY2(readFile(received.filePath(line.arrives)) == line.content, context.constData());
        }
    }

    void interrupted_data()
    {
        QTest::addColumn<QByteArray>("replies");   // the receiver's bytes before the interruption
        QTest::addColumn<QString>("interruption"); // by the test; none: by the receiver
        QTest::addColumn<QByteArray>("then");      // the receiver's bytes after it
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("after");     // what the transmitter sends last

        const QByteArray data("C\x06" "C"), none;
        const int error = YmodemFileTransmit::STATUS_ERROR, aborted = YmodemFileTransmit::STATUS_ABORTED, timedOut = YmodemFileTransmit::STATUS_TIMED_OUT;
        // The receiver never starts: bytes that mean nothing step the engine but bring no time-out nearer.
        QTest::newRow("noise instead of C") << none << QString() << QByteArray(3000, 'x') << timedOut << FIVE_CAN;
        // A refusing chip gets no CAN.
        QTest::newRow("unknown cmd! while waiting") << none << QString() << QByteArray("unknown cmd!") << error << none;
        QTest::newRow("0x80 during data") << data << QString() << QByteArray(3, '\x80') << error << none;
        QTest::newRow("CAN during data") << data << QString() << QByteArray(1, Ymodem::CAN) << aborted << none;

        QTest::newRow("stopped after the header") << QByteArray("C") << "stop" << none << aborted << FIVE_CAN;
        QTest::newRow("file cannot be opened") << none << "remove" << QByteArray("C") << error << FIVE_CAN;
    }

    void interrupted()
    {
        QFETCH(QByteArray, replies);
        QFETCH(QString, interruption);
        QFETCH(QByteArray, then);
        QFETCH(int, status);
        QFETCH(QByteArray, after);
        const int sent = replies.isEmpty() ? 0 : replies.size() == 1 ? HEADER_SIZE : DATA_SIZE;
        Line line;
        QVERIFY(line.opened && line.setFile(patternBytes(3000)));

        QElapsedTimer clock;
        clock.start();
        QVERIFY(line.transmit.startTransmit());
        QVERIFY(line.transmit.startTransmit());
        QCOMPARE(line.reply(replies, sent).size(), sent);
        if (interruption == QLatin1String("stop"))
            line.transmit.stopTransmit();
        if (interruption == QLatin1String("remove"))
            QVERIFY(QFile::remove(line.dir.filePath(QStringLiteral("image.bin"))));
        line.pty.writeMaster(then);
        QVERIFY(line.ended(10000));
        const qint64 elapsed = clock.elapsed();
        letTimePass(200);
        QCOMPARE(line.reply({}, 0).toHex(), after.toHex());
        QCOMPARE(line.finals, QList<int>{status});
        // 3 s of silence or noise: a second start connecting the timers again, or steps counted, would give up early.
        QVERIFY(status != YmodemFileTransmit::STATUS_TIMED_OUT || elapsed >= 2900);

        // The next transfer starts over with the header. Its Hangul name takes four bytes a character in GB18030:
        // 30 of them and "-xxx-" leave no room for "1000" and two NUL bytes, so one more character goes.
        line.port.readAll();
        QString name;
        for (int i = 0; i < 35; ++i)
            name += QChar(0xAC00 + i);
        QTextCodec::setCodecForLocale(QTextCodec::codecForName("GB18030"));
        QVERIFY(line.setFile(patternBytes(1000), name));
        QVERIFY(line.transmit.startTransmit());
        const QString headerName = name.left(10) + QStringLiteral("-xxx-") + name.mid(15, 19);
        QCOMPARE(line.reply("C", HEADER_SIZE).toHex(), ymodemPacket(0, headerName.toLocal8Bit() + '\0' + "1000" + '\0').toHex());
    }
};

QTEST_GUILESS_MAIN(TestYmodemFileTransmit)
#include "tst_ymodemfiletransmit.moc"
