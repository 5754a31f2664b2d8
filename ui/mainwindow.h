#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "serialflashwidget.h"
#include "serialmonitor.h"

#include <QList>
#include <QMainWindow>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QTimer>

class ConfigDialog;
class DailyLog;
class ForwarderThread;
class QLabel;
class RecordTarget;
class RecordView;
class RecordWriter;
class QCloseEvent;
class QSoundEffect;
class UserConfig;

namespace Ui {
class MainWindow;
}

// The operator's screen on the line: twenty port stations bound to the adapters as they come
// and go, Start and Erase over every opened port, persisted pass and fail counters, a sound
// per result and a time-stamped log.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void slotSerialScanResult(SerialMonitor::SerialScanResult result);
    void slotShowMsgOnWindow(QString portName, QString msg);
    void slotCfgDialogAccepted();
    void on_btnStart_clicked();
    void on_btnErase_clicked();
    void slotShowDownloadResultOnWindow(QString portName, int result, QString message = QString());
    void checkActiveWorkerPeriodically();
    void on_actionClear_Count_triggered();
    void on_actionUser_Guide_triggered();
    void on_actionAbout_Zodaruzizu_triggered();
    void on_actionEdit_Configurations_triggered();
    void on_actionRam_Loader_Folder_triggered();
    void on_actionBuilt_in_Ram_Loaders_triggered();
    void on_actionProduction_Record_triggered();
    void slotRecordProblem(QString message);

private:
    void appendLog(QString msg);
    void startRecordForwarder(const RecordTarget &target);
    void setControlsEnabled(bool enabled);
    void updateModeLabel(UserConfig *config);
    void displayCounts(int pass, int fail);
    void saveCounts(int pass, int fail);
    void playResultSound(bool pass);
    void refreshStationPorts(const QStringList &portNames);
    bool hasStationForPort(QString portName);
    bool checkBeforeWork();
    void startOpenedStations(const QString &logText, SerialFlashWidget::FlashStateFlag look, int mode);
    bool loadUserConfigFromSettings(UserConfig *config);
    void setLoaderDir(const QString &dir);
    void logLoaderSource(const QString &dir);

    QTimer checkTimer;
    SerialMonitor *serialMonitor = nullptr;
    QList<SerialFlashWidget *> *stations = nullptr;
    bool allWorkersIdle = true;
    // Start or Erase is between its press and the end of its station loop (the erase question
    // runs an event loop of its own).
    bool startingWork = false;
    UserConfig *userConfig = nullptr;
    ConfigDialog *configDialog = nullptr;
    QSoundEffect *okSound = nullptr;
    QSoundEffect *errorSound = nullptr;
    QMutex countMutex;
    RecordWriter *recordWriter = nullptr;
    QString recordPath;
    QString recordHost;
    ForwarderThread *recordForwarder = nullptr;
    QLabel *lblRecordsWaiting = nullptr;
    QPointer<RecordView> recordView;
    DailyLog *dailyLog = nullptr;
    QString appName;
    QString appVersion;
    QString appDate;
    Ui::MainWindow *ui = nullptr;
};

#endif // MAINWINDOW_H
