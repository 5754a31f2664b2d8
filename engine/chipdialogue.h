#ifndef CHIPDIALOGUE_H
#define CHIPDIALOGUE_H

#include "worker.h"

#include <QByteArray>
#include <QString>

class QIODevice;

// The text dialogue with the chip's loaders: every command line byte for byte, and how each
// answer is recognised in the bytes collected from the line.
class ChipDialogue
{
public:
    // Noise on an idle line must not grow the collected text without end; answers are short.
    static constexpr int MaxCollectedBytes = 4096;

    static QByteArray versionLine();
    // Empty for a code that has no RAM loader.
    static QByteArray downloadLine(Worker::ChipCodeVerFlag codeVer, qint64 loaderSize);
    static QByteArray eraseAllLine();
    static QByteArray baudrateLine(quint32 baudrate);
    static QByteArray startAddrLine(quint32 startAddr);
    static QByteArray upgradeLine();
    static QByteArray fileCountLine();
    static QByteArray downloadSuccessLine();
    static QByteArray rebootLine();

    // Appends what the port holds to rxBuffer. While waiting for the version only whole lines
    // are taken, with NUL bytes turned into blanks, so a split line waits for its end.
    static void collect(QIODevice *port, bool wholeLinesOnly, QByteArray *rxBuffer);
    // The text the answer tests look at: the collected bytes up to the first NUL.
    static QString answerText(const QByteArray &rxBuffer);

    // CodeUnKnown when no known build marker or "RAMCODE" is in the text.
    static Worker::ChipCodeVerFlag recognizeVersion(const QString &text);
    static bool isReceiverReady(const QString &text);
    static bool isEraseConfirmed(const QString &text);
    static bool isBaudrateAccepted(const QString &text);
    static bool isStartAddrAccepted(const QString &text, const QString &lastCmd);
    static bool isUpgradeReady(const QString &text);
    // The loader's file count from an "fc:N" answer; false while no usable count is in the text.
    static bool parseFileCount(const QString &text, qint8 *count);
};

#endif // CHIPDIALOGUE_H
