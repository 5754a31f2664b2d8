// Answer collection and recognition against whatever a chip, a half-soldered board or a wrong
// firmware prints: NUL bytes, bytes above 0x7F, endless lines, answers torn into pieces.
//
// The input is a sequence of chunks as they arrive at the port. Each chunk goes through
// ChipDialogue::collect() in whole-line or raw mode, and the collected bytes are checked
// against a plain model of the collecting rules (lines only while waiting for the version,
// NUL turned into a blank there, the size bound). Then every recogniser runs on the answer
// text; the file count parser is checked against an independent reading of its rule.

#include "chipdialogue.h"

#include <QBuffer>
#include <QByteArray>
#include <QString>
#include <QStringList>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzzcheck.h"

#include <cstdio>
#include <cstdlib>

namespace {

#define EXPECT(cond, what) FUZZ_EXPECT("chipdialogue", cond, what)

// What collect() must leave in the buffer and in the port.
void modelCollect(QByteArray *port, bool wholeLines, QByteArray *rx)
{
    if (wholeLines) {
        const int end = port->lastIndexOf('\n') + 1;
        QByteArray lines = port->left(end);
        lines.replace('\0', ' ');
        rx->append(lines);
        port->remove(0, end);
    } else {
        rx->append(*port);
        port->clear();
    }
    if (rx->size() > ChipDialogue::MaxCollectedBytes)
        rx->remove(0, rx->size() - ChipDialogue::MaxCollectedBytes);
}

// The file count rule read literally: from the first "fc", pieces between CR LF, the first
// piece of exactly two ':'-separated parts whose second part is a count a qint8 holds.
bool modelFileCount(const QString &text, qint8 *count)
{
    if (text.indexOf(QLatin1String("fc:")) < 0)
        return false;
    QString rest = text.mid(text.indexOf(QLatin1String("fc")));
    for (;;) {
        const int cut = rest.indexOf(QLatin1String("\r\n"));
        const QString piece = cut < 0 ? rest : rest.left(cut);
        if (piece.count(QLatin1Char(':')) == 1) {
            bool ok = false;
            const int value = piece.mid(piece.indexOf(QLatin1Char(':')) + 1).toInt(&ok, 10);
            if (ok && value >= -128 && value <= 127) {
                *count = static_cast<qint8>(value);
                return true;
            }
        }
        if (cut < 0)
            return false;
        rest = rest.mid(cut + 2);
    }
}

void checkAnswer(const QByteArray &rx, quint32 startAddr)
{
    const QString text = ChipDialogue::answerText(rx);
    const int nul = rx.indexOf('\0');
    EXPECT(text == QString::fromLatin1(nul < 0 ? rx : rx.left(nul)), "answer text is not the bytes up to the first NUL");

    const Worker::ChipCodeVerFlag code = ChipDialogue::recognizeVersion(text);
    Worker::ChipCodeVerFlag expected = Worker::CodeUnKnown;
    if (text.contains(QLatin1String("Jun 19 2019/21:01:04")))
        expected = Worker::CodeInROM_ZR740A;
    else if (text.contains(QLatin1String("Mar 14 2021/00:23:32")))
        expected = Worker::CodeInROM_ZR740C;
    else if (text.contains(QLatin1String("Jan")))
        expected = Worker::CodeInROM_ZR610A;
    else if (text.contains(QLatin1String("RAMCODE")))
        expected = Worker::CodeInRAM;
    EXPECT(code == expected, "version recognised against the order of the markers");

    EXPECT(ChipDialogue::isReceiverReady(text) == text.contains(QLatin1Char('C')), "download answer");
    EXPECT(ChipDialogue::isEraseConfirmed(text) == text.contains(QLatin1String("pppp")), "erase answer");
    EXPECT(ChipDialogue::isBaudrateAccepted(text) == text.contains(QLatin1String("baudrate")), "baudrate answer");
    EXPECT(ChipDialogue::isUpgradeReady(text)
               == (text.contains(QLatin1String("upgrade")) && text.contains(QLatin1Char('C'))),
           "upgrade answer");

    const QString lastCmd = QString::fromLatin1(ChipDialogue::startAddrLine(startAddr)).trimmed();
    EXPECT(ChipDialogue::isStartAddrAccepted(text, lastCmd)
               == (text.contains(lastCmd) && text.contains(QLatin1String("pppp"))),
           "startaddr answer");

    qint8 count = 0x5A;
    qint8 expectedCount = 0x5A;
    const bool parsed = ChipDialogue::parseFileCount(text, &count);
    const bool expectedParsed = modelFileCount(text, &expectedCount);
    EXPECT(parsed == expectedParsed, "file count recognised against its rule");
    EXPECT(count == expectedCount, "file count differs from its rule");
}

void checkLines(quint32 value)
{
    EXPECT(ChipDialogue::baudrateLine(value) == "baudrate " + QByteArray::number(value) + "\r\n", "baudrate line");
    EXPECT(ChipDialogue::startAddrLine(value)
               == "\r\nstartaddr 0x" + QByteArray::number(value, 16).toUpper().rightJustified(8, '0') + "\r\n",
           "startaddr line");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    const quint32 value = in.ConsumeIntegral<quint32>();
    checkLines(value);

    QByteArray pending; // bytes in the port that no collect() took yet
    QByteArray model;
    QByteArray rx;
    int rounds = 0;
    while (in.remaining_bytes() > 0 && rounds++ < 32) {
        const bool wholeLines = in.ConsumeBool();
        QByteArray chunk;
        if (in.ConsumeIntegralInRange<int>(0, 7) == 0) {
            // A chip that keeps printing one byte: long runs without a line end.
            const int repeat = in.ConsumeIntegralInRange<int>(1, 65536);
            chunk = QByteArray(repeat, static_cast<char>(in.ConsumeIntegral<uint8_t>()));
        } else {
            const std::string bytes = in.ConsumeRandomLengthString(4096);
            chunk = QByteArray(bytes.data(), static_cast<int>(bytes.size()));
        }
        pending.append(chunk);

        QByteArray portData = pending;
        QBuffer port(&portData);
        EXPECT(port.open(QIODevice::ReadOnly), "buffer");
        ChipDialogue::collect(&port, wholeLines, &rx);
        const QByteArray left = port.readAll();
        modelCollect(&pending, wholeLines, &model);
        EXPECT(rx.size() <= ChipDialogue::MaxCollectedBytes, "collected text grows without bound");
        EXPECT(left == pending, "collect() took other bytes from the port than its rule says");
        EXPECT(rx == model, "collected bytes differ from the collecting rule");

        checkAnswer(rx, value);
        // A recognised answer empties the buffer; whether one was recognised is the input's.
        if (in.ConsumeIntegralInRange<int>(0, 3) == 0) {
            rx.clear();
            model.clear();
        }
    }
    ChipDialogue::collect(nullptr, true, &rx);
    return 0;
}
