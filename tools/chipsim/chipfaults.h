#ifndef CHIPFAULTS_H
#define CHIPFAULTS_H

#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

// The misbehaviours configured for one chip. Faults that say "once" or "next" are used
// up when they fire; the others hold until cleared.
class ChipFaults
{
public:
    enum class BlockReply { Ack, Nak, Cancel, AbortA, Disconnect };

    // The commands whose answer a fault can drop.
    static const QStringList &answeredCommands();

    bool add(const QString &spec, QString *error);
    void clear() { faults.clear(); }
    bool isEmpty() const { return faults.isEmpty(); }
    QStringList specs() const;

    bool silent() const;
    int delayMs() const;
    bool unknownOnC() const;
    // True when the answer to the command must not be sent this time; a "drop" fault
    // is used up by it.
    bool takeDrop(const QString &command);
    // True when the command is refused with "ffff" instead of "pppp".
    bool refuses(const QString &command) const;
    // The reply to data block k (1-based) of an image transfer; naked holds the blocks
    // already refused once in this transfer.
    BlockReply takeBlockReply(int k, QSet<int> *naked);

private:
    enum class Kind { Silent, Delay, Drop, DropAll, Ffff, Nak, Can, AbortA, UnknownOnC, Disconnect };
    struct Fault {
        Kind kind;
        QString command;
        int value;
        QString spec;
    };

    QList<Fault> faults;
};

#endif
