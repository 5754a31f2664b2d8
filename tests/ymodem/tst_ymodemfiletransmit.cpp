#include "ptypair.h"
#include "ymodemfiletransmit.h"

#include <QtTest>
#include <QSerialPort>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextCodec>

#include <memory>
#include <thread>
#include <vector>

#include <csignal>
#include <sys/socket.h>
#include <sys/wait.h>

using Status = YmodemFileTransmit::Status;

namespace {

QByteArray patternFile(qint64 size)
{
    QByteArray data(int(size), '\0');
    for (int i = 0; i < data.size(); ++i)
        data[i] = char((i * 31 + i / 1024) & 0xFF);
    return data;
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Progress and status signals in the order they came, e.g. "S0 P100 S1 S1 S2".
struct SignalLog
{
    QStringList entries;
    int finalCount = 0;
    int finalStatus = -1;

    void attach(YmodemFileTransmit *transmit)
    {
        QObject::connect(transmit, &YmodemFileTransmit::sigTransmitProgress, transmit,
                         [this](int progress) { entries << QStringLiteral("P%1").arg(progress); });
        QObject::connect(transmit, &YmodemFileTransmit::sigTransmitStatus, transmit, [this](Status status) {
            entries << QStringLiteral("S%1").arg(int(status));
            if (status >= YmodemFileTransmit::STATUS_FINISHED) {
                ++finalCount;
                finalStatus = int(status);
            }
        });
    }
};

// What a transfer of `size` bytes must report: the header, one progress and one
// status per block (128 only for a remainder of 128 or less, or in mode 0), the
// end of the file, the final status.
QStringList expectedSignals(qint64 size, quint32 blockMode)
{
    QStringList expected{QStringLiteral("S0")};
    qint64 sent = 0;
    while (sent < size) {
        const qint64 remaining = size - sent;
        const qint64 block = (remaining <= 128 || blockMode == 0) ? 128 : 1024;
        sent += qMin(block, remaining);
        expected << QStringLiteral("P%1").arg(sent * 100 / size) << QStringLiteral("S1");
    }
    expected << QStringLiteral("S1") << QStringLiteral("S2");
    return expected;
}

// lrzsz's rb as the far end of the line, joined to the pty master through a
// socket pair and a relay thread. rb flushes its terminal's input right after
// each C and flushes both directions just before it exits; on a pty those
// flushes race the kernel's hand-over between master and slave and can swallow
// a block that answers the C at once, or rb's final ACK. Over a socket they do
// nothing, while the transmitter still works a real pty through QSerialPort.
class RbProcess
{
public:
    RbProcess() = default;
    RbProcess(const RbProcess &) = delete;
    RbProcess &operator=(const RbProcess &) = delete;
    ~RbProcess()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        if (m_relay.joinable()) {
            const char stop = 0;
            while (::write(m_stop[1], &stop, 1) < 0 && errno == EINTR) {
            }
            m_relay.join();
        }
        for (int fd : {m_socket[0], m_socket[1], m_stop[0], m_stop[1]}) {
            if (fd >= 0)
                ::close(fd);
        }
    }

    bool start(const QString &program, const QStringList &arguments, int masterFd, const QString &directory)
    {
        const QByteArray path = QFile::encodeName(program);
        const QByteArray dir = QFile::encodeName(directory);
        const QByteArray log = QFile::encodeName(directory + QStringLiteral("/../rb.log"));
        QList<QByteArray> args{QByteArrayLiteral("rb")};
        for (const QString &argument : arguments)
            args << argument.toLocal8Bit();
        std::vector<char *> argv;
        for (QByteArray &argument : args)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        m_logPath = QFile::decodeName(log);

        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, m_socket) != 0 || ::pipe2(m_stop, O_CLOEXEC) != 0)
            return false;
        m_pid = ::fork();
        if (m_pid == 0) {
            const int logFd = ::open(log.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (::chdir(dir.constData()) != 0 || ::dup2(m_socket[1], 0) < 0 || ::dup2(m_socket[1], 1) < 0)
                ::_exit(126);
            if (logFd >= 0)
                ::dup2(logFd, 2);
            ::execv(path.constData(), argv.data());
            ::_exit(127);
        }
        if (m_pid < 0)
            return false;
        ::close(m_socket[1]);
        m_socket[1] = -1;
        m_relay = std::thread([this, masterFd] { relay(masterFd); });
        return true;
    }

