#include "ptypair.h"
#include "testsupport.h"
#include "ymodemfiletransmit.h"

#include <QtTest>
#include <QProcess>
#include <QSerialPort>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextCodec>

#include <algorithm>
#include <memory>
#include <vector>

using Status = YmodemFileTransmit::Status;

namespace {

const QByteArray FIVE_CAN(5, Ymodem::CAN);
const int HEADER_SIZE = 133;
const int DATA_SIZE = HEADER_SIZE + 1029;   // the header and one long block

QByteArray patternFile(qint64 size)
{
    QByteArray data(int(size), '\0');
    for (int i = 0; i < data.size(); ++i)
        data[i] = char((i * 31 + i / 1024) & 0xFF);
    return data;
}

// Runs a real event loop until `done` holds. QTRY_* and qWait sleep 10 ms
// between rounds of events, which would stretch the transmitter's 5 ms step.
template<typename Predicate>
bool waitUntil(Predicate done, int timeoutMs = 5000)
{
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    check.start(20);
    if (!done())
        loop.exec();
    return done();
}

void settle(int ms)
{
    waitUntil([] { return false; }, ms);
}

// What a transfer of `size` bytes must report: the header, one progress and one
// status per block (128 only for a remainder of 128 or less, or in mode 0), the
// end of the file, the final status.
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

// One line with the transmitter on the slave side of a pty. The far end is the test,
// or lrzsz's rb joined through pipes: rb flushes its terminal right after each C and
// before it exits, and on a pty those flushes can swallow a block or its final ACK.
struct Line
{
    PtyPair pty;
    QSerialPort port;
    QTemporaryDir dir;
    YmodemFileTransmit transmit;
    std::unique_ptr<QSocketNotifier> notifier;
    QProcess rb;
    QByteArray received;
    QStringList log;   // signals in order, e.g. "S0 P100 S1 S1 S2"
    int finalCount = 0;
    int finalStatus = -1;

    Line()
    {
        QObject::connect(&transmit, &YmodemFileTransmit::sigTransmitProgress, &transmit,
                         [this](int progress) { log << QStringLiteral("P%1").arg(progress); });
        QObject::connect(&transmit, &YmodemFileTransmit::sigTransmitStatus, &transmit, [this](Status status) {
            log << QStringLiteral("S%1").arg(int(status));
            if (status >= YmodemFileTransmit::STATUS_FINISHED) {
                ++finalCount;
                finalStatus = int(status);
            }
        });
        QObject::connect(&rb, &QProcess::readyReadStandardOutput, &rb,
                         [this] { pty.writeMaster(rb.readAllStandardOutput()); });
    }

    bool open()
    {
        if (!dir.isValid() || !pty.open())
            return false;
        port.setPortName(pty.slavePath());
        if (!port.open(QIODevice::ReadWrite))
            return false;
        transmit.setSerialPort(&port);
        notifier = std::make_unique<QSocketNotifier>(pty.masterFd(), QSocketNotifier::Read);
        QObject::connect(notifier.get(), &QSocketNotifier::activated, notifier.get(), [this] {
            const QByteArray bytes = pty.readMaster();
            if (rb.state() == QProcess::Running)
                rb.write(bytes);
            else
                received += bytes;
        });
        return true;
    }

    bool setFile(const QByteArray &content, const QString &name = QStringLiteral("image.bin"))
    {
        transmit.setFileName(dir.filePath(name));
        return writeFile(dir.filePath(name), content);
    }

    QString receiveDir() const { return dir.filePath(QStringLiteral("received")); }

    bool startRb(const QString &program, const QStringList &arguments)
    {
        if (!QDir().mkpath(receiveDir()))
            return false;
        rb.setWorkingDirectory(receiveDir());
        rb.start(program, arguments);
        return rb.waitForStarted();
    }

    bool done() { return finalCount > 0 && rb.state() == QProcess::NotRunning; }

