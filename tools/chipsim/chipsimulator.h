#ifndef CHIPSIMULATOR_H
#define CHIPSIMULATOR_H

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

class SimChip;
class QSocketNotifier;
class QThread;

// All simulated chips of one run and the control dialogue on standard input:
// one command per line, each answered with "OK <command>" or "ERR <reason>".
// Every chip runs in a thread of its own, as every real chip runs beside the others: one
// chip's work never delays another's answer, and each waits on its own few descriptors.
class ChipSimulator : public QObject
{
    Q_OBJECT

public:
    explicit ChipSimulator(QObject *parent = nullptr);
    ~ChipSimulator() override;

    // Takes the chip (which has no parent) into a thread of its own.
    void addChip(SimChip *chip);
    // Plugs every chip and announces it; false with a reason if a link cannot be made.
    bool start(QString *error);
    // Unplugs every chip so that no link is left behind, and ends the chips' threads.
    void shutdown();

    // Carries out one control line and returns the reply line.
    QString execute(const QString &line);

    // SIGINT and SIGTERM end the event loop through a socket, the only safe way out of a
    // signal handler.
    static bool installSignalHandlers();

private:
    void readControl();
    SimChip *chipArgument(const QStringList &words, QString *error) const;

    QList<SimChip *> chips;
    QList<QThread *> threads;
    QSocketNotifier *controlNotifier = nullptr;
    QSocketNotifier *signalNotifier = nullptr;
    QByteArray controlBuffer;
};

#endif
