#include "toolarguments.h"

#include "errorcodes.h"

#include <QCommandLineParser>

#include <cstdio>

QString ToolArguments::errorMessage() const
{
    return ErrorCodes::errorString(code);
}

void ToolArguments::printError() const
{
    QString text = QStringLiteral("error 0x%1: %2\n")
                       .arg(QString::number(code, 16).toUpper().rightJustified(4, QLatin1Char('0')), errorMessage());
    if (!detail.isEmpty())
        text += QStringLiteral("  %1\n").arg(detail);
    std::fputs(text.toLocal8Bit().constData(), stderr);
    std::fflush(stderr);
}

bool ToolArguments::readCommandLine(QCommandLineParser &parser, const QStringList &arguments)
{
    if (!parser.parse(arguments))
        return fail(ErrorCodes::RESULT_ARGS_PARSE_FAILED, parser.errorText());
    help = parser.isSet(QStringLiteral("help"));
    return !help;
}

bool ToolArguments::fail(int errorCode, const QString &what)
{
    code = errorCode;
    detail = what;
    return false;
}
