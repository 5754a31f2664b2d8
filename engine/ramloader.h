#ifndef RAMLOADER_H
#define RAMLOADER_H

#include "worker.h"

#include <QString>

// The RAM loader one run uploads to a chip: the vendor's file from the configured loader
// folder, or the one built into the program when no folder is set.
class RamLoader
{
public:
    // No ROM loader holds more in RAM; anything larger is the wrong file.
    static constexpr qint64 MaxSize = 256 * 1024;

    // The family's loader; isOk() is false when it is missing, unreadable, empty or too large.
    static RamLoader resolve(Worker::ChipCodeVerFlag codeVer, const QString &loaderDir);
    // The folder and every family's loader in it, so that a bad file ends a run before anything
    // goes on the line: the first that fails, else the last that passed. A family whose file is
    // absent is left to resolve() once a chip of that family answers.
    static RamLoader checkAll(const QString &loaderDir);

    bool isOk() const { return error == 0; }
    // 0, or ErrorCodes::RESULT_RAMCODE_FILE_INVALID (also for a code without a family).
    int errorCode() const { return error; }
    // What the transmitter opens (a resource path for a built-in loader) and what it sends.
    QString path() const { return filePath; }
    qint64 size() const { return fileSize; }
    bool isBuiltIn() const { return builtIn; }
    // The built-in loaders of the standard build are stand-ins that only the simulator runs.
    bool isPlaceholder() const;
    QString sha256() const;
    // The message of a failed lookup, naming the file.
    QString message() const;

    // True when runs with this folder setting would upload a stand-in to some family.
    static bool placeholderInUse(const QString &loaderDir);
    static QString placeholderWarning();

private:
    int error = 0;
    QString filePath;
    qint64 fileSize = -1;
    bool builtIn = false;
};

#endif // RAMLOADER_H
