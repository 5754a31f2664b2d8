#ifndef CHIPOPTIONS_H
#define CHIPOPTIONS_H

#include <QString>
#include <QStringList>

// How one simulated chip behaves when it powers up. Changes take effect at its next
// power-up (start, replug, reboot).
struct ChipOptions
{
    QString family = QStringLiteral("ZR740A");
    bool ramAtPowerUp = false;
    int fileCountStart = 0;
    int eraseMs = 300;
    int cIntervalMs = 500;
    int giveUpMs = 10000;

    // KEY=VALUE as given to --set and "set"; false with a reason for a bad key or value.
    bool set(const QString &key, const QString &value, QString *error);
    static QStringList keys();
};

#endif
