#include "chipfaults.h"

const QStringList &ChipFaults::answeredCommands()
{
    static const QStringList commands = {
        QStringLiteral("version"), QStringLiteral("download"), QStringLiteral("ferase_all"),
        QStringLiteral("baudrate"), QStringLiteral("startaddr"), QStringLiteral("upgrade"),
        QStringLiteral("filecount")};
    return commands;
}

bool ChipFaults::add(const QString &spec, QString *error)
{
    const QString key = spec.section(QLatin1Char('='), 0, 0);
    const bool hasValue = spec.contains(QLatin1Char('='));
    const QString value = spec.section(QLatin1Char('='), 1);
    Fault fault{Kind::Silent, QString(), 0, spec};

    auto number = [&](int minimum) {
        bool ok = false;
        fault.value = value.toInt(&ok);
        if (!ok || fault.value < minimum) {
            *error = QStringLiteral("fault \"%1\": \"%2\" is not a number of at least %3").arg(spec, value).arg(minimum);
            return false;
        }
        return true;
    };

    if (key == QLatin1String("silent") && !hasValue) {
        fault.kind = Kind::Silent;
    } else if (key == QLatin1String("unknown-on-c") && !hasValue) {
        fault.kind = Kind::UnknownOnC;
    } else if (key == QLatin1String("delay") && hasValue) {
        fault.kind = Kind::Delay;
        if (!number(0))
            return false;
    } else if ((key == QLatin1String("drop") || key == QLatin1String("dropall")) && hasValue) {
        fault.kind = key == QLatin1String("drop") ? Kind::Drop : Kind::DropAll;
        if (!answeredCommands().contains(value)) {
            *error = QStringLiteral("fault \"%1\": no answer to drop for \"%2\" (one of %3)")
                         .arg(spec, value, answeredCommands().join(QLatin1Char(',')));
            return false;
        }
        fault.command = value;
    } else if (key == QLatin1String("ffff") && hasValue) {
        fault.kind = Kind::Ffff;
        if (value != QLatin1String("startaddr") && value != QLatin1String("ferase_all")) {
            *error = QStringLiteral("fault \"%1\": only startaddr and ferase_all answer pppp").arg(spec);
            return false;
        }
        fault.command = value;
    } else if (key == QLatin1String("nak") && hasValue) {
        fault.kind = Kind::Nak;
        if (!number(1))
            return false;
    } else if (key == QLatin1String("can") && hasValue) {
        fault.kind = Kind::Can;
        if (!number(1))
            return false;
    } else if (key == QLatin1String("abort-a") && hasValue) {
        fault.kind = Kind::AbortA;
        if (!number(1))
            return false;
    } else if (key == QLatin1String("disconnect") && hasValue) {
        fault.kind = Kind::Disconnect;
        if (!number(1))
            return false;
    } else {
        *error = QStringLiteral("unknown fault \"%1\"").arg(spec);
        return false;
    }
    faults.append(fault);
    return true;
}

QStringList ChipFaults::specs() const
{
    QStringList list;
    for (const Fault &fault : faults)
        list.append(fault.spec);
    return list;
}

bool ChipFaults::silent() const
{
    for (const Fault &fault : faults) {
        if (fault.kind == Kind::Silent)
            return true;
    }
    return false;
}

int ChipFaults::delayMs() const
{
    int delay = 0;
    for (const Fault &fault : faults) {
        if (fault.kind == Kind::Delay)
            delay = qMax(delay, fault.value);
    }
    return delay;
}

bool ChipFaults::unknownOnC() const
{
    for (const Fault &fault : faults) {
        if (fault.kind == Kind::UnknownOnC)
            return true;
    }
    return false;
}

bool ChipFaults::takeDrop(const QString &command)
{
    for (int i = 0; i < faults.size(); ++i) {
        if (faults[i].command != command)
            continue;
        if (faults[i].kind == Kind::DropAll)
            return true;
        if (faults[i].kind == Kind::Drop) {
            faults.removeAt(i);
            return true;
        }
    }
    return false;
}

bool ChipFaults::refuses(const QString &command) const
{
    for (const Fault &fault : faults) {
        if (fault.kind == Kind::Ffff && fault.command == command)
            return true;
    }
    return false;
}

ChipFaults::BlockReply ChipFaults::takeBlockReply(int k, QSet<int> *naked)
{
    const Kind oneShots[] = {Kind::Disconnect, Kind::Can, Kind::AbortA};
    const BlockReply replies[] = {BlockReply::Disconnect, BlockReply::Cancel, BlockReply::AbortA};
    for (int n = 0; n < 3; ++n) {
        for (int i = 0; i < faults.size(); ++i) {
            if (faults[i].kind == oneShots[n] && faults[i].value == k) {
                faults.removeAt(i);
                return replies[n];
            }
        }
    }
    for (const Fault &fault : faults) {
        if (fault.kind == Kind::Nak && fault.value == k && !naked->contains(k)) {
            naked->insert(k);
            return BlockReply::Nak;
        }
    }
    return BlockReply::Ack;
}