    bool hasExited()
    {
        if (m_pid <= 0)
            return true;
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) != m_pid)
            return false;
        m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        m_pid = -1;
        return true;
    }

    int exitCode() const { return m_exitCode; }
    QByteArray log() const { return readFile(m_logPath); }

private:
    static bool writeAll(int fd, const char *data, ssize_t size)
    {
        while (size > 0) {
            const ssize_t n = ::write(fd, data, static_cast<size_t>(size));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            data += n;
            size -= n;
        }
        return true;
    }

    // Runs until rb closes its end or the process object goes away.
    void relay(int masterFd)
    {
        pollfd fds[3] = {{m_socket[0], POLLIN, 0}, {masterFd, POLLIN, 0}, {m_stop[0], POLLIN, 0}};
        char buffer[4096];
        for (;;) {
            if (::poll(fds, 3, -1) < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            if (fds[2].revents)
                return;
            if (fds[0].revents) {
                const ssize_t n = ::read(m_socket[0], buffer, sizeof buffer);
                if (n <= 0 || !writeAll(masterFd, buffer, n))
                    return;
            }
            if (fds[1].revents & POLLIN) {
                const ssize_t n = ::read(masterFd, buffer, sizeof buffer);
                if (n > 0 && !writeAll(m_socket[0], buffer, n))
                    return;
            }
        }
    }

    pid_t m_pid = -1;
    int m_exitCode = -1;
    int m_socket[2] = {-1, -1};
    int m_stop[2] = {-1, -1};
    std::thread m_relay;
    QString m_logPath;
};

// One line with the transmitter on the slave side.
struct Line
{
    PtyPair pty;
    QSerialPort port;
    SignalLog signalLog;
    std::unique_ptr<YmodemFileTransmit> transmit;
    std::unique_ptr<QSocketNotifier> notifier;
    QByteArray received;

    bool open()
    {
        if (!pty.open())
            return false;
        port.setPortName(pty.slavePath());
        if (!port.open(QIODevice::ReadWrite))
            return false;
        transmit = std::make_unique<YmodemFileTransmit>();
        transmit->setSerialPort(&port);
        signalLog.attach(transmit.get());
        return true;
    }

    // The test itself plays the receiver.
    void collect()
    {
        notifier = std::make_unique<QSocketNotifier>(pty.masterFd(), QSocketNotifier::Read);
        QObject::connect(notifier.get(), &QSocketNotifier::activated, notifier.get(),
                         [this] { received += pty.readMaster(); });
    }

    void answer(const QByteArray &bytes) { pty.writeMaster(bytes); }

    QByteArray take()
    {
        const QByteArray bytes = received;
        received.clear();
        return bytes;
    }
};

struct SendCase
{
    QString source;   // a resource, or empty for a generated file of `name` and `size`
    QString name;
    qint64 size;
    quint32 blockMode;
    QString receivedName;
};

// A transfer to lrzsz on a line of its own.
struct RbTransfer
{
    SendCase sendCase;
    Line line;
    QTemporaryDir workDir;
    QString receiveDir;
    RbProcess rb;
    QString source;
    QByteArray content;
};

// Runs a real event loop until `done` holds. QTRY_* and qWait sleep 10 ms
// between rounds of events, which would stretch the transmitter's 5 ms step.
template<typename Predicate>
bool waitUntil(Predicate done, int timeoutMs = 5000)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    check.start(20);
    loop.exec();
    return done();
}

