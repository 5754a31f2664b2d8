#include "stationbinding.h"

#include "serialflashwidget.h"

bool StationBinding::hasStationForPort(const QList<SerialFlashWidget *> &stations, const QString &portName)
{
    for (const SerialFlashWidget *station : stations) {
        if (station && station->portName() == portName)
            return true;
    }
    return false;
}

void StationBinding::refreshStationPorts(const QList<SerialFlashWidget *> &stations, const QStringList &ports)
{
    QStringList newNames;
    for (const QString &name : ports) {
        if (!hasStationForPort(stations, name) && !newNames.contains(name))
            newNames << name;
    }

    QStringList goneNames;
    for (const SerialFlashWidget *station : stations) {
        if (!station)
            continue;
        const QString name = station->portName();
        if (!name.isEmpty() && !ports.contains(name))
            goneNames << name;
    }

    // A station at work is freed as well: its worker fails on the vanished line by itself
    // and its result still arrives, under the now empty name.
    for (SerialFlashWidget *station : stations) {
        if (station && goneNames.contains(station->portName()))
            station->reset();
    }

    int next = 0;
    for (const QString &name : qAsConst(newNames)) {
        while (next < stations.size() && (!stations.at(next) || !stations.at(next)->portName().isEmpty()))
            ++next;
        if (next == stations.size())
            break;
        stations.at(next)->setPortName(name);
    }
}
