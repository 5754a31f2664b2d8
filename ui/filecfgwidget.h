#ifndef FILECFGWIDGET_H
#define FILECFGWIDGET_H

#include <QWidget>

#include <memory>

namespace Ui {
class FileCfgWidget;
}

// One image row of the configuration dialog: a file path and the flash address it starts at.
// The dialog numbers the row through the dynamic property "key_file_index"; every edit is
// stored at once under that row's settings keys.
class FileCfgWidget : public QWidget
{
    Q_OBJECT

public:
    explicit FileCfgWidget(QWidget *parent = nullptr);
    ~FileCfgWidget() override;

    void setFilePath(const QString &path);
    void setStartAddr(const QString &addr);
    QString filePathText() const;
    QString startAddrText() const;

private slots:
    void on_btnSelectFilepath_clicked();
    void on_leditStartAddr_textEdited(const QString &addr);
    void on_btnReset_clicked();

private:
    bool rowIndex(unsigned *row) const;

    std::unique_ptr<Ui::FileCfgWidget> ui;
};

#endif // FILECFGWIDGET_H
