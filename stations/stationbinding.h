#ifndef STATIONBINDING_H
#define STATIONBINDING_H

#include <QList>
#include <QString>
#include <QStringList>

class SerialFlashWidget;

// Binds the fixed port stations to the ports the monitor lists: a station whose port is gone
// is freed first, then every new port goes to the first free station in list order.
class StationBinding
{
public:
    StationBinding() = delete;

    static void refreshStationPorts(const QList<SerialFlashWidget *> &stations, const QStringList &ports);
    static bool hasStationForPort(const QList<SerialFlashWidget *> &stations, const QString &portName);
};

#endif // STATIONBINDING_H
