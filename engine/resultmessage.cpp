#include "resultmessage.h"

#include "errorcodes.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

QString ResultMessage::text(int code, const QString &portName, const QString &loaderFile)
{
    QString message = ErrorCodes::errorString(code);
    if (code == ErrorCodes::RESULT_RAMCODE_FILE_INVALID)
        return message.arg(QDir::toNativeSeparators(loaderFile));
    if (code == ErrorCodes::RESULT_PORT_OPEN_FAILED) {
        const QString hint = permissionHint(portName);
        if (!hint.isEmpty())
            message += QLatin1Char(' ') + hint;
    }
    return message;
}

QString ResultMessage::permissionHint(const QString &portName)
{
#ifdef Q_OS_UNIX
    const QString device = deviceForPort(portName);
    const QByteArray path = QFile::encodeName(device);
    struct stat st;
    if (::stat(path.constData(), &st) != 0 || ::access(path.constData(), R_OK | W_OK) == 0 || errno != EACCES)
        return QString();
    // Serial adapters belong to "dialout" on Debian and its kin; say so when the group has no name.
    const struct group *owner = ::getgrgid(st.st_gid);
    const QString group = owner ? QString::fromLocal8Bit(owner->gr_name) : QStringLiteral("dialout");
    return QCoreApplication::translate("ErrorCodes",
                                       "No permission to open %1: add the user to the group '%2' that owns it "
                                       "(sudo usermod -aG %2 $USER), then log in again.")
            .arg(device, group);
#else
    Q_UNUSED(portName)
    return QString();
#endif
}

QString ResultMessage::deviceForPort(const QString &portName)
{
    if (portName.contains(QLatin1Char('/')))
        return QFileInfo(portName).absoluteFilePath();
    return QStringLiteral("/dev/") + portName;
}
