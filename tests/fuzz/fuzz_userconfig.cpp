// The record builders against any typed rows or settings file: a valid record runs.

#include "fuzzcheck.h"
#include "settingskeys.h"
#include "userconfig.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QSettings>
#include <QTemporaryDir>

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdlib>
#include <functional>

namespace {

#define EXPECT(cond, what) FUZZ_EXPECT("userconfig", cond, what)

QString text(FuzzedDataProvider &in, size_t maxBytes)
{
    const std::string bytes = in.ConsumeRandomLengthString(maxBytes);
    // Rows come from line edits (any Unicode), settings from a file (any bytes).
    return in.ConsumeBool() ? QString::fromUtf8(bytes.data(), static_cast<int>(bytes.size()))
                            : QString::fromLatin1(bytes.data(), static_cast<int>(bytes.size()));
}

void checkRecord(const std::function<bool(UserConfig *)> &build)
{
    UserConfig config;
    const bool reported = build(&config);
    const QList<FileCfg> files = config.fileList();
    const bool valid = config.isValid();
    const bool runnable = !files.isEmpty() && config.downloadMode() <= UserConfig::DOWNLOAD_MODE_CONTINUOUS
        && config.baudrate() >= UserConfig::BAUDRATE_MIN && config.baudrate() <= UserConfig::BAUDRATE_MAX
        && std::none_of(files.begin(), files.end(), [](const FileCfg &file) { return file.filePath.isEmpty(); });
    EXPECT(reported == valid && files.size() <= UserConfig::FILE_ROW_COUNT, "the builder misreports its record");
    EXPECT(!valid || runnable, "valid record without images or paths, with a line speed out of range or an unknown mode");
}

// A time stamp per input, as the store caches the files it read by name, size and time stamp.
void writeSettings(const QByteArray &bytes)
{
    static qint64 serial = 0;
    QFile file(QSettings().fileName());
    QDir().mkpath(QFileInfo(file).path());
    EXPECT(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size()
               && file.setFileTime(QDateTime::fromSecsSinceEpoch(1000000000 + ++serial), QFileDevice::FileModificationTime),
           "cannot write the settings file");
}

void fromRows(FuzzedDataProvider &in)
{
    writeSettings(QByteArray());
    for (const QString &key : { SettingsKeys::DownloadModeIndex, SettingsKeys::Baudrate })
        if (in.ConsumeBool())
            QSettings().setValue(key, text(in, 16));
    QStringList paths, addrs;
    for (int rows = in.ConsumeIntegralInRange<int>(0, 6); rows > 0; --rows)
        paths << text(in, 64);
    for (int rows = in.ConsumeIntegralInRange<int>(0, 6); rows > 0; --rows)
        addrs << text(in, 16);
    checkRecord([&](UserConfig *config) { return UserConfig::buildFromRows(config, paths, addrs); });
}

void fromSettings(FuzzedDataProvider &in)
{
    writeSettings(QByteArray::fromStdString(in.ConsumeRemainingBytesAsString()));
    checkRecord(&UserConfig::buildFromSettings);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Set before the store first looks; in memory where possible, as every input writes a file.
    static QTemporaryDir home((QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath())
                              + QStringLiteral("/zdz-fuzz-settings-XXXXXX"));
    EXPECT(home.isValid(), "cannot create a settings home");
    setenv("XDG_CONFIG_HOME", qPrintable(home.path()), 1);
    setenv("HOME", qPrintable(home.path()), 1);
    QCoreApplication::setOrganizationName(QStringLiteral("Marwenta"));
    QCoreApplication::setApplicationName(QStringLiteral("ZU-Dazazi-Zuvareridi"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    if (in.ConsumeBool())
        fromSettings(in);
    else
        fromRows(in);
    return 0;
}
