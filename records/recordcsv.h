#ifndef RECORDCSV_H
#define RECORDCSV_H

#include "runrecord.h"

#include <QByteArray>
#include <QList>
#include <QString>

// One line per run with its images, as a spreadsheet opens it (RFC 4180: comma separated,
// CR LF line ends, fields with a comma, quote or line break in double quotes).
class RecordCsv
{
public:
    static constexpr int IMAGE_COLUMNS = 4;

    static QString header();
    static QString line(const RunRecord &record);
    // Header and every run, UTF-8.
    static QByteArray document(const QList<RunRecord> &records);
    static QString quoted(const QString &field);
};

#endif // RECORDCSV_H
