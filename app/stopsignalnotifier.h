#ifndef STOPSIGNALNOTIFIER_H
#define STOPSIGNALNOTIFIER_H

#include <QObject>

class QSocketNotifier;

// Turns SIGINT and SIGTERM into a Qt signal in the thread that installed it. The handler
// only writes the signal number into a socket pair; everything else runs in the event loop.
// One instance per process.
class StopSignalNotifier : public QObject
{
    Q_OBJECT

public:
    explicit StopSignalNotifier(QObject *parent = nullptr);
    ~StopSignalNotifier() override;

    // False (with errno set) when the socket pair or a handler could not be set up.
    bool install();

signals:
    void sigStopRequested(int signalNumber);

private slots:
    void slotReadSignal();

private:
    static void handleSignal(int signalNumber);

    QSocketNotifier *notifier = nullptr;
};

#endif // STOPSIGNALNOTIFIER_H