void settle(int ms)
{
    waitUntil([] { return false; }, ms);
}

const QByteArray FIVE_CAN(5, Ymodem::CAN);
const QString RESOURCE_IMAGE = QStringLiteral(":/ymodem_test/ramcode_sample.bin");

bool isHeader(const QByteArray &packet)
{
    return packet.size() >= 133 && packet.left(3) == QByteArray::fromHex("0100ff");
}

} // namespace

Q_DECLARE_METATYPE(SendCase)

class TestYmodemFileTransmit : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void sendToLrzsz_data();
    void sendToLrzsz();
    void receiverNeverStarts();
    void receiverCancels_data();
    void receiverCancels();
    void peerRefusing_data();
    void peerRefusing();
    void fileFailure_data();
    void fileFailure();
    void headerName_data();
    void headerName();
    void stopTransmit();
    void noUsablePort();
    void stopBeforeStart();

private:
    QString m_rb;
};

void TestYmodemFileTransmit::initTestCase()
{
    m_rb = QStandardPaths::findExecutable(QStringLiteral("rb"));
    if (m_rb.isEmpty())
        QFAIL("lrzsz's rb is required for the line tests (Debian package lrzsz)");
}

void TestYmodemFileTransmit::cleanup()
{
    QTextCodec::setCodecForLocale(nullptr);
}

void TestYmodemFileTransmit::sendToLrzsz_data()
{
    QTest::addColumn<QList<SendCase>>("cases");

    // Each rb takes about 3 s whatever the size (its first C, its second of
    // silence after EOT, its pause before asking for the next file), so the
    // cases of a row run side by side, each on a line of its own.
    const auto bothModes = [](const QString &name, qint64 size, const QString &receivedName = QString()) {
        const QString arrives = receivedName.isEmpty() ? name : receivedName;
        return QList<SendCase>{{QString(), name, size, 0, arrives}, {QString(), name, size, 2, arrives}};
    };
    QTest::newRow("empty and short files")
            << bothModes("empty.bin", 0) + bothModes("one.bin", 1) + bothModes("RAMCODE.BIN", 128)
                    + bothModes("b129.bin", 129);
    QTest::newRow("around one long block")
            << bothModes("b1023.bin", 1023) + bothModes("b1024.bin", 1024)
                    + bothModes("zr740a_application_image_release_v1.9.13.bin", 1025,
                                "zr740a_app-xxx-_release_v1.9.13.bin");
    // In 128-byte blocks this size would take 2400 steps; the long-block run covers it.
    QTest::newRow("300 KiB") << QList<SendCase>{{QString(), "app300k.bin", 300 * 1024 + 77, 2, "app300k.bin"}};
    QTest::newRow("resource image")
            << QList<SendCase>{{RESOURCE_IMAGE, QString(), 0, 0, "ramcode_sample.bin"},
                               {RESOURCE_IMAGE, QString(), 0, 2, "ramcode_sample.bin"}};
}

