#ifndef FLASHOPTIONS_H
#define FLASHOPTIONS_H

#include "recordtarget.h"
#include "toolarguments.h"
#include "userconfig.h"

#include <QList>
#include <QString>
#include <QStringList>

// The command line of the flasher, read and checked as a whole before any port is touched.
// A wrong argument yields the result code and the filled-in message the operator sees.
class FlashOptions : public ToolArguments
{
public:
    static constexpr int MAX_FILES = UserConfig::FILE_ROW_COUNT;
    static constexpr quint32 SECTOR_SIZE = 0x1000;

    FlashOptions() = default;

    // arguments starts with the program name, as QCoreApplication::arguments() gives it.
    // False when the arguments are wrong; errorCode(), errorMessage() and errorDetail() say why.
    bool parse(const QStringList &arguments);

    static QString helpText();
    QString errorMessage() const override;

    // The ports as given, and the device each one opens, in the same order.
    QStringList portNames() const { return ports; }
    QStringList portDevices() const { return devices; }
    QList<FileCfg> files() const { return fileList; }
    quint32 baudrate() const { return speed; }
    bool continuous() const { return continuousMode; }
    bool erase() const { return eraseMode; }
    bool json() const { return jsonOutput; }
    bool progress() const { return progressOutput; }
    // Folder of the vendor's RAM loaders, absolute; empty: the built-in ones.
    QString loaderDir() const { return loaders; }
    // The production record file runs are written to; empty: nothing is recorded. With a
    // server as --record this is the local file where runs wait until delivered.
    QString recordFile() const { return recordPath; }
    // Where the record goes: that file, or the server it is forwarded to.
    RecordTarget recordTarget() const { return target; }
    // The name of this PC in the record.
    QString hostName() const { return host; }

    // The record a worker runs with: single-shot or continuous, the speed, the files and the loader folder.
    UserConfig userConfig() const;

    // Hexadecimal, with or without 0x, at most 32 bits; nothing else (no sign, no blanks).
    static bool parseAddress(const QString &text, quint32 *address);

private:
    bool checkPorts(const QStringList &given);
    bool checkBaudrate(const QStringList &given);
    bool checkFiles(const QStringList &given);

    QStringList ports;
    QStringList devices;
    QList<FileCfg> fileList;
    quint32 speed = UserConfig::BAUDRATE_DEFAULT;
    bool continuousMode = false;
    bool eraseMode = false;
    bool jsonOutput = false;
    bool progressOutput = false;
    QString loaders;
    QString recordPath;
    RecordTarget target;
    QString host;
};

#endif // FLASHOPTIONS_H