    // Answers the transmitter and returns what it sent once `expected` bytes are there.
    QByteArray reply(const QByteArray &bytes, int expected)
    {
        pty.writeMaster(bytes);
        waitUntil([&] { return received.size() >= expected; });
        const QByteArray sent = received;
        received.clear();
        return sent;
    }
};

struct SendCase
{
    QString name;   // a resource path, or the name of a generated file of `size` bytes
    qint64 size;
    quint32 blockMode;
    QString receivedName;
};

enum Interruption { ByReceiver, Stop, FileEmptied, FileRemoved };

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
    void receiverRefuses();
    void interrupted_data();
    void interrupted();
    void headerName_data();
    void headerName();
    void noUsablePort();

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
    const auto bothModes = [](const QString &name, qint64 size, const QString &receivedName) {
        return QList<SendCase>{{name, size, 0, receivedName}, {name, size, 2, receivedName}};
    };
    QTest::newRow("empty and short files")
            << bothModes("empty.bin", 0, "empty.bin") + bothModes("one.bin", 1, "one.bin")
                    + bothModes("RAMCODE.BIN", 128, "RAMCODE.BIN") + bothModes("b129.bin", 129, "b129.bin");
    QTest::newRow("around one long block")
            << bothModes("b1023.bin", 1023, "b1023.bin") + bothModes("b1024.bin", 1024, "b1024.bin")
                    + bothModes("zr740a_application_image_release_v1.9.13.bin", 1025,
                                "zr740a_app-xxx-_release_v1.9.13.bin");
    // In 128-byte blocks this size would take 2400 steps; the long-block run covers it.
    QTest::newRow("300 KiB") << QList<SendCase>{{"app300k.bin", 300 * 1024 + 77, 2, "app300k.bin"}};
    QTest::newRow("resource image") << bothModes(":/ymodem_test/ramcode_sample.bin", 0, "ramcode_sample.bin");
}

void TestYmodemFileTransmit::sendToLrzsz()
{
    QFETCH(QList<SendCase>, cases);

    std::vector<std::unique_ptr<Line>> lines;
    QList<QByteArray> contents;
    for (const SendCase &sendCase : cases) {
        auto line = std::make_unique<Line>();
        QVERIFY2(line->open(), qPrintable(line->pty.errorString() + line->port.errorString()));
        if (sendCase.name.startsWith(QLatin1Char(':'))) {
            contents << readFile(sendCase.name);
            QVERIFY(!contents.last().isEmpty());
            line->transmit.setFileName(sendCase.name);
        } else {
            contents << patternFile(sendCase.size);
            QVERIFY(line->setFile(contents.last(), sendCase.name));
        }
        line->transmit.setBlockMode(sendCase.blockMode);
        // rb acknowledges EOT only after 1 s of silence; the production resend
        // interval of 200 steps (about 1 s) would put a second EOT into it.
        line->transmit.setTickDivisor(599);
        // rb asks for the file about 1 s after it starts: the transmitter must already wait.
        QVERIFY(line->transmit.startTransmit());
        // -u: names without lower-case letters (RAMCODE.BIN) would arrive lower-cased.
        QVERIFY(line->startRb(m_rb, {QStringLiteral("-y"), QStringLiteral("-u")}));
        lines.push_back(std::move(line));
    }
    QVERIFY(waitUntil([&] { return std::all_of(lines.begin(), lines.end(), [](auto &l) { return l->done(); }); },
                      30000));

    for (int i = 0; i < cases.size(); ++i) {
        Line &line = *lines[size_t(i)];
        const QDir received(line.receiveDir());
        const QByteArray context = cases[i].receivedName.toLocal8Bit() + ", block mode "
                + QByteArray::number(cases[i].blockMode) + ", signals " + line.log.join(' ').left(200).toLatin1()
                + ", rb said: " + line.rb.readAllStandardError();
        QVERIFY2(line.rb.exitStatus() == QProcess::NormalExit && line.rb.exitCode() == 0, context.constData());
        QVERIFY2(line.finalStatus == YmodemFileTransmit::STATUS_FINISHED, context.constData());
        QCOMPARE(line.finalCount, 1);
        QCOMPARE(line.log, expectedSignals(contents[i].size(), cases[i].blockMode));
        QCOMPARE(received.entryList(QDir::Files), QStringList{cases[i].receivedName});
        QVERIFY2(readFile(received.filePath(cases[i].receivedName)) == contents[i], context.constData());
    }
}

