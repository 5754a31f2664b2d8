#include "serialflashwidget.h"
#include "ui_serialflashwidget.h"

#include "errorcodes.h"

#include <QColor>
#include <QPalette>
#include <QSerialPort>

namespace {

struct FlashLook {
    const char *text;
    QColor textColour;
    QColor baseColour;
    bool clearsProgress;
};

bool flashLook(int state, FlashLook *look)
{
    switch (state) {
    case SerialFlashWidget::FLASH_NOT_STARTED:
        *look = {QT_TRANSLATE_NOOP("SerialFlashWidget", "Not Started"), QColor(47, 79, 79), QColor(255, 255, 240), true};
        return true;
    case SerialFlashWidget::FLASH_DOWNLOADING:
        *look = {QT_TRANSLATE_NOOP("SerialFlashWidget", "Downloading"), QColor(127, 255, 212), QColor(255, 255, 255),
                 false};
        return true;
    case SerialFlashWidget::FLASH_ERASING:
        *look = {QT_TRANSLATE_NOOP("SerialFlashWidget", "Erasing"), QColor(255, 255, 0), QColor(0, 0, 0), true};
        return true;
    case SerialFlashWidget::FLASH_PASS:
        *look = {QT_TRANSLATE_NOOP("SerialFlashWidget", "Pass"), QColor(255, 255, 255), QColor(0, 255, 0), false};
        return true;
    case SerialFlashWidget::FLASH_FAIL:
        *look = {QT_TRANSLATE_NOOP("SerialFlashWidget", "Fail"), QColor(0, 0, 0), QColor(255, 0, 0), false};
        return true;
    }
    return false;
}

} // namespace

SerialFlashWidget::SerialFlashWidget(QWidget *parent)
    : QWidget(parent)
    , working(false)
    , userConfig()
    , serialPort(new QSerialPort)
    , worker(nullptr)
    , workerThread()
    , workMode(SERIAL_MODE_DOWNLOADING)
    , ui(new Ui::SerialFlashWidget)
{
    ui->setupUi(this);
    reset();

    registerUserConfigMetaType();
    qRegisterMetaType<Worker::ChipCodeVerFlag>("Worker::ChipCodeVerFlag");

    createWorker();
}

SerialFlashWidget::~SerialFlashWidget()
{
    delete ui;
    ui = nullptr;

    // The worker's slots return quickly, so an unbounded wait ends soon; destroying a
    // running thread would abort the whole program, and with it every other line.
    // Not only while isRunning(): a thread in its finishing phase (after a stopWorker() that
    // timed out) reports false there, yet is still deleting the worker.
    workerThread.quit();
    workerThread.wait();
    // A worker whose thread never ran (or that replaced one deleted at the thread's end)
    // has no thread left to delete it.
    delete worker.data();

    if (serialPort->isOpen()) {
        serialPort->clear(QSerialPort::AllDirections);
        serialPort->close();
    }
    delete serialPort;
}

void SerialFlashWidget::createWorker()
{
    // The result crosses threads with its record; unregistered, the queued call is dropped.
    registerWorkerMetaTypes();
    worker = new Worker;
    worker->moveToThread(&workerThread);

    connect(&workerThread, &QThread::started, worker, &Worker::slotWorkerInit);
    connect(&workerThread, &QThread::finished, worker, &QObject::deleteLater);
    connect(this, &SerialFlashWidget::sigSetUserConfig, worker, &Worker::slotSetUserConfig);
    connect(this, &SerialFlashWidget::sigSetWorkerPortName, worker, &Worker::slotSetWorkerPortName);
    connect(this, &SerialFlashWidget::sigSetWorkerMode, worker, &Worker::slotSetWorkerMode);
    connect(this, &SerialFlashWidget::sigWorkerStart, worker, &Worker::slotWorkerStart);
    connect(worker, &Worker::sigWorkerReadyToWork, this, &SerialFlashWidget::slotHandleWorkerReadyToWork);
    connect(worker, &Worker::sigWorkerReportResult, this, &SerialFlashWidget::slotHandleWorkerReportResult);
    connect(worker, &Worker::sigWorkerReportYmodemProgress, this,
            &SerialFlashWidget::slotHandleWorkerReportYmodemProgress);
}

// A thread asked to quit deletes its worker when it finishes; the next start must wait for
// that and build a new worker, or its signals would go nowhere and the row would show
// "Downloading" for ever.
void SerialFlashWidget::finishStoppingThread()
{
    if (threadQuitRequested) {
        workerThread.wait();
        threadQuitRequested = false;
    }
    if (!workerThread.isRunning() && worker.isNull()) {
        createWorker();
        emit sigSetWorkerMode(workMode);
    }
}

void SerialFlashWidget::setPortName(const QString &name)
{
    ui->leditPortName->setText(name);
    ui->leditPortName->setStatusTip(name);

    if (serialPort->isOpen())
        serialPort->close();

    if (!name.isEmpty()) {
        ui->rdbtnOpenClose->setEnabled(true);
        serialPort->setPortName(name);
        emit sigSetWorkerPortName(name);
    } else {
        ui->rdbtnOpenClose->setEnabled(false);
        ui->rdbtnOpenClose->setChecked(false);
    }
}

QString SerialFlashWidget::portName() const
{
    return ui->leditPortName->text();
}

