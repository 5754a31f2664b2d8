#include "serialmonitor.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMutex>
#include <QSet>
#include <QThread>
#include <QTimer>

#include <algorithm>

namespace {

QBasicMutex instanceMutex;
SerialMonitor *monitorInstance = nullptr;
bool monitorGone = false;

// Runs while the application object is being destroyed, when the GUI thread can still
// stop the scan timer it owns.
void destroyMonitor()
{
    SerialMonitor *monitor = nullptr;
    {
        QMutexLocker lock(&instanceMutex);
        monitor = monitorInstance;
        monitorInstance = nullptr;
        monitorGone = true;
    }
    delete monitor;
}

} // namespace

SerialMonitor *SerialMonitor::instance()
{
    QMutexLocker lock(&instanceMutex);
    if (!monitorInstance && !monitorGone) {
        monitorInstance = new SerialMonitor;
        qAddPostRoutine(destroyMonitor);
    }
    return monitorInstance;
}

SerialMonitor::SerialMonitor()
    : QObject(nullptr)
    , lastPorts()
    , currentPorts()
    , scanTimer(new QTimer(this))
{
    qRegisterMetaType<SerialMonitor::SerialScanResult>("SerialMonitor::SerialScanResult");

    scanTimer->setInterval(SCAN_INTERVAL_MS);
    connect(scanTimer, &QTimer::timeout, this, &SerialMonitor::scantimeout);

    // The scan belongs to the GUI thread whichever thread asked first.
    QCoreApplication *app = QCoreApplication::instance();
    if (app && app->thread() != QThread::currentThread()) {
        moveToThread(app->thread());
        QMetaObject::invokeMethod(scanTimer, "start", Qt::QueuedConnection);
    } else {
        scanTimer->start();
    }
}

SerialMonitor::~SerialMonitor()
{
    scanTimer->stop();
}

QStringList SerialMonitor::lastPortList() const
{
    return lastPorts;
}

QStringList SerialMonitor::currentPortList() const
{
    return currentPorts;
}

void SerialMonitor::startScan(int intervalMs)
{
    scanTimer->start(intervalMs);
}

void SerialMonitor::stopScan()
{
    scanTimer->stop();
}

QStringList SerialMonitor::portNames(const QList<QSerialPortInfo> &ports)
{
    QStringList names;
    names.reserve(ports.size());
    for (const QSerialPortInfo &port : ports)
        names << port.portName();
    return names;
}

bool SerialMonitor::portNameLessThan(const QString &a, const QString &b)
{
    return a < b;
}

bool SerialMonitor::samePortNames(QStringList &a, QStringList &b)
{
    if (a.size() != b.size())
        return false;
    std::sort(a.begin(), a.end(), portNameLessThan);
    std::sort(b.begin(), b.end(), portNameLessThan);
    return a == b;
}

QStringList SerialMonitor::extraPortNames(const QList<QSerialPortInfo> &systemPorts)
{
    const QStringList entries = QString::fromLocal8Bit(qgetenv("ZDZ_EXTRA_PORTS"))
                                        .split(QDir::listSeparator(), Qt::SkipEmptyParts);
    if (entries.isEmpty())
        return {};

    // A device the system lists already must not show up twice under another name.
    QSet<QString> systemDevices;
    for (const QSerialPortInfo &port : systemPorts) {
        const QString device = QFileInfo(port.systemLocation()).canonicalFilePath();
        if (!device.isEmpty())
            systemDevices.insert(device);
    }

    QStringList names;
    QSet<QString> devices;
    for (const QString &entry : entries) {
        const QFileInfo info(entry);
        if (!info.exists())
            continue;
        // A relative name would be looked for under /dev when the port is opened.
        const QString name = info.absoluteFilePath();
        const QString device = info.canonicalFilePath();
        if (names.contains(name) || systemDevices.contains(device) || devices.contains(device))
            continue;
        names << name;
        devices.insert(device);
    }
    return names;
}

QStringList SerialMonitor::availablePortNames()
{
    const QList<QSerialPortInfo> systemPorts = QSerialPortInfo::availablePorts();
    return portNames(systemPorts) + extraPortNames(systemPorts);
}

void SerialMonitor::scantimeout()
{
    currentPorts = availablePortNames();
    std::sort(lastPorts.begin(), lastPorts.end(), portNameLessThan);
    std::sort(currentPorts.begin(), currentPorts.end(), portNameLessThan);

    const int n = currentPorts.size();
    const int m = lastPorts.size();
    if (n > m) {
        lastPorts = currentPorts;
        emit sigSerialScanResult(SCAN_RESULT_ADDED);
    } else if (n < m) {
        lastPorts = currentPorts;
        emit sigSerialScanResult(SCAN_RESULT_REMOVED);
    } else if (samePortNames(lastPorts, currentPorts)) {
        emit sigSerialScanResult(SCAN_RESULT_NO_CHANGE);
    } else {
        lastPorts = currentPorts;
        emit sigSerialScanResult(SCAN_RESULT_CHANGED);
    }
}
