#include "filecfgwidget.h"
#include "ui_filecfgwidget.h"

#include "settingskeys.h"
#include "userconfig.h"

#include <QFileDialog>
#include <QSettings>
#include <QVariant>

FileCfgWidget::FileCfgWidget(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::FileCfgWidget)
{
    ui->setupUi(this);
}

FileCfgWidget::~FileCfgWidget() = default;

void FileCfgWidget::setFilePath(const QString &path)
{
    ui->leditFilePath->setText(path);
}

void FileCfgWidget::setStartAddr(const QString &addr)
{
    ui->leditStartAddr->setText(addr);
}

QString FileCfgWidget::filePathText() const
{
    return ui->leditFilePath->text();
}

QString FileCfgWidget::startAddrText() const
{
    return ui->leditStartAddr->text();
}

// A row that was never numbered owns no keys, so it must not overwrite row 0's image.
bool FileCfgWidget::rowIndex(unsigned *row) const
{
    bool ok = false;
    *row = property("key_file_index").toUInt(&ok);
    return ok && *row < unsigned(UserConfig::FILE_ROW_COUNT);
}

void FileCfgWidget::on_btnSelectFilepath_clicked()
{
    unsigned row = 0;
    if (!rowIndex(&row))
        return;
    const QString key = SettingsKeys::filePathKey(row);
    const QString start = QSettings().value(key, QString()).toString();
    const QString path = QFileDialog::getOpenFileName(this, tr("Select *.bin file:"), start,
                                                      QStringLiteral("bin (*.bin)"));
    if (path.isEmpty())
        return;
    ui->leditFilePath->setText(path);
    QSettings settings;
    settings.setValue(key, path);
    settings.sync();
}

// Stored exactly as typed: a text that is not hexadecimal only drops the row when the
// configuration is built.
void FileCfgWidget::on_leditStartAddr_textEdited(const QString &addr)
{
    unsigned row = 0;
    if (!rowIndex(&row))
        return;
    QSettings settings;
    settings.setValue(SettingsKeys::startAddrKey(row), addr);
    settings.sync();
}

void FileCfgWidget::on_btnReset_clicked()
{
    ui->leditFilePath->setText(QString());
    ui->leditStartAddr->setText(QString());
    unsigned row = 0;
    if (!rowIndex(&row))
        return;
    QSettings settings;
    settings.setValue(SettingsKeys::filePathKey(row), QString());
    settings.setValue(SettingsKeys::startAddrKey(row), QString());
    settings.sync();
}