void SerialFlashWidget::setSerialState(SerialStateFlag state)
{
    switch (state) {
    case STATE_NOT_OPNED:
        ui->rdbtnOpenClose->setText(tr("Not Opened"));
        ui->rdbtnOpenClose->setChecked(false);
        break;
    case STATE_CLOSED:
        ui->rdbtnOpenClose->setText(tr("Closed"));
        ui->rdbtnOpenClose->setChecked(false);
        break;
    case STATE_OPENED:
        ui->rdbtnOpenClose->setText(tr("Opened"));
        ui->rdbtnOpenClose->setChecked(true);
        break;
    }
}

SerialFlashWidget::SerialStateFlag SerialFlashWidget::serialState() const
{
    const QString text = ui->rdbtnOpenClose->text();
    if (text == tr("Opened"))
        return STATE_OPENED;
    if (text == tr("Closed"))
        return STATE_CLOSED;
    return STATE_NOT_OPNED;
}

void SerialFlashWidget::setFlashState(FlashStateFlag state)
{
    FlashLook look;
    if (!flashLook(state, &look))
        return;

    ui->leditResult->setText(tr(look.text));
    QPalette palette = ui->leditResult->palette();
    palette.setBrush(QPalette::All, QPalette::Text, look.textColour);
    palette.setBrush(QPalette::All, QPalette::Base, look.baseColour);
    ui->leditResult->setPalette(palette);

    if (look.clearsProgress)
        ui->prgbarFlash->setValue(0);
}

void SerialFlashWidget::setProgress(int progress)
{
    ui->prgbarFlash->setValue(qBound(0, progress, 100));
}

void SerialFlashWidget::setWorkMode(int mode)
{
    workMode = mode;
    emit sigSetWorkerMode(mode);
}

void SerialFlashWidget::setUserConfig(const UserConfig &config)
{
    userConfig = config;
}

void SerialFlashWidget::setOpenCloseEnabled(bool enabled)
{
    ui->rdbtnOpenClose->setEnabled(enabled);
}

void SerialFlashWidget::reset()
{
    setSerialState(STATE_NOT_OPNED);
    working = false;
    setPortName(QString());
    setProgress(0);
    setFlashState(FLASH_NOT_STARTED);
}

int SerialFlashWidget::startWorker()
{
    // The worker opens the device itself, in its own thread; both must never hold it at once.
    if (serialPort->isOpen())
        serialPort->close();

    if (workMode == SERIAL_MODE_DOWNLOADING)
        setFlashState(FLASH_DOWNLOADING);
    else if (workMode == SERIAL_MODE_ERASING)
        setFlashState(FLASH_ERASING);

    finishStoppingThread();
    workerThread.start(QThread::InheritPriority);
    if (!workerThread.isRunning())
        return ErrorCodes::RESULT_PORT_OPEN_FAILED;

    emit sigSetUserConfig(userConfig);
    emit sigSetWorkerPortName(serialPort->portName());
    emit sigWorkerStart();

    working = true;
    return ErrorCodes::RESULT_SUCCESS;
}

// Bounded so that the window never freezes on a stuck line; a thread still finishing is
// waited for by the next start or by the destructor, never destroyed while it runs.
void SerialFlashWidget::stopWorker()
{
    if (working && workerThread.isRunning()) {
        workerThread.quit();
        threadQuitRequested = true;
        if (workerThread.wait(20))
            threadQuitRequested = false;
    }
    working = false;
}

bool SerialFlashWidget::isWorking() const
{
    return working && workerThread.isRunning();
}

void SerialFlashWidget::on_rdbtnOpenClose_clicked(bool checked)
{
    // The row's name, not the port object's: for a line under /dev the object drops the
    // folder ("pts/3"), and the log must name the port as the row shows it.
    const QString name = portName();

    if (checked) {
        serialPort->open(QIODevice::ReadWrite);
        if (serialPort->isOpen()) {
            working = true;
            setSerialState(STATE_OPENED);
        } else {
            working = false;
            setSerialState(STATE_NOT_OPNED);
            emit sigReportMsg(name, tr("open failed, check if port has been opened by another application."));
        }
    } else {
        if (serialPort->isOpen())
            serialPort->close();
        working = false;
        setSerialState(STATE_CLOSED);
    }
}

void SerialFlashWidget::slotHandleWorkerReadyToWork(Worker::ChipCodeVerFlag codeVer)
{
    Q_UNUSED(codeVer)
    setProgress(0);
    setFlashState(FLASH_DOWNLOADING);
}

void SerialFlashWidget::slotHandleWorkerReportResult(int result, RunRecord record)
{
    setFlashState(result != 0 ? FLASH_FAIL : FLASH_PASS);
    working = false;
    // Before the result: the window's handling of the result may close it and this station.
    emit sigReportRun(record);
    emit sigReportWorker(portName(), result);
}

void SerialFlashWidget::slotHandleWorkerReportYmodemProgress(int fileID, int progress)
{
    if (workMode == SERIAL_MODE_ERASING)
        return;

    // A record without files sends no image; counting it as one file keeps the bar's range
    // sane and never shows "Pass" for a transfer that has not reached its end.
    const int files = qMax(1, static_cast<int>(userConfig.validFileCount()));
    const int maximum = files * 100;
    ui->prgbarFlash->setMaximum(maximum);
    ui->prgbarFlash->setFormat(QStringLiteral("%p%"));
    ui->prgbarFlash->setTextVisible(true);

    const qint64 file = qMax(1, fileID);
    const qint64 value = (file - 1) * 100 + progress;
    ui->prgbarFlash->setValue(static_cast<int>(qBound<qint64>(0, value, maximum)));

    if (maximum <= progress)
        setFlashState(FLASH_PASS);
    else if (progress != 0)
        setFlashState(FLASH_DOWNLOADING);
    else
        setFlashState(FLASH_NOT_STARTED);
}
