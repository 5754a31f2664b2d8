#ifndef SERIALFLASHWIDGET_H
#define SERIALFLASHWIDGET_H

#include "userconfig.h"
#include "worker.h"

#include <QPointer>
#include <QString>
#include <QThread>
#include <QWidget>

class QSerialPort;

namespace Ui {
class SerialFlashWidget;
}

// One row of the port list: one serial port, its switch, progress and result, and the worker
// (with its thread) that flashes the chip on that port.
class SerialFlashWidget : public QWidget
{
    Q_OBJECT

public:
    enum SerialStateFlag {
        STATE_NOT_OPNED = 0,
        STATE_CLOSED = 1,
        STATE_OPENED = 2,
    };
    Q_ENUM(SerialStateFlag)

    enum FlashStateFlag {
        FLASH_NOT_STARTED = 0,
        FLASH_DOWNLOADING = 1,
        FLASH_ERASING = 2,
        FLASH_PASS = 3,
        FLASH_FAIL = 4,
    };
    Q_ENUM(FlashStateFlag)

    enum SerialWorkModeFlag {
        SERIAL_MODE_DOWNLOADING = 1,
        SERIAL_MODE_ERASING = 2,
    };
    Q_ENUM(SerialWorkModeFlag)

    explicit SerialFlashWidget(QWidget *parent = nullptr);
    ~SerialFlashWidget() override;

    void setPortName(const QString &name);
    QString portName() const;
    void setSerialState(SerialStateFlag state);
    SerialStateFlag serialState() const;
    void setFlashState(FlashStateFlag state);
    void setProgress(int progress);
    void setWorkMode(int mode);
    void setUserConfig(const UserConfig &config);
    void setOpenCloseEnabled(bool enabled);
    void reset();
    int startWorker();
    void stopWorker();
    bool isWorking() const;

signals:
    void sigSetUserConfig(UserConfig userConfig);
    void sigSetWorkerPortName(QString portname);
    void sigSetWorkerMode(int mode);
    void sigWorkerStart();

    void sigReportMsg(QString portName, QString msg);
    void sigReportWorker(QString portName, int result);
    // The record of the run whose result follows in sigReportWorker.
    void sigReportRun(RunRecord record);

private slots:
    void on_rdbtnOpenClose_clicked(bool checked);
    void slotHandleWorkerReadyToWork(Worker::ChipCodeVerFlag codeVer);
    void slotHandleWorkerReportResult(int result, RunRecord record);
    void slotHandleWorkerReportYmodemProgress(int fileID, int progress);

private:
    void createWorker();
    void finishStoppingThread();

    bool working;
    UserConfig userConfig;
    QSerialPort *serialPort;
    // Deleted in its own thread when that thread finishes; the guard tells a later start
    // that a fresh worker is needed.
    QPointer<Worker> worker;
    QThread workerThread;
    int workMode;
    // Set when the thread was asked to quit but may not have finished yet.
    bool threadQuitRequested = false;
    Ui::SerialFlashWidget *ui;
};

#endif // SERIALFLASHWIDGET_H
