// Answer collection and recognition against whatever a chip, a half-soldered board or a wrong
// firmware prints (NUL bytes, bytes above 0x7F, endless lines, torn answers), each checked
// against a plain model of its rule.

#include "chipdialogue.h"
#include "fuzzcheck.h"

#include <QBuffer>
#include <QString>

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <iterator>
#include <utility>

namespace {

#define EXPECT(cond, what) FUZZ_EXPECT("chipdialogue", cond, what)

// Lines only while waiting for the version, with NUL turned into a blank there; the size bound.
void modelCollect(QByteArray *port, bool wholeLines, QByteArray *rx)
{
    const int end = wholeLines ? port->lastIndexOf('\n') + 1 : port->size();
    rx->append(wholeLines ? port->left(end).replace('\0', ' ') : *port);
    *port = port->mid(end);
    if (rx->size() > ChipDialogue::MaxCollectedBytes)
        rx->remove(0, rx->size() - ChipDialogue::MaxCollectedBytes);
}

// The file count rule read literally: from the first "fc", pieces between CR LF, the first
// piece of exactly two ':'-separated parts whose second part is a count a qint8 holds.
bool modelFileCount(const QString &text, qint8 *count)
{
    if (!text.contains(QLatin1String("fc:")))
        return false;
    for (const QString &piece : text.mid(text.indexOf(QLatin1String("fc"))).split(QLatin1String("\r\n"))) {
        bool ok = piece.count(QLatin1Char(':')) == 1;
        const int value = ok ? piece.section(QLatin1Char(':'), 1).toInt(&ok, 10) : 0;
        if (ok && value >= -128 && value <= 127) {
            *count = static_cast<qint8>(value);
            return true;
        }
    }
    return false;
}

void checkAnswer(const QByteArray &rx, quint32 startAddr)
{
    const QString text = ChipDialogue::answerText(rx);
    const int nul = rx.indexOf('\0');
    EXPECT(text == QString::fromLatin1(nul < 0 ? rx : rx.left(nul)), "answer text is not the bytes up to the first NUL");

    // Garbage may carry several markers: the first in this order decides.
    const std::pair<const char *, Worker::ChipCodeVerFlag> markers[] = {
        {"Jun 19 2019/21:01:04", Worker::CodeInROM_ZR740A}, {"Mar 14 2021/00:23:32", Worker::CodeInROM_ZR740C},
        {"Jan", Worker::CodeInROM_ZR610A}, {"RAMCODE", Worker::CodeInRAM}, {nullptr, Worker::CodeUnKnown}};
    const auto *marker = std::find_if(std::begin(markers), std::end(markers) - 1,
                                      [&](const auto &m) { return text.contains(QLatin1String(m.first)); });
    EXPECT(ChipDialogue::recognizeVersion(text) == marker->second, "version recognised against the order of the markers");

    const QString lastCmd = QString::fromLatin1(ChipDialogue::startAddrLine(startAddr)).trimmed();
    EXPECT(ChipDialogue::isStartAddrAccepted(text, lastCmd)
               == (text.contains(lastCmd) && text.contains(QLatin1String("pppp"))),
           "startaddr answer");

    qint8 count = 0x5A, expectedCount = 0x5A;
    EXPECT(ChipDialogue::parseFileCount(text, &count) == modelFileCount(text, &expectedCount),
           "file count recognised against its rule");
    EXPECT(count == expectedCount, "file count differs from its rule");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    const quint32 startAddr = in.ConsumeIntegral<quint32>();
    QByteArray pending, model, rx; // pending: bytes in the port that no collect() took yet
    for (int rounds = 0; in.remaining_bytes() > 0 && rounds < 32; ++rounds) {
        const bool wholeLines = in.ConsumeBool();
        if (in.ConsumeIntegralInRange<int>(0, 7) == 0) {
            // A chip that keeps printing one byte: long runs without a line end.
            const int repeat = in.ConsumeIntegralInRange<int>(1, 65536);
            pending.append(QByteArray(repeat, static_cast<char>(in.ConsumeIntegral<uint8_t>())));
        } else {
            const std::string bytes = in.ConsumeRandomLengthString(4096);
            pending.append(bytes.data(), static_cast<int>(bytes.size()));
        }

        QByteArray portData = pending;
        QBuffer port(&portData);
        EXPECT(port.open(QIODevice::ReadOnly), "buffer");
        ChipDialogue::collect(&port, wholeLines, &rx);
        modelCollect(&pending, wholeLines, &model);
        EXPECT(rx.size() <= ChipDialogue::MaxCollectedBytes, "collected text grows without bound");
        EXPECT(port.readAll() == pending, "collect() took other bytes from the port than its rule says");
        EXPECT(rx == model, "collected bytes differ from the collecting rule");

        checkAnswer(rx, startAddr);
        // A recognised answer empties the buffer; whether one was recognised is the input's.
        if (in.ConsumeIntegralInRange<int>(0, 3) == 0) {
            rx.clear();
            model.clear();
        }
    }
    ChipDialogue::collect(nullptr, true, &rx);
    return 0;
}
