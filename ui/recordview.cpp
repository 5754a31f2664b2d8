#include "recordview.h"
#include "ui_recordview.h"

#include "recordcsv.h"

#include <QComboBox>
#include <QDateEdit>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QSaveFile>
#include <QTableWidget>

namespace {

// The days the view opens with: this UTC day and the six before it.
constexpr int DEFAULT_DAYS = 7;

void fillTable(QTableWidget *table, const QStringList &headers, const QList<QStringList> &rows)
{
    table->clearContents();
    table->setColumnCount(headers.size());
    table->setHorizontalHeaderLabels(headers);
    table->setRowCount(rows.size());
    for (int row = 0; row < rows.size(); ++row) {
        for (int column = 0; column < rows.at(row).size(); ++column)
            table->setItem(row, column, new QTableWidgetItem(rows.at(row).at(column)));
    }
    table->resizeColumnsToContents();
}

} // namespace

RecordView::RecordView(const QString &path, QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::RecordView)
    , path(path)
{
    ui->setupUi(this);
    const QDate today = QDateTime::currentDateTimeUtc().date();
    ui->dateSince->setDate(today.addDays(1 - DEFAULT_DAYS));
    ui->dateUntil->setDate(today);
    ui->tblRuns->horizontalHeader()->setStretchLastSection(true);
    connect(ui->dateSince, &QDateEdit::dateChanged, this, &RecordView::reload);
    connect(ui->dateUntil, &QDateEdit::dateChanged, this, &RecordView::reload);
    connect(ui->cBoxOutcome, QOverload<int>::of(&QComboBox::currentIndexChanged), this, &RecordView::reload);
    reload();
}

RecordView::~RecordView() = default;

RecordQuery::Filter RecordView::currentFilter() const
{
    RecordQuery::Filter filter;
    filter.since = ui->dateSince->date();
    filter.until = ui->dateUntil->date();
    const int outcome = ui->cBoxOutcome->currentIndex();
    filter.outcome = outcome == 1 ? RecordQuery::PASSED_RUNS : outcome == 2 ? RecordQuery::FAILED_RUNS : RecordQuery::ALL_RUNS;
    return filter;
}

bool RecordView::ensureOpen()
{
    if (store.isOpen())
        return true;
    if (store.openForReading(path) == RecordStore::STORE_OK)
        return true;
    showStatus(QFile::exists(path) ? store.error() : tr("No run has been recorded yet in %1.").arg(path));
    return false;
}

void RecordView::reload()
{
    fillTable(ui->tblRuns, {}, {});
    fillTable(ui->tblYield, {}, {});
    if (!ensureOpen())
        return;

    RecordQuery query(store.database());
    const RecordQuery::Filter filter = currentFilter();
    QList<RunRecord> runs;
    QList<RecordQuery::Yield> yield;
    // A yield counts passes and fails alike: it looks at the days only, not at the result filter.
    RecordQuery::Filter days = filter;
    days.outcome = RecordQuery::ALL_RUNS;
    if (!query.runs(filter, true, MAX_LISTED_RUNS, &runs) || !query.yield(days, RecordQuery::GROUP_BY_STATION, &yield)) {
        showStatus(query.error());
        return;
    }

    QList<QStringList> rows;
    for (const RunRecord &run : qAsConst(runs)) {
        int written = 0;
        for (const RunImage &image : run.images)
            written += image.written ? 1 : 0;
        rows << QStringList{run.startedAt.toLocalTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")),
                            run.station > 0 ? QString::number(run.station) : QString(),
                            run.port,
                            run.chipFamily,
                            run.workMode,
                            run.passed() ? tr("Pass") : tr("Fail"),
                            QStringLiteral("0x") + QString::number(run.code & 0xFFFF, 16).toUpper().rightJustified(4, QLatin1Char('0')),
                            QStringLiteral("%1/%2").arg(written).arg(run.images.size()),
                            run.message};
    }
    fillTable(ui->tblRuns,
              {tr("Started"), tr("Station"), tr("Port"), tr("Family"), tr("Mode"), tr("Result"), tr("Code"), tr("Images"),
               tr("Message")},
              rows);

    rows.clear();
    yield.append(RecordQuery::total(yield));
    for (const RecordQuery::Yield &row : qAsConst(yield))
        rows << QStringList{row.group, QString::number(row.runs), QString::number(row.passed),
                            QString::number(row.failed()), row.passRateText()};
    fillTable(ui->tblYield, {tr("Station"), tr("Runs"), tr("Passed"), tr("Failed"), tr("Pass rate")}, rows);

    showStatus(runs.size() < MAX_LISTED_RUNS ? tr("%1 run(s) in %2").arg(runs.size()).arg(path)
                                             : tr("The latest %1 runs in %2").arg(runs.size()).arg(path));
}

bool RecordView::exportCsv(const QString &target)
{
    if (!ensureOpen())
        return false;
    RecordQuery query(store.database());
    QList<RunRecord> runs;
    if (!query.runs(currentFilter(), false, 0, &runs)) {
        showStatus(query.error());
        return false;
    }
    // Written aside and renamed: a spreadsheet never opens half a file.
    QSaveFile file(target);
    const QByteArray csv = RecordCsv::document(runs);
    if (!file.open(QIODevice::WriteOnly) || file.write(csv) != csv.size() || !file.commit()) {
        showStatus(tr("Cannot write %1: %2").arg(target, file.errorString()));
        return false;
    }
    showStatus(tr("%1 run(s) exported to %2").arg(runs.size()).arg(target));
    return true;
}

void RecordView::on_btnRefresh_clicked()
{
    reload();
}

void RecordView::on_btnExportCsv_clicked()
{
    const QString target = QFileDialog::getSaveFileName(this, tr("Export CSV"), QStringLiteral("records.csv"),
                                                        tr("CSV files (*.csv)"));
    if (!target.isEmpty())
        exportCsv(target);
}

void RecordView::showStatus(const QString &text)
{
    ui->lblStatus->setText(text);
}
