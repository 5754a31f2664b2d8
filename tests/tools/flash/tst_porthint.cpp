#include "ptypair.h"
#include "testsupport.h"

#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

// zdz-flash run by an operator account that may not open the line: as "nobody" when the
// suite runs as root (root opens anything), else as the suite's own user.
class OperatorProcess : public QProcess
{
public:
    OperatorProcess()
    {
        // Looked up before the fork: the child may only make plain system calls.
        if (const struct passwd *nobody = ::getpwnam("nobody"))
            account = { nobody->pw_uid, nobody->pw_gid };
    }

protected:
    void setupChildProcess() override
    {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::geteuid() != 0)
            return;
        if (account.first == 0 || ::setgroups(0, nullptr) != 0 || ::setgid(account.second) != 0
            || ::setuid(account.first) != 0)
            ::_exit(99);
    }

private:
    QPair<uid_t, gid_t> account { 0, 0 };
};

class tst_PortHint : public QObject
{
    Q_OBJECT

private slots:
    void permissionDenied();
};

// The line really fails to open: 513, with the group that owns the device and the fix.
void tst_PortHint::permissionDenied()
{
    PtyPair pty;
    QVERIFY2(pty.open(), qPrintable(pty.errorString()));
    QVERIFY(::chmod(QFile::encodeName(pty.slavePath()).constData(), 0) == 0);
    QTemporaryDir dir;
    QVERIFY(QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                                  | QFileDevice::ReadOther | QFileDevice::ExeOther));
    QVERIFY(writeFile(dir.filePath("app.bin"), QByteArray(4096, 'x')));
    QVERIFY(QFile::setPermissions(dir.filePath("app.bin"), QFileDevice::ReadOwner | QFileDevice::ReadOther));

    OperatorProcess flash;
    flash.start(ZDZ_FLASH_BIN, { "--port", pty.slavePath(), "--file", dir.filePath("app.bin") + "@0x1000" });
    QVERIFY(flash.waitForFinished(60000));
    QCOMPARE(flash.exitCode(), 1);
    const QString group = QFileInfo(pty.slavePath()).group();
    const QString expected = pty.slavePath() + ": chip 1 FAIL 513 (0x0201) Failed to open serial port, maybe not exist or "
                             "be occupied. No permission to open " + pty.slavePath() + ": add the user to the group '"
                             + group + "' that owns it (sudo usermod -aG " + group + " $USER), then log in again.";
    QVERIFY2(QString::fromUtf8(flash.readAllStandardOutput()).split('\n').contains(expected), qPrintable(expected));
}

QTEST_GUILESS_MAIN(tst_PortHint)
#include "tst_porthint.moc"
