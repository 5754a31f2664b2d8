#ifndef RESULTMESSAGE_H
#define RESULTMESSAGE_H

#include <QString>

// What the operator reads for one run's result on one port: the code's message with its
// details filled in, where the code alone cannot say enough to fix the station.
class ResultMessage
{
public:
    static QString text(int code, const QString &portName, const QString &loaderDir);

    // Empty unless the port's device exists but this user may not open it; then the cause and
    // the fix (membership of the group that owns the device).
    static QString permissionHint(const QString &portName);
    // A bare name (ttyUSB0) lives under /dev; anything with a slash is a path.
    static QString deviceForPort(const QString &portName);
};

#endif // RESULTMESSAGE_H
