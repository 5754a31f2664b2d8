#include "errorcodes.h"

#include <QCoreApplication>
#include <QtGlobal>

namespace {

struct CodeText
{
    int code;
    const char *text;
};

const CodeText codeTexts[] = {
    { ErrorCodes::RESULT_SUCCESS, QT_TRANSLATE_NOOP("ErrorCodes", "Success") },
    { ErrorCodes::RESULT_ARGS_PARSE_FAILED, QT_TRANSLATE_NOOP("ErrorCodes", "Failed to pase cmd arguments.") },
    { ErrorCodes::RESULT_ARGS_MISSING, QT_TRANSLATE_NOOP("ErrorCodes", "Not all necessary arguments are provided.") },
    { ErrorCodes::RESULT_ARG_ERASE_MODE_INVALID,
      QT_TRANSLATE_NOOP("ErrorCodes", "Invalid: erase mode must be set and can only be set to 'mass' or 'userarea'.") },
    { ErrorCodes::RESULT_ARG_PORT_INVALID, QT_TRANSLATE_NOOP("ErrorCodes", "Invalid: port name must be set and exists.") },
    { ErrorCodes::RESULT_ARG_BAUDRATE_INVALID,
      QT_TRANSLATE_NOOP("ErrorCodes", "Invalid: baudrate must be set and in range [%1, %2].") },
    { ErrorCodes::RESULT_ARG_FILENAME_INVALID,
      QT_TRANSLATE_NOOP("ErrorCodes", "Invalid: filename must exist and can only be set once.") },
    { ErrorCodes::RESULT_ARG_START_ADDR_INVALID,
      QT_TRANSLATE_NOOP("ErrorCodes",
                        "Invalid: start addr must not exceed the flash size, should be 4KB aligned and can only be set once.") },
    { ErrorCodes::RESULT_PORT_OPEN_FAILED,
      QT_TRANSLATE_NOOP("ErrorCodes", "Failed to open serial port, maybe not exist or be occupied.") },
    { ErrorCodes::RESULT_VERSION_SEND_FAILED,
      QT_TRANSLATE_NOOP("ErrorCodes", "Failed to send cmd 'version', please check USB connection or reboot the chip.") },
    { ErrorCodes::RESULT_VERSION_READ_FAILED,
      QT_TRANSLATE_NOOP("ErrorCodes", "Failed to read chip code version, please check USB connection or reboot the chip.") },
    { ErrorCodes::RESULT_DOWNLOAD_SEND_FAILED,
      QT_TRANSLATE_NOOP("ErrorCodes", "Failed to send cmd 'download', please check USB connection or reboot the chip.") },
    { ErrorCodes::RESULT_RAMCODE_SEND_FAILED,
      QT_TRANSLATE_NOOP("ErrorCodes", "Failed to send ramcode to chip, please check USB connection or reboot the chip.") },
    { ErrorCodes::RESULT_RAMCODE_FILE_INVALID,
      QT_TRANSLATE_NOOP("ErrorCodes",
                        "Failed to load ramcode file '%1': it must exist, be readable, not be empty and not exceed 256 KiB.") },
    { ErrorCodes::RESULT_FILECOUNT_SEND_FAILED,
      QT_TRANSLATE_NOOP("ErrorCodes", "Failed to send cmd 'filecount', please check USB connection or reboot the chip.") },
    { ErrorCodes::RESULT_FILECOUNT_READ_FAILED,
      QT_TRANSLATE_NOOP("ErrorCodes",
                        "Failed to read cmd 'filecount' result, please check USB connection or reboot the chip.") },
    { ErrorCodes::RESULT_BAUDRATE_SEND_FAILED,
      QT_TRANSLATE_NOOP("ErrorCodes", "Failed to send cmd 'baudrate', please check USB connection or reboot the chip.") },
    { ErrorCodes::RESULT_BAUDRATE_READ_FAILED,
      QT_TRANSLATE_NOOP("ErrorCodes",
                        "Failed to read cmd 'baudrate' result, please check USB connection or reboot the chip.") },
    { ErrorCodes::RESULT_STARTADDR_SEND_FAILED,
      QT_TRANSLATE_NOOP("ErrorCodes", "Failed to send cmd 'startaddr', please check USB connection or reboot the chip.") },
    { ErrorCodes::RESULT_STARTADDR_READ_FAILED,
      QT_TRANSLATE_NOOP("ErrorCodes",
                        "Failed to read cmd 'startaddr' result, please check USB connection or reboot the chip.") },
    { ErrorCodes::RESULT_ERASE_ALL_SEND_FAILED,
      QT_TRANSLATE_NOOP("ErrorCodes", "Failed to send cmd 'erase all', please check USB connection or reboot the chip.") },
    { ErrorCodes::RESULT_ERASE_ALL_READ_FAILED,
      QT_TRANSLATE_NOOP("ErrorCodes",
                        "Failed to read cmd 'erase all' result, please check USB connection or reboot the chip.") },
    { ErrorCodes::RESULT_UPGRADE_SEND_FAILED,
      QT_TRANSLATE_NOOP("ErrorCodes", "Failed to send cmd 'upgrade', please check USB connection or reboot the chip.") },
    { ErrorCodes::RESULT_FILE_SEND_FAILED,
      QT_TRANSLATE_NOOP("ErrorCodes", "Failed to send disk file, please check USB connection or reboot the chip.") },
    { ErrorCodes::RESULT_UNKNOWN, QT_TRANSLATE_NOOP("ErrorCodes", "Unknown error.") },
};

} // namespace

QString ErrorCodes::errorString(int code)
{
    for (const CodeText &entry : codeTexts) {
        if (entry.code == code)
            return QCoreApplication::translate("ErrorCodes", entry.text);
    }
    return QString();
}
