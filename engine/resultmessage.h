#ifndef RESULTMESSAGE_H
#define RESULTMESSAGE_H

#include <QString>

// What the operator reads for one run's result on one port: the code's message with its
// details filled in, where the code alone cannot say enough to fix the station.
class ResultMessage
{
public:
    // The worker writes it into the run's record; every consumer reads it from there.
    static QString text(int code, const QString &portName, const QString &loaderFile);

    // Empty unless the port's device exists but this user may not open it; then the cause and
    // the fix (membership of the group that owns the device).
    static QString permissionHint(const QString &portName);
    // A bare name (ttyUSB0) lives under /dev; anything with a slash is a path (made absolute).
    static QString deviceForPort(const QString &portName);
};

#endif // RESULTMESSAGE_H
