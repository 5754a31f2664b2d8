#ifndef CONFIGDIALOG_H
#define CONFIGDIALOG_H

#include <QDialog>
#include <QList>

#include <memory>

class FileCfgWidget;
class MsgLabel;
class QCloseEvent;
class UserConfig;

namespace Ui {
class ConfigDialog;
}

// The operator's editor of the download mode, the line speed and the four image rows.
// Every field goes to the settings store the moment it changes; the dialog keeps no
// configuration of its own and builds a UserConfig on request.
class ConfigDialog : public QDialog
{
    Q_OBJECT

public:
    explicit ConfigDialog(QWidget *parent = nullptr);
    ~ConfigDialog() override;

    void loadSettings();
    bool getUserConfig(UserConfig *config);

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void on_leditBaudrate_textEdited(const QString &baudrate);
    void on_cBoxMode_currentIndexChanged(int index);
    void on_btnConfirm_clicked();

private:
    std::unique_ptr<Ui::ConfigDialog> ui;
    MsgLabel *msgLabel = nullptr;
    QList<FileCfgWidget *> fileCfgWidgets;
};

#endif // CONFIGDIALOG_H
