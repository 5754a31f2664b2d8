#ifndef SERIALMONITOR_H
#define SERIALMONITOR_H

#include <QList>
#include <QObject>
#include <QSerialPortInfo>
#include <QString>
#include <QStringList>

class QTimer;

// Polls the serial ports once a second so that adapters plugged in or pulled out while the
// tool runs are bound to, or freed from, the port stations. Ports are known by name alone.
class SerialMonitor : public QObject
{
    Q_OBJECT

public:
    enum SerialScanResult {
        SCAN_RESULT_NO_CHANGE = 0,
        SCAN_RESULT_CHANGED = 1,
        SCAN_RESULT_ADDED = 2,
        SCAN_RESULT_REMOVED = 3,
    };
    Q_ENUM(SerialScanResult)

    static constexpr int SCAN_INTERVAL_MS = 1000;

    // The process-wide monitor, created by the first call; null once the application is gone.
    static SerialMonitor *instance();

    ~SerialMonitor() override;

    QStringList lastPortList() const;
    QStringList currentPortList() const;

    void startScan(int intervalMs);
    void stopScan();

    static QStringList portNames(const QList<QSerialPortInfo> &ports);
    static bool portNameLessThan(const QString &a, const QString &b);
    // Sorts both lists in place.
    static bool samePortNames(QStringList &a, QStringList &b);

    // Device paths from ZDZ_EXTRA_PORTS that exist now: lines the system does not list as
    // serial ports (pseudo-terminals, socat or ser2net ends, the chip simulator).
    static QStringList extraPortNames(const QList<QSerialPortInfo> &systemPorts);
    // The system's ports and the extra paths, by name, unsorted.
    static QStringList availablePortNames();

signals:
    void sigSerialScanResult(SerialMonitor::SerialScanResult result);

protected slots:
    void scantimeout();

private:
    SerialMonitor();

    QStringList lastPorts;
    QStringList currentPorts;
    QTimer *scanTimer;
};

#endif // SERIALMONITOR_H