void TestYmodemFileTransmit::sendToLrzsz()
{
    QFETCH(QList<SendCase>, cases);

    std::vector<std::unique_ptr<RbTransfer>> transfers;
    for (const SendCase &sendCase : cases) {
        auto transfer = std::make_unique<RbTransfer>();
        transfer->sendCase = sendCase;
        QVERIFY(transfer->workDir.isValid());
        QVERIFY2(transfer->line.open(),
                 qPrintable(transfer->line.pty.errorString() + transfer->line.port.errorString()));
        transfer->receiveDir = transfer->workDir.filePath(QStringLiteral("received"));
        QVERIFY(QDir().mkpath(transfer->receiveDir));
        if (sendCase.source.isEmpty()) {
            transfer->source = transfer->workDir.filePath(sendCase.name);
            transfer->content = patternFile(sendCase.size);
            QVERIFY(writeFile(transfer->source, transfer->content));
        } else {
            transfer->source = sendCase.source;
            transfer->content = readFile(sendCase.source);
            QVERIFY(!transfer->content.isEmpty());
        }

        YmodemFileTransmit *transmit = transfer->line.transmit.get();
        transmit->setBlockMode(sendCase.blockMode);
        transmit->setFileName(transfer->source);
        // rb acknowledges EOT only after 1 s of silence; the production resend
        // interval of 200 steps (about 1 s) would put a second EOT into that
        // silence. A longer interval keeps the exchange clean.
        transmit->setTickDivisor(599);
        // rb asks for the file about 1 s after it starts: the transmitter must
        // already be waiting.
        QVERIFY(transmit->startTransmit());
        // -u: names without lower-case letters (RAMCODE.BIN) would arrive lower-cased.
        QVERIFY(transfer->rb.start(m_rb, {QStringLiteral("-y"), QStringLiteral("-u")}, transfer->line.pty.masterFd(),
                                  transfer->receiveDir));
        transfers.push_back(std::move(transfer));
    }

    const auto allDone = [&transfers] {
        for (auto &transfer : transfers) {
            if (transfer->line.signalLog.finalCount == 0 || !transfer->rb.hasExited())
                return false;
        }
        return true;
    };
    QVERIFY(waitUntil(allDone, 30000));

    for (auto &transfer : transfers) {
        const SendCase &sendCase = transfer->sendCase;
        const QByteArray context = QFileInfo(transfer->source).fileName().toLocal8Bit() + ", block mode "
                + QByteArray::number(sendCase.blockMode) + ", signals "
                + transfer->line.signalLog.entries.join(' ').left(200).toLatin1() + ", rb said: " + transfer->rb.log();
        QVERIFY2(transfer->rb.exitCode() == 0, context.constData());
        QVERIFY2(transfer->line.signalLog.finalStatus == YmodemFileTransmit::STATUS_FINISHED, context.constData());
        QCOMPARE(transfer->line.signalLog.finalCount, 1);
        QCOMPARE(transfer->line.signalLog.entries, expectedSignals(transfer->content.size(), sendCase.blockMode));
        if (!transfer->content.isEmpty())
            QCOMPARE(transfer->line.transmit->transmitProgress(), 100);

        const QStringList arrived = QDir(transfer->receiveDir).entryList(QDir::Files);
        QCOMPARE(arrived, QStringList{sendCase.receivedName});
        const QByteArray received = readFile(QDir(transfer->receiveDir).filePath(sendCase.receivedName));
        QVERIFY2(received == transfer->content, context.constData());
    }
}

void TestYmodemFileTransmit::receiverNeverStarts()
{
    Line line;
    QVERIFY(line.open());
    line.collect();
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("image.bin"));
    QVERIFY(writeFile(path, patternFile(10)));
    line.transmit->setFileName(path);

    QElapsedTimer clock;
    clock.start();
    QVERIFY(line.transmit->startTransmit());
    QVERIFY(line.transmit->startTransmit());
    QVERIFY(waitUntil([&] { return line.signalLog.finalCount > 0; }, 10000));
    const qint64 elapsed = clock.elapsed();

    QCOMPARE(line.signalLog.finalStatus, int(YmodemFileTransmit::STATUS_TIMED_OUT));
    QCOMPARE(line.signalLog.entries, QStringList{QStringLiteral("S4")});
    waitUntil([&] { return line.received == FIVE_CAN; });
    QCOMPARE(line.received.toHex(), FIVE_CAN.toHex());
    // 600 idle steps of at least 5 ms each; timers connected twice would step
    // twice per tick and give up after half that time.
    QVERIFY2(elapsed >= 2500, qPrintable(QStringLiteral("timed out after %1 ms").arg(elapsed)));
    settle(200);
    QCOMPARE(line.signalLog.finalCount, 1);
}

