#ifndef REPORTOPTIONS_H
#define REPORTOPTIONS_H

#include "recordquery.h"
#include "recordtarget.h"
#include "toolarguments.h"

#include <QString>
#include <QStringList>

// The command line of the report, read and checked as a whole before the file is opened.
class ReportOptions : public ToolArguments
{
public:
    // arguments starts with the program name. False when they are wrong; errorCode(),
    // errorMessage() and errorDetail() say why.
    bool parse(const QStringList &arguments);

    static QString helpText();

    QString file() const { return path; }
    // The file, or the server whose copy of the line's record is read.
    RecordTarget source() const { return target; }
    RecordQuery::Filter filter() const { return runFilter; }
    RecordQuery::Grouping grouping() const { return group; }
    bool csv() const { return csvOutput; }

private:
    bool readDate(const QStringList &given, const QString &name, QDate *date);

    QString path;
    RecordTarget target;
    RecordQuery::Filter runFilter;
    RecordQuery::Grouping group = RecordQuery::GROUP_BY_DAY;
    bool csvOutput = false;
};

#endif // REPORTOPTIONS_H
