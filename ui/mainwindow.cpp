#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "configdialog.h"
#include "dailylog.h"
#include "errorcodes.h"
#include "forwarderthread.h"
#include "ramloader.h"
#include "recordforwarder.h"
#include "recordview.h"
#include "recordwriter.h"
#include "serialflashwidget.h"
#include "settingskeys.h"
#include "stationbinding.h"
#include "userconfig.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QMessageBox>
#include <QScopedValueRollback>
#include <QSettings>
#include <QShortcut>
#include <QSoundEffect>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTextCursor>
#include <QUrl>

namespace {

constexpr int CHECK_PERIOD_MS = 200;
constexpr int COUNT_LOCK_TIMEOUT_MS = 10;
constexpr int STATION_ROWS = 10;
constexpr int STATIONS_PER_ROW = 2;

QString portPrefix(const QString &portName)
{
    return QStringLiteral("[") + portName + QStringLiteral("]: ");
}

// The documents are text up to the first zero byte; a missing one reads as empty.
QString readDocument(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const QByteArray bytes = file.readAll();
    return QString::fromUtf8(bytes.constData());
}

QSoundEffect *makeSound(QObject *parent, const QString &resource)
{
    auto *sound = new QSoundEffect(parent);
    sound->setSource(QUrl::fromLocalFile(resource));
    sound->setLoopCount(1);
    sound->setVolume(0.5);
    return sound;
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , serialMonitor(SerialMonitor::instance())
    , stations(new QList<SerialFlashWidget *>())
    , allWorkersIdle(true)
    , userConfig(new UserConfig())
    , ui(new Ui::MainWindow)
{
    ui->setupUi(this);

    setWindowFlags(Qt::Window);
    showMaximized();

    appName = tr("ZU-Dazazi-Zuvareridi");
    appVersion = tr("v1.9.13");
    appDate = tr("2022-03-03");
    setWindowTitle(appName + QLatin1Char(' ') + appVersion + QLatin1Char(' ') + appDate);

    QCoreApplication::setOrganizationName(QStringLiteral("Marwenta"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("marwenta.com"));
    QCoreApplication::setApplicationName(QStringLiteral("ZU-Dazazi-Zuvareridi"));
    QSettings settings;

    // The record and the daily log live beside the counters, in the application's data folder.
    const QString dataFolder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    const RecordTarget recordTarget = RecordTarget::parse(settings.value(SettingsKeys::RecordFile).toString());
    // No target names the default file: an empty name would give SQLite's private temporary
    // file, and every run would vanish.
    recordPath = recordTarget.isFile() ? recordTarget.filePath() : dataFolder + QStringLiteral("/records.sqlite");
    recordHost = settings.value(SettingsKeys::RecordHost).toString().trimmed();
    dailyLog = new DailyLog(dataFolder + QStringLiteral("/logs"));
    recordWriter = new RecordWriter(this);
    connect(recordWriter, &RecordWriter::sigProblem, this, &MainWindow::slotRecordProblem);
    recordWriter->start(recordPath);
    if (recordTarget.kind() == RecordTarget::TARGET_INVALID)
        slotRecordProblem(tr("Production record: %1 - runs are kept in %2.").arg(recordTarget.error(), recordPath));
    if (recordTarget.isServer())
        startRecordForwarder(recordTarget);

    ui->lblExamPortList->deleteLater();

    for (int row = 0; row < STATION_ROWS; ++row) {
        auto *rowLayout = new QHBoxLayout();
        for (int column = 0; column < STATIONS_PER_ROW; ++column) {
            auto *station = new SerialFlashWidget(nullptr);
            station->setSerialState(SerialFlashWidget::STATE_NOT_OPNED);
            station->setPortName(QString());
            station->setProgress(0);
            station->setFlashState(SerialFlashWidget::FLASH_NOT_STARTED);
            connect(station, &SerialFlashWidget::sigReportMsg, this, &MainWindow::slotShowMsgOnWindow);
            connect(station, &SerialFlashWidget::sigReportWorker, this,
                    &MainWindow::slotShowDownloadResultOnWindow);
            const int number = stations->size() + 1;
            connect(station, &SerialFlashWidget::sigReportRun, this, [this, number](RunRecord record) {
                record.station = number;
                if (!recordHost.isEmpty())
                    record.host = recordHost;
                recordWriter->submit(record);
            });
            rowLayout->addWidget(station);
            stations->append(station);
        }
        ui->verticalLayout_2->addLayout(rowLayout);
    }

    displayCounts(static_cast<int>(settings.value(SettingsKeys::PassCount, 0).toUInt()),
                  static_cast<int>(settings.value(SettingsKeys::FailCount, 0).toUInt()));

    // "Enter" names the keypad key; the big key that the operators and the user guide call
    // Enter is Return, so it starts the line as well.
    ui->btnStart->setShortcut(QKeySequence(tr("Enter"), QKeySequence::NativeText));
    auto *returnShortcut = new QShortcut(QKeySequence(Qt::Key_Return), this);
    connect(returnShortcut, &QShortcut::activated, this, [this]() {
        if (ui->btnStart->isEnabled())
            ui->btnStart->animateClick();
    });

    connect(&checkTimer, &QTimer::timeout, this, &MainWindow::checkActiveWorkerPeriodically);

    loadUserConfigFromSettings(userConfig);
    logLoaderSource(settings.value(SettingsKeys::LoaderDir).toString());

    okSound = makeSound(this, QStringLiteral(":/sounds/ok.wav"));
    errorSound = makeSound(this, QStringLiteral(":/sounds/error.wav"));

    connect(serialMonitor, &SerialMonitor::sigSerialScanResult, this, &MainWindow::slotSerialScanResult);
}

MainWindow::~MainWindow()
{
    // Destroying an effect whose sound the toolkit's sample cache is still loading can deadlock
    // in there, and nothing tells when loading is over: the two effects stay until the process
    // ends rather than going with the window.
    for (QSoundEffect *sound : {okSound, errorSound}) {
        if (sound)
            sound->setParent(nullptr);
    }
    checkTimer.stop();
    delete dailyLog;
    delete ui;
    delete userConfig;
    delete stations;
}

// Production ends only here: stations still at work stop their worker threads before the
// window goes; idle stations go with the window.
void MainWindow::closeEvent(QCloseEvent *event)
{
    for (int i = 0; i < stations->size();) {
        SerialFlashWidget *station = stations->at(i);
        if (!station->isWorking()) {
            ++i;
            continue;
        }
        station->stopWorker();
        stations->removeAt(i);
        delete station;
    }
    // Runs still queued for the record are written (for a bounded time) before the window goes.
    recordWriter->stop();
    event->accept();
}

void MainWindow::slotSerialScanResult(SerialMonitor::SerialScanResult result)
{
    switch (result) {
    case SerialMonitor::SCAN_RESULT_CHANGED:
    case SerialMonitor::SCAN_RESULT_ADDED:
    case SerialMonitor::SCAN_RESULT_REMOVED:
        refreshStationPorts(serialMonitor->currentPortList());
        break;
    default:
        break;
    }
}

void MainWindow::slotShowMsgOnWindow(QString portName, QString msg)
{
    appendLog(portName + QStringLiteral(": ") + msg);
}

void MainWindow::slotCfgDialogAccepted()
{
    if (!allWorkersIdle || !configDialog)
        return;
    if (configDialog->getUserConfig(userConfig))
        updateModeLabel(userConfig);
}

// A press that arrives while Start or Erase is under way or the line is at work does
// nothing: a second click, a double-click, or a Return whose delayed click lands on the
// disabled button or inside the erase question would start every station twice.
void MainWindow::on_btnStart_clicked()
{
    if (startingWork || !ui->btnStart->isEnabled())
        return;
    const QScopedValueRollback<bool> starting(startingWork, true);
    if (!checkBeforeWork())
        return;

    startOpenedStations(tr("start download..."), SerialFlashWidget::FLASH_NOT_STARTED,
                        SerialFlashWidget::SERIAL_MODE_DOWNLOADING);
}

void MainWindow::on_btnErase_clicked()
{
    if (startingWork || !ui->btnErase->isEnabled())
        return;
    const QScopedValueRollback<bool> starting(startingWork, true);
    if (!checkBeforeWork())
        return;

    const QMessageBox::StandardButton answer = QMessageBox::question(
            this, tr("!!!Warning!!!"), tr("Are you sure to erase the entire chip???"),
            QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, QMessageBox::Cancel);
    if (answer != QMessageBox::Yes) {
        appendLog(tr("quit erase"));
        return;
    }

    startOpenedStations(tr("start erase..."), SerialFlashWidget::FLASH_ERASING, SerialFlashWidget::SERIAL_MODE_ERASING);
}

void MainWindow::startOpenedStations(const QString &logText, SerialFlashWidget::FlashStateFlag look, int mode)
{
    for (SerialFlashWidget *station : qAsConst(*stations)) {
        if (station->serialState() != SerialFlashWidget::STATE_OPENED)
            continue;
        // Only the line the operator opened on this row is flashed: should a port scan ever free
        // or re-bind the row between its start line and its start, the row is left alone.
        const QString port = station->portName();
        appendLog(portPrefix(port) + logText);
        if (station->serialState() != SerialFlashWidget::STATE_OPENED || station->portName() != port)
            continue;
        station->setUserConfig(*userConfig);
        station->setFlashState(look);
        station->setWorkMode(mode);
        station->startWorker();
    }

    checkTimer.start(CHECK_PERIOD_MS);
    setControlsEnabled(false);
}

void MainWindow::slotShowDownloadResultOnWindow(QString portName, int result, QString message)
{
    // The name is the line of the finished run; another row bound to that line since then
    // may be in a run of its own, which must not be stopped.
    const auto *reporter = qobject_cast<SerialFlashWidget *>(sender());
    for (SerialFlashWidget *station : qAsConst(*stations)) {
        if (reporter ? station == reporter : station->portName() == portName)
            station->stopWorker();
    }

    // A counter that cannot be read and written as one step is left alone, and so is its
    // display: the LCDs keep the last values they showed rather than a guess.
    if (countMutex.tryLock(COUNT_LOCK_TIMEOUT_MS)) {
        QSettings settings;
        int pass = settings.value(SettingsKeys::PassCount, 0).toInt();
        int fail = settings.value(SettingsKeys::FailCount, 0).toInt();
        if (result == ErrorCodes::RESULT_SUCCESS)
            ++pass;
        else
            ++fail;
        saveCounts(pass, fail);
        countMutex.unlock();
        displayCounts(pass, fail);
    }

    const QString prefix = portPrefix(portName);
    appendLog(prefix + (message.isEmpty() ? ErrorCodes::errorString(result) : message));
    if (result != ErrorCodes::RESULT_SUCCESS && result != ErrorCodes::RESULT_PORT_OPEN_FAILED)
        appendLog(prefix + tr("download failed, please replace another chip and retry."));

    playResultSound(result == ErrorCodes::RESULT_SUCCESS);
}

void MainWindow::checkActiveWorkerPeriodically()
{
    for (SerialFlashWidget *station : qAsConst(*stations)) {
        if (station->isWorking()) {
            allWorkersIdle = false;
            return;
        }
    }
    allWorkersIdle = true;
    setControlsEnabled(true);
}

void MainWindow::on_actionClear_Count_triggered()
{
    displayCounts(0, 0);
    saveCounts(0, 0);
}

void MainWindow::on_actionUser_Guide_triggered()
{
    QMessageBox::information(this, tr("User Guide"), readDocument(QStringLiteral(":/documents/user_guide.txt")),
                             QMessageBox::Ok);
}

void MainWindow::on_actionAbout_Zodaruzizu_triggered()
{
    const QString text = readDocument(QStringLiteral(":/documents/about.txt")) + QStringLiteral("\r\n")
                         + appVersion + QStringLiteral("\r\n") + appDate;
    QMessageBox::about(this, tr("About"), text);
}

void MainWindow::on_actionEdit_Configurations_triggered()
{
    if (!configDialog) {
        configDialog = new ConfigDialog(this);
        connect(configDialog, &ConfigDialog::accepted, this, &MainWindow::slotCfgDialogAccepted);
    }
    configDialog->setModal(false);
    configDialog->setEnabled(allWorkersIdle);
    configDialog->loadSettings();
    configDialog->show();
}

void MainWindow::on_actionRam_Loader_Folder_triggered()
{
    const QString current = QSettings().value(SettingsKeys::LoaderDir).toString();
    const QString dir = QFileDialog::getExistingDirectory(this, tr("Folder of the vendor's RAM loaders"), current);
    if (!dir.isEmpty())
        setLoaderDir(dir);
}

void MainWindow::on_actionBuilt_in_Ram_Loaders_triggered()
{
    setLoaderDir(QString());
}

// Runs started from now on read the folder; a run already under way keeps its snapshot.
void MainWindow::setLoaderDir(const QString &dir)
{
    QSettings settings;
    settings.setValue(SettingsKeys::LoaderDir, dir);
    settings.sync();
    userConfig->setLoaderDir(dir);
    logLoaderSource(dir);
}

void MainWindow::logLoaderSource(const QString &dir)
{
    if (RamLoader::placeholderInUse(dir)) {
        appendLog(RamLoader::placeholderWarning());
        return;
    }
    if (dir.isEmpty())
        return;
    const RamLoader loaders = RamLoader::checkAll(dir);
    appendLog(loaders.isOk() ? tr("RAM loaders from %1").arg(QDir::toNativeSeparators(dir)) : loaders.message());
}

void MainWindow::on_actionProduction_Record_triggered()
{
    if (!recordView)
        recordView = new RecordView(recordPath, this);
    recordView->reload();
    recordView->show();
    recordView->raise();
}

// Runs wait in the local record while the line's server is away; the status bar counts them.
void MainWindow::startRecordForwarder(const RecordTarget &target)
{
    lblRecordsWaiting = new QLabel(this);
    lblRecordsWaiting->setObjectName(QStringLiteral("lblRecordsWaiting"));
    statusBar()->addPermanentWidget(lblRecordsWaiting);
    recordForwarder = new ForwarderThread(recordPath, target, this);
    RecordForwarder *forwarder = recordForwarder->forwarder();
    connect(recordWriter, &RecordWriter::sigCommitted, forwarder, &RecordForwarder::slotRecordCommitted);
    connect(forwarder, &RecordForwarder::sigWaitingCount, this, [this](int waiting) {
        lblRecordsWaiting->setText(tr("Records waiting for the server: %1").arg(waiting));
    });
    connect(forwarder, &RecordForwarder::sigServerStatus, this, [this](bool delivering, const QString &message) {
        if (delivering)
            appendLog(message);
        else
            slotRecordProblem(message);
    });
    recordForwarder->start();
}

// The record is an addition: production goes on without it, and the operator is told once.
void MainWindow::slotRecordProblem(QString message)
{
    appendLog(message);
    statusBar()->showMessage(message);
}

void MainWindow::appendLog(QString msg)
{
    const QDateTime now = QDateTime::currentDateTime();
    const QString line = now.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss:zzz")) + QStringLiteral(" | ") + msg;
    ui->txtLog->appendPlainText(line);
    dailyLog->append(now, line);
    QTextCursor cursor = ui->txtLog->textCursor();
    cursor.movePosition(QTextCursor::End);
    ui->txtLog->setTextCursor(cursor);
    // No event processing here: the workers run in their own threads, so the pane repaints as
    // soon as the caller returns, and a log line must never let a press, a port scan or a close
    // run in the middle of Start or Erase.
}

void MainWindow::setControlsEnabled(bool enabled)
{
    ui->btnStart->setEnabled(enabled);
    if (userConfig->downloadMode() == UserConfig::DOWNLOAD_MODE_SINGLESHOT)
        ui->btnErase->setEnabled(enabled);
    for (SerialFlashWidget *station : qAsConst(*stations)) {
        if (!station->portName().isEmpty())
            station->setOpenCloseEnabled(enabled);
    }
}

void MainWindow::updateModeLabel(UserConfig *config)
{
    if (!config)
        return;
    switch (config->downloadMode()) {
    case UserConfig::DOWNLOAD_MODE_SINGLESHOT:
        ui->lblMode->setText(tr("singleshot"));
        ui->lblMode->setStyleSheet(QStringLiteral("background: yellow;"));
        ui->btnErase->setEnabled(true);
        break;
    case UserConfig::DOWNLOAD_MODE_CONTINUOUS:
        ui->lblMode->setText(tr("continuous"));
        ui->lblMode->setStyleSheet(QStringLiteral("background: green;"));
        ui->btnErase->setEnabled(false);
        break;
    default:
        ui->lblMode->setText(tr("Invalid Mode"));
        break;
    }
}

void MainWindow::displayCounts(int pass, int fail)
{
    ui->lcdPassCount->display(pass);
    ui->lcdFailCount->display(fail);
}

void MainWindow::saveCounts(int pass, int fail)
{
    QSettings settings;
    settings.setValue(SettingsKeys::PassCount, pass);
    settings.setValue(SettingsKeys::FailCount, fail);
    settings.sync();
}

void MainWindow::playResultSound(bool pass)
{
    QSoundEffect *sound = pass ? okSound : errorSound;
    if (sound)
        sound->play();
}

void MainWindow::refreshStationPorts(const QStringList &portNames)
{
    StationBinding::refreshStationPorts(*stations, portNames);
}

bool MainWindow::hasStationForPort(QString portName)
{
    return StationBinding::hasStationForPort(*stations, portName);
}

bool MainWindow::checkBeforeWork()
{
    bool anyOpened = false;
    for (SerialFlashWidget *station : qAsConst(*stations)) {
        if (station->serialState() == SerialFlashWidget::STATE_OPENED) {
            anyOpened = true;
            break;
        }
    }
    if (!anyOpened) {
        appendLog(tr("Please select some serial ports before work starts!!!"));
        return false;
    }

    if (configDialog) {
        if (!configDialog->getUserConfig(userConfig)) {
            appendLog(tr("user config is invalid, check baudrate/filepath and startaddr in config dialog!!!"));
            return false;
        }
    } else {
        loadUserConfigFromSettings(userConfig);
    }

    updateModeLabel(userConfig);

    if (!userConfig->isValid()) {
        appendLog(tr("Invalid mode, please use **singleshot** or **continuous** mode!!!"));
        return false;
    }
    return true;
}

bool MainWindow::loadUserConfigFromSettings(UserConfig *config)
{
    const bool valid = UserConfig::buildFromSettings(config);
    if (valid)
        updateModeLabel(config);
    return valid;
}
