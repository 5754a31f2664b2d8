#ifndef ERRORCODES_H
#define ERRORCODES_H

#include <QObject>
#include <QString>

// Result codes of a run: the high byte names the phase in which the run failed.
class ErrorCodes : public QObject
{
    Q_OBJECT

public:
    static constexpr int RESULT_SUCCESS = 0x0000;
    static constexpr int RESULT_ARGS_PARSE_FAILED = 0x0101;
    static constexpr int RESULT_ARGS_MISSING = 0x0102;
    static constexpr int RESULT_ARG_ERASE_MODE_INVALID = 0x0103;
    static constexpr int RESULT_ARG_PORT_INVALID = 0x0104;
    static constexpr int RESULT_ARG_BAUDRATE_INVALID = 0x0105;
    static constexpr int RESULT_ARG_FILENAME_INVALID = 0x0106;
    static constexpr int RESULT_ARG_START_ADDR_INVALID = 0x0107;
    static constexpr int RESULT_PORT_OPEN_FAILED = 0x0201;
    static constexpr int RESULT_VERSION_SEND_FAILED = 0x0202;
    static constexpr int RESULT_VERSION_READ_FAILED = 0x0203;
    static constexpr int RESULT_DOWNLOAD_SEND_FAILED = 0x0301;
    static constexpr int RESULT_RAMCODE_SEND_FAILED = 0x0302;
    // Its message names the loader file in %1 (RamLoader fills it).
    static constexpr int RESULT_RAMCODE_FILE_INVALID = 0x0303;
    static constexpr int RESULT_FILECOUNT_SEND_FAILED = 0x0401;
    static constexpr int RESULT_FILECOUNT_READ_FAILED = 0x0402;
    static constexpr int RESULT_BAUDRATE_SEND_FAILED = 0x0403;
    static constexpr int RESULT_BAUDRATE_READ_FAILED = 0x0404;
    static constexpr int RESULT_STARTADDR_SEND_FAILED = 0x0405;
    static constexpr int RESULT_STARTADDR_READ_FAILED = 0x0406;
    static constexpr int RESULT_ERASE_ALL_SEND_FAILED = 0x0407;
    static constexpr int RESULT_ERASE_ALL_READ_FAILED = 0x0408;
    static constexpr int RESULT_UPGRADE_SEND_FAILED = 0x0409;
    static constexpr int RESULT_FILE_SEND_FAILED = 0x040A;
    static constexpr int RESULT_UNKNOWN = 0xFFFF;

    // The operator's message for a code, translated in the context "ErrorCodes";
    // empty for a code that is not in the table.
    static QString errorString(int code);
};

#endif // ERRORCODES_H