// Without -y rb cancels rather than overwrite a file of the same name.
void TestYmodemFileTransmit::receiverRefuses()
{
    Line line;
    QVERIFY(line.open());
    QVERIFY(line.setFile(patternFile(3000)));
    const QString kept = line.receiveDir() + QStringLiteral("/image.bin");
    QVERIFY(QDir().mkpath(line.receiveDir()) && writeFile(kept, "keep"));

    QVERIFY(line.transmit.startTransmit());
    QVERIFY(line.startRb(m_rb, {QStringLiteral("-u")}));
    QVERIFY(waitUntil([&] { return line.done(); }, 10000));
    QCOMPARE(readFile(kept), QByteArray("keep"));
    QCOMPARE(line.finalStatus, int(YmodemFileTransmit::STATUS_ABORTED));
    QCOMPARE(line.finalCount, 1);
}

void TestYmodemFileTransmit::interrupted_data()
{
    QTest::addColumn<QByteArray>("replies");   // the receiver's bytes before the interruption
    QTest::addColumn<int>("sent");             // what the transmitter has sent by then
    QTest::addColumn<int>("interruption");
    QTest::addColumn<QByteArray>("then");      // the receiver's bytes after it
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("after");     // what the transmitter sends last

    const QByteArray data("C\x06" "C"), none;
    const int error = YmodemFileTransmit::STATUS_ERROR, aborted = YmodemFileTransmit::STATUS_ABORTED;
    QTest::newRow("receiver never starts") << none << 0 << int(ByReceiver) << none
                                           << int(YmodemFileTransmit::STATUS_TIMED_OUT) << FIVE_CAN;
    // A refusing chip gets no CAN.
    QTest::newRow("unknown cmd! while waiting")
            << none << 0 << int(ByReceiver) << QByteArray("unknown cmd!") << error << none;
    QTest::newRow("0x00 while waiting") << none << 0 << int(ByReceiver) << QByteArray(1, '\0') << error << none;
    QTest::newRow("unknown cmd! during data")
            << data << DATA_SIZE << int(ByReceiver) << QByteArray("\r\nunknown cmd!\r\n") << error << none;
    QTest::newRow("0x80 during data") << data << DATA_SIZE << int(ByReceiver) << QByteArray(3, '\x80') << error << none;
    QTest::newRow("CAN during data") << data << DATA_SIZE << int(ByReceiver) << QByteArray(1, Ymodem::CAN) << aborted
                                     << none;
    QTest::newRow("stopped after the header") << QByteArray("C") << HEADER_SIZE << int(Stop) << none << aborted
                                              << FIVE_CAN;
    QTest::newRow("file cannot be opened") << none << 0 << int(FileRemoved) << QByteArray("C") << error << FIVE_CAN;
    QTest::newRow("file emptied after the header")
            << QByteArray("C") << HEADER_SIZE << int(FileEmptied) << QByteArray("\x06") << error << FIVE_CAN;
}

