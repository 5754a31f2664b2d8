// Answer collection and recognition against whatever a chip, a half-soldered board or a wrong
// firmware prints (NUL bytes, bytes above 0x7F, endless lines, torn answers).

#include "chipdialogue.h"
#include "fuzzcheck.h"

#include <QBuffer>
#include <QString>

#include <fuzzer/FuzzedDataProvider.h>

namespace {

#define EXPECT(cond, what) FUZZ_EXPECT("chipdialogue", cond, what)

// Everything collected comes from the port in order: only whole lines with NUL as a blank while
// waiting for the version, otherwise all it holds; the oldest bytes go first past the bound.
void checkCollect(QByteArray *pending, bool wholeLines, QByteArray *rx)
{
    QByteArray portData = *pending;
    QBuffer port(&portData);
    EXPECT(port.open(QIODevice::ReadOnly), "buffer");
    const QByteArray before = *rx;
    ChipDialogue::collect(&port, wholeLines, rx);
    const QByteArray left = port.readAll();
    QByteArray taken = pending->left(pending->size() - left.size());
    EXPECT(wholeLines ? !left.contains('\n') && (taken.isEmpty() || taken.endsWith('\n')) : left.isEmpty(),
           "a torn line taken while waiting for the version, or whole lines left in the port");
    EXPECT(*rx == (before + (wholeLines ? taken.replace('\0', ' ') : taken)).right(ChipDialogue::MaxCollectedBytes),
           "collected bytes differ from those taken from the port, or grow without bound");
    *pending = left;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    const quint32 startAddr = in.ConsumeIntegral<quint32>();
    QByteArray pending, rx; // pending: bytes in the port that no collect() took yet
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
        checkCollect(&pending, wholeLines, &rx);

        // The recognisers on every text; what they must find is pinned down by tst_chipdialogue.
        const QString text = ChipDialogue::answerText(rx);
        const int nul = rx.indexOf('\0');
        EXPECT(text == QString::fromLatin1(nul < 0 ? rx : rx.left(nul)), "answer text is not the bytes up to a NUL");
        ChipDialogue::recognizeVersion(text);
        ChipDialogue::isStartAddrAccepted(text, QString::fromLatin1(ChipDialogue::startAddrLine(startAddr)).trimmed());
        qint8 count = 0;
        ChipDialogue::parseFileCount(text, &count);
        // A recognised answer empties the buffer; whether one was recognised is the input's.
        if (in.ConsumeIntegralInRange<int>(0, 3) == 0)
            rx.clear();
    }
    ChipDialogue::collect(nullptr, true, &rx);
    return 0;
}
