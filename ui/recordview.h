#ifndef RECORDVIEW_H
#define RECORDVIEW_H

#include "recordquery.h"
#include "recordstore.h"

#include <QDialog>
#include <QString>

#include <memory>

namespace Ui {
class RecordView;
}

// The production record for the line engineer: the latest runs, newest first, filtered by
// UTC day and by result, and the yield of every station over the same days. It only reads
// the file; the record writer keeps writing meanwhile.
class RecordView : public QDialog
{
    Q_OBJECT

public:
    // The list shows at most this many runs; the yield and the export count every run.
    static constexpr int MAX_LISTED_RUNS = 1000;

    explicit RecordView(const QString &path, QWidget *parent = nullptr);
    ~RecordView() override;

    // Reads the file again with the current filter.
    void reload();
    // Every run of the current filter, oldest first, in the CSV of zdz-report --csv.
    bool exportCsv(const QString &target);

private slots:
    void on_btnRefresh_clicked();
    void on_btnExportCsv_clicked();

private:
    RecordQuery::Filter currentFilter() const;
    bool ensureOpen();
    void showStatus(const QString &text);

    std::unique_ptr<Ui::RecordView> ui;
    QString path;
    RecordStore store;
};

#endif // RECORDVIEW_H