void TestYmodemFileTransmit::receiverCancels_data()
{
    QTest::addColumn<bool>("useRb");
    QTest::addColumn<QByteArray>("beforeCancel");   // scripted receiver: replies before the cancel
    QTest::addColumn<QByteArray>("cancel");
    QTest::newRow("rb refuses to overwrite") << true << QByteArray() << QByteArray();
    QTest::newRow("CAN during data") << false << QByteArray("C\x06" "C") << QByteArray(1, Ymodem::CAN);
    QTest::newRow("A after the header") << false << QByteArray("C") << QByteArray("A");
    QTest::newRow("a while waiting") << false << QByteArray() << QByteArray("a");
}

void TestYmodemFileTransmit::receiverCancels()
{
    QFETCH(bool, useRb);
    QFETCH(QByteArray, beforeCancel);
    QFETCH(QByteArray, cancel);
    Line line;
    QVERIFY(line.open());
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("image.bin"));
    QVERIFY(writeFile(path, patternFile(3000)));
    line.transmit->setFileName(path);
    RbProcess rb;

    if (useRb) {
        // Without -y rb cancels rather than overwrite a file of the same name.
        const QString receiveDir = dir.filePath(QStringLiteral("received"));
        QVERIFY(QDir().mkpath(receiveDir));
        QVERIFY(writeFile(receiveDir + QStringLiteral("/image.bin"), "keep"));
        QVERIFY(line.transmit->startTransmit());
        QVERIFY(rb.start(m_rb, {QStringLiteral("-u")}, line.pty.masterFd(), receiveDir));
        QVERIFY(waitUntil([&] { return line.signalLog.finalCount > 0 && rb.hasExited(); }, 10000));
        QCOMPARE(readFile(receiveDir + QStringLiteral("/image.bin")), QByteArray("keep"));
    } else {
        line.collect();
        QVERIFY(line.transmit->startTransmit());
        line.answer(beforeCancel);
        const int expectedBytes = beforeCancel.count('C') == 2 ? 133 + 1029 : 133 * beforeCancel.count('C');
        waitUntil([&] { return line.received.size() == expectedBytes; });
        QCOMPARE(line.received.size(), expectedBytes);
        line.answer(cancel);
        QVERIFY(waitUntil([&] { return line.signalLog.finalCount > 0; }, 3000));
        settle(100);
        QCOMPARE(line.received.size(), expectedBytes);   // a cancel is not answered
    }
    QCOMPARE(line.signalLog.finalStatus, int(YmodemFileTransmit::STATUS_ABORTED));
    QCOMPARE(line.signalLog.finalCount, 1);
}

void TestYmodemFileTransmit::peerRefusing_data()
{
    QTest::addColumn<QByteArray>("beforeRefusal");
    QTest::addColumn<QByteArray>("refusal");
    const QByteArray data("C\x06" "C");
    QTest::newRow("unknown cmd! while waiting") << QByteArray() << QByteArray("unknown cmd!");
    QTest::newRow("0x00 while waiting") << QByteArray() << QByteArray(1, '\0');
    QTest::newRow("0x80 while waiting") << QByteArray() << QByteArray(1, '\x80');
    QTest::newRow("unknown cmd! during data") << data << QByteArray("\r\nunknown cmd!\r\n");
    QTest::newRow("0x80 during data") << data << QByteArray(3, '\x80');
}