void TestYmodemFileTransmit::interrupted()
{
    QFETCH(QByteArray, replies);
    QFETCH(int, sent);
    QFETCH(int, interruption);
    QFETCH(QByteArray, then);
    QFETCH(int, status);
    QFETCH(QByteArray, after);
    Line line;
    QVERIFY(line.open());
    QVERIFY(line.setFile(patternFile(3000)));
    const QString path = line.dir.filePath(QStringLiteral("image.bin"));

    QElapsedTimer clock;
    clock.start();
    QVERIFY(line.transmit.startTransmit());
    QVERIFY(line.transmit.startTransmit());
    QCOMPARE(line.reply(replies, sent).size(), sent);
    if (interruption == Stop)
        line.transmit.stopTransmit();
    if (interruption == FileEmptied)
        QVERIFY(QFile::resize(path, 0));
    if (interruption == FileRemoved)
        QVERIFY(QFile::remove(path));
    line.pty.writeMaster(then);
    QVERIFY(waitUntil([&] { return line.finalCount > 0; }, 10000));
    const qint64 elapsed = clock.elapsed();
    settle(200);
    QCOMPARE(line.reply({}, 0).toHex(), after.toHex());
    QCOMPARE(line.finalStatus, status);
    QCOMPARE(line.finalCount, 1);
    // 600 idle steps of at least 5 ms each; a second start that connected the timers
    // again would step twice per tick and give up after half that time.
    QVERIFY(status != YmodemFileTransmit::STATUS_TIMED_OUT || elapsed >= 2500);

    // The next transfer starts over with the header, and with the new file, once the
    // worker's dialogue has read what the chip printed.
    line.port.readAll();
    QVERIFY(line.setFile(patternFile(5), QStringLiteral("next.bin")));
    QVERIFY(line.transmit.startTransmit());
    QCOMPARE(line.reply("C", HEADER_SIZE).left(14).toHex(), QByteArray("\x01\x00\xff" "next.bin\0" "5\0", 14).toHex());
}

void TestYmodemFileTransmit::headerName_data()
{
    QTest::addColumn<QByteArray>("codec");
    QTest::addColumn<QString>("name");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("headerName");

    const QString thirty = QStringLiteral("abcdefghij0123456789ABCDEFGHIJ");
    QTest::newRow("30 characters kept") << QByteArray("UTF-8") << thirty << qint64(1) << thirty;
    QTest::newRow("31 characters shortened") << QByteArray("UTF-8") << thirty + QStringLiteral("K") << qint64(12)
                                             << "abcdefghij-xxx-123456789ABCDEFGHIJK";
    // Hangul takes four bytes a character in GB18030: 30 of them and "-xxx-" do
    // not leave room for "1000" and two NUL bytes, so one more character goes.
    QString hangul;
    for (int i = 0; i < 35; ++i)
        hangul += QChar(0xAC00 + i);
    QTest::newRow("multi-byte name cut to fit") << QByteArray("GB18030") << hangul << qint64(1000)
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
    QVERIFY(line.setFile(patternFile(size), name));

    QVERIFY(line.transmit.startTransmit());
    const QByteArray data =
            (headerName.toLocal8Bit() + '\0' + QByteArray::number(size) + '\0').leftJustified(128, '\0');
    const uint16_t crc = Ymodem::crc16(reinterpret_cast<const uint8_t *>(data.constData()), 128);
    const QByteArray expected = QByteArray::fromHex("0100ff") + data + char(crc >> 8) + char(crc & 0xFF);
    QCOMPARE(line.reply("C", HEADER_SIZE).toHex(), expected.toHex());
}

void TestYmodemFileTransmit::noUsablePort()
{
    Line line;   // never opened
    QList<Status> queued;
    connect(&line.transmit, &YmodemFileTransmit::sigTransmitStatus, this,
            [&queued](Status status) { queued << status; }, Qt::QueuedConnection);

    // A stop before any start has neither port nor timers. Its status crosses
    // threads in the product, so the type must be registered.
    line.transmit.stopTransmit();
    QVERIFY(waitUntil([&] { return !queued.isEmpty(); }, 1000));
    QCOMPARE(queued, QList<Status>{YmodemFileTransmit::STATUS_ABORTED});

    line.log.clear();
    QVERIFY(!line.transmit.startTransmit());
    line.port.setPortName(QStringLiteral("/dev/zdz-no-such-line"));
    line.transmit.setSerialPort(&line.port);
    QVERIFY(!line.transmit.startTransmit());
    settle(200);
    QVERIFY(line.log.isEmpty());
}

QTEST_GUILESS_MAIN(TestYmodemFileTransmit)
#include "tst_ymodemfiletransmit.moc"
