#include "configdialog.h"
#include "ui_configdialog.h"

#include "filecfgwidget.h"
#include "msglabel.h"
#include "settingskeys.h"
#include "userconfig.h"

#include <QCloseEvent>
#include <QIntValidator>
#include <QLocale>
#include <QSettings>
#include <QStringList>

ConfigDialog::ConfigDialog(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::ConfigDialog)
{
    ui->setupUi(this);

    // Digits only: a speed typed with group separators would pass a locale-aware check but
    // read back from the store as 0.
    auto *validator = new QIntValidator(int(UserConfig::BAUDRATE_MIN), int(UserConfig::BAUDRATE_MAX), this);
    QLocale digitsOnly = QLocale::c();
    digitsOnly.setNumberOptions(QLocale::RejectGroupSeparator);
    validator->setLocale(digitsOnly);
    ui->leditBaudrate->setValidator(validator);

    msgLabel = new MsgLabel(this);
    msgLabel->setObjectName(QStringLiteral("msgLabel"));
    ui->mainVLayout->addWidget(msgLabel);

    for (int row = 0; row < UserConfig::FILE_ROW_COUNT; ++row) {
        auto *rowWidget = new FileCfgWidget(this);
        rowWidget->setProperty("key_file_index", row);
        fileCfgWidgets.append(rowWidget);
        ui->vLayoutFileCfg->addWidget(rowWidget);
    }

    loadSettings();
}

ConfigDialog::~ConfigDialog() = default;

// Programmatic setText does not emit textEdited, so loading never writes the speed back.
void ConfigDialog::loadSettings()
{
    QSettings settings;
    ui->cBoxMode->setCurrentIndex(int(settings.value(SettingsKeys::DownloadModeIndex, 0).toUInt()));
    ui->leditBaudrate->setText(
        QString::number(settings.value(SettingsKeys::Baudrate, UserConfig::BAUDRATE_DEFAULT).toUInt()));
    for (int row = 0; row < fileCfgWidgets.size(); ++row) {
        FileCfgWidget *rowWidget = fileCfgWidgets.at(row);
        rowWidget->setFilePath(settings.value(SettingsKeys::filePathKey(row), QString()).toString());
        rowWidget->setStartAddr(settings.value(SettingsKeys::startAddrKey(row), QString()).toString());
    }
}

bool ConfigDialog::getUserConfig(UserConfig *config)
{
    if (!config)
        return false;
    QStringList paths;
    QStringList addrTexts;
    for (const FileCfgWidget *rowWidget : qAsConst(fileCfgWidgets)) {
        paths << rowWidget->filePathText();
        addrTexts << rowWidget->startAddrText();
    }
    return UserConfig::buildFromRows(config, paths, addrTexts);
}

// Closing by the title bar counts as confirmation: everything was stored while it was edited.
void ConfigDialog::closeEvent(QCloseEvent *event)
{
    if (isVisible())
        accept();
    event->accept();
}

void ConfigDialog::on_leditBaudrate_textEdited(const QString &baudrate)
{
    QString candidate = baudrate;
    int pos = 0;
    if (ui->leditBaudrate->validator()->validate(candidate, pos) == QValidator::Acceptable) {
        msgLabel->showMsg(tr("Acceptable baudrate [%1].").arg(baudrate), MsgLabel::MSG_LEVEL_SUCCESS);
        QSettings settings;
        settings.setValue(SettingsKeys::Baudrate, baudrate);
        settings.sync();
    } else {
        msgLabel->showMsg(tr("Valid range is: [%1, %2]!!!").arg(UserConfig::BAUDRATE_MIN).arg(UserConfig::BAUDRATE_MAX),
                          MsgLabel::MSG_LEVEL_ERROR);
    }
}

void ConfigDialog::on_cBoxMode_currentIndexChanged(int index)
{
    QSettings settings;
    settings.setValue(SettingsKeys::DownloadModeIndex, index);
    settings.sync();
}

void ConfigDialog::on_btnConfirm_clicked()
{
    accept();
}