void TestYmodemFileTransmit::peerRefusing()
{
    QFETCH(QByteArray, beforeRefusal);
    QFETCH(QByteArray, refusal);
    Line line;
    QVERIFY(line.open());
    line.collect();
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("image.bin"));
    QVERIFY(writeFile(path, patternFile(3000)));
    line.transmit->setFileName(path);

    QVERIFY(line.transmit->startTransmit());
    line.answer(beforeRefusal);
    if (!beforeRefusal.isEmpty()) {
        waitUntil([&] { return line.received.size() == 133 + 1029; });
        QCOMPARE(line.received.size(), 133 + 1029);
    }
    line.take();
    line.answer(refusal);
    QVERIFY(waitUntil([&] { return line.signalLog.finalCount > 0; }, 3000));
    QCOMPARE(line.signalLog.finalStatus, int(YmodemFileTransmit::STATUS_ERROR));
    settle(100);
    QVERIFY2(line.received.isEmpty(), "a refusing chip gets no CAN");

    // The next transfer starts over with the header, once the worker's dialogue
    // has read what the chip printed.
    line.port.readAll();
    line.transmit->setFileName(dir.filePath(QStringLiteral("next.bin")));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("next.bin")), patternFile(5)));
    QVERIFY(line.transmit->startTransmit());
    line.answer("C");
    QVERIFY(waitUntil([&] { return line.received.size() >= 133; }));
    const QByteArray header = line.take();
    QVERIFY2(isHeader(header), header.left(8).toHex().constData());
    QCOMPARE(header.mid(3, 11), QByteArray("next.bin\0" "5\0", 11));
}

void TestYmodemFileTransmit::fileFailure_data()
{
    QTest::addColumn<bool>("exists");
    QTest::addColumn<bool>("emptiedAfterHeader");
    QTest::newRow("file cannot be opened") << false << false;
    QTest::newRow("file emptied after the header") << true << true;
}

void TestYmodemFileTransmit::fileFailure()
{
    QFETCH(bool, exists);
    QFETCH(bool, emptiedAfterHeader);
    Line line;
    QVERIFY(line.open());
    line.collect();
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("image.bin"));
    if (exists)
        QVERIFY(writeFile(path, patternFile(3000)));
    line.transmit->setFileName(path);

    QVERIFY(line.transmit->startTransmit());
    line.answer("C");
    if (emptiedAfterHeader) {
        QVERIFY(waitUntil([&] { return line.received.size() >= 133; }));
        QVERIFY(isHeader(line.take()));
        QVERIFY(QFile::resize(path, 0));
        line.answer("\x06");
    }
    QVERIFY(waitUntil([&] { return line.signalLog.finalCount > 0; }, 3000));
    QCOMPARE(line.take().toHex(), FIVE_CAN.toHex());
    QCOMPARE(line.signalLog.finalStatus, int(YmodemFileTransmit::STATUS_ERROR));
    QCOMPARE(line.signalLog.finalCount, 1);
}

void TestYmodemFileTransmit::headerName_data()
{
    QTest::addColumn<QByteArray>("codec");
    QTest::addColumn<QString>("name");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("headerName");

    const QString thirty = QStringLiteral("abcdefghij0123456789ABCDEFGHIJ");
    QTest::newRow("30 characters kept") << QByteArray("UTF-8") << thirty << qint64(1) << thirty;
    QTest::newRow("31 characters shortened")
            << QByteArray("UTF-8") << thirty + QStringLiteral("K") << qint64(12)
            << "abcdefghij-xxx-123456789ABCDEFGHIJK";

    // Hangul takes four bytes a character in GB18030: 30 of them and "-xxx-" do
    // not leave room for "1000" and two NUL bytes, so one more character goes.
    QString hangul;
    for (int i = 0; i < 35; ++i)
        hangul += QChar(0xAC00 + i);
    QTest::newRow("multi-byte name cut to fit")
            << QByteArray("GB18030") << hangul << qint64(1000)
            << hangul.left(10) + QStringLiteral("-xxx-") + hangul.mid(15, 19);
}

