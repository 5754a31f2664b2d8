#ifndef TOOLARGUMENTS_H
#define TOOLARGUMENTS_H

#include <QString>
#include <QStringList>

class QCommandLineParser;

// What the command-line tools share about their arguments: help asked for, or the result code
// of the first wrong argument and which argument it was, reported the same way by every tool.
class ToolArguments
{
public:
    virtual ~ToolArguments() = default;

    bool helpRequested() const { return help; }
    int errorCode() const { return code; }
    // The code's message, its details filled in.
    virtual QString errorMessage() const;
    // Which argument was refused, for the line after the message; may be empty.
    QString errorDetail() const { return detail; }

    // "error 0xCODE: message" on stderr, then the refused argument on a line of its own.
    void printError() const;

protected:
    bool fail(int errorCode, const QString &what);
    // Reads the arguments (program name first) into a parser that knows the "help" option.
    // False when nothing more is to be read: help was asked for, or the line could not be read
    // (then the error says why).
    bool readCommandLine(QCommandLineParser &parser, const QStringList &arguments);

    bool help = false;
    int code = 0;
    QString detail;
};

#endif // TOOLARGUMENTS_H
