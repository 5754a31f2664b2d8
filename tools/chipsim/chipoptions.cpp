#include "chipoptions.h"

#include "chipfamily.h"

bool ChipOptions::set(const QString &key, const QString &value, QString *error)
{
    bool ok = false;
    const int number = value.toInt(&ok);
    auto needNumber = [&](int minimum, int maximum) {
        if (ok && number >= minimum && number <= maximum)
            return true;
        *error = QStringLiteral("%1 needs a number from %2 to %3, not \"%4\"").arg(key).arg(minimum).arg(maximum).arg(value);
        return false;
    };

    if (key == QLatin1String("family")) {
        if (!ChipFamily::find(value)) {
            *error = QStringLiteral("unknown family \"%1\" (one of %2)").arg(value, ChipFamily::names().join(QLatin1Char(',')));
            return false;
        }
        family = value;
    } else if (key == QLatin1String("ram")) {
        if (!needNumber(0, 1))
            return false;
        ramAtPowerUp = number == 1;
    } else if (key == QLatin1String("filecount-start")) {
        if (!needNumber(0, 127))
            return false;
        fileCountStart = number;
    } else if (key == QLatin1String("erase-ms")) {
        if (!needNumber(0, 600000))
            return false;
        eraseMs = number;
    } else if (key == QLatin1String("c-interval-ms")) {
        if (!needNumber(1, 600000))
            return false;
        cIntervalMs = number;
    } else if (key == QLatin1String("give-up-ms")) {
        if (!needNumber(1, 3600000))
            return false;
        giveUpMs = number;
    } else {
        *error = QStringLiteral("unknown option \"%1\" (one of %2)").arg(key, keys().join(QLatin1Char(',')));
        return false;
    }
    return true;
}

QStringList ChipOptions::keys()
{
    return {QStringLiteral("family"), QStringLiteral("ram"), QStringLiteral("filecount-start"),
            QStringLiteral("erase-ms"), QStringLiteral("c-interval-ms"), QStringLiteral("give-up-ms")};
}