void TestYmodemFileTransmit::headerName()
{
    QFETCH(QByteArray, codec);
    QFETCH(QString, name);
    QFETCH(qint64, size);
    QFETCH(QString, headerName);
    QTextCodec *localCodec = QTextCodec::codecForName(codec);
    QVERIFY2(localCodec, codec.constData());
    QTextCodec::setCodecForLocale(localCodec);

    Line line;
    QVERIFY(line.open());
    line.collect();
    QTemporaryDir dir;
    const QString path = dir.filePath(name);
    QVERIFY(writeFile(path, patternFile(size)));
    line.transmit->setFileName(path);

    QVERIFY(line.transmit->startTransmit());
    line.answer("C");
    QVERIFY(waitUntil([&] { return line.received.size() >= 133; }));
    const QByteArray header = line.take();
    QCOMPARE(header.size(), 133);
    QVERIFY(isHeader(header));

    const QByteArray data = header.mid(3, 128);
    const QByteArray expected = headerName.toLocal8Bit() + '\0' + QByteArray::number(size) + '\0';
    QVERIFY(expected.size() <= 128);
    QCOMPARE(data.left(expected.size()).toHex(), expected.toHex());
    QCOMPARE(data.mid(expected.size()), QByteArray(128 - expected.size(), '\0'));
    const uint16_t crc = Ymodem::crc16(reinterpret_cast<const uint8_t *>(data.constData()), 128);
    QCOMPARE(quint8(header.at(131)), quint8(crc >> 8));
    QCOMPARE(quint8(header.at(132)), quint8(crc & 0xFF));
}

void TestYmodemFileTransmit::stopTransmit()
{
    Line line;
    QVERIFY(line.open());
    line.collect();
    QTemporaryDir dir;
    const QString first = dir.filePath(QStringLiteral("first.bin"));
    const QString second = dir.filePath(QStringLiteral("second.bin"));
    QVERIFY(writeFile(first, patternFile(3000)));
    QVERIFY(writeFile(second, patternFile(2)));
    line.transmit->setFileName(first);

    QVERIFY(line.transmit->startTransmit());
    line.answer("C");
    QVERIFY(waitUntil([&] { return line.received.size() >= 133; }));
    line.take();
    line.transmit->stopTransmit();
    QVERIFY(waitUntil([&] { return line.signalLog.finalCount > 0; }, 3000));
    QCOMPARE(line.signalLog.finalStatus, int(YmodemFileTransmit::STATUS_ABORTED));
    QCOMPARE(line.take().toHex(), FIVE_CAN.toHex());

    // The file was closed, so a new name takes effect and the next transfer starts clean.
    line.transmit->setFileName(second);
    QVERIFY(line.transmit->startTransmit());
    line.answer("C");
    QVERIFY(waitUntil([&] { return line.received.size() >= 133; }));
    QCOMPARE(line.take().mid(3, 13), QByteArray("second.bin\0" "2\0", 13));
}

void TestYmodemFileTransmit::noUsablePort()
{
    SignalLog signalLog;
    YmodemFileTransmit transmit;
    signalLog.attach(&transmit);
    QVERIFY(!transmit.startTransmit());

    QSerialPort missing(QStringLiteral("/dev/zdz-no-such-line"));
    transmit.setSerialPort(&missing);
    QVERIFY(!transmit.startTransmit());
    settle(200);
    QVERIFY(signalLog.entries.isEmpty());
}

void TestYmodemFileTransmit::stopBeforeStart()
{
    YmodemFileTransmit transmit;
    QObject receiver;
    QList<Status> delivered;
    // Queued, as between threads: the status must be a registered type.
    connect(&transmit, &YmodemFileTransmit::sigTransmitStatus, &receiver,
            [&delivered](Status status) { delivered << status; }, Qt::QueuedConnection);

    // No port and no timers yet.
    transmit.stopTransmit();
    QVERIFY(waitUntil([&] { return !delivered.isEmpty(); }, 1000));
    QCOMPARE(delivered, QList<Status>{YmodemFileTransmit::STATUS_ABORTED});
    QCOMPARE(QMetaEnum::fromType<Status>().valueToKey(delivered.first()), "STATUS_ABORTED");
}

QTEST_GUILESS_MAIN(TestYmodemFileTransmit)
#include "tst_ymodemfiletransmit.moc"
