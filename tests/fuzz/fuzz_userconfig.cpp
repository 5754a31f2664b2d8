// The configuration rules against arbitrary texts: what an operator types into a row, and
// what a hand-edited, truncated or foreign settings file holds. Whatever comes in, a record
// that calls itself valid must be one a worker can run: one to four images with a path,
// a line speed in range, a known download mode.

#include "settingskeys.h"
#include "userconfig.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QString>
#include <QStringList>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzzcheck.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <unistd.h>

namespace {

#define EXPECT(cond, what) FUZZ_EXPECT("userconfig", cond, what)

QString text(FuzzedDataProvider &in, size_t maxBytes)
{
    const std::string bytes = in.ConsumeRandomLengthString(maxBytes);
    // Rows come from line edits (any Unicode), settings from a file (any bytes).
    return in.ConsumeBool() ? QString::fromUtf8(bytes.data(), static_cast<int>(bytes.size()))
                            : QString::fromLatin1(bytes.data(), static_cast<int>(bytes.size()));
}

void checkRecord(UserConfig &config, bool reported)
{
    const bool valid = config.isValid();
    EXPECT(reported == valid, "builder's result differs from the record's validity");
    const QList<FileCfg> files = config.fileList();
    EXPECT(files.size() <= UserConfig::FILE_ROW_COUNT, "more images than rows");
    const qint8 count = config.validFileCount();
    if (!valid) {
        EXPECT(count == 0, "an invalid record counts images");
        return;
    }
    EXPECT(!files.isEmpty() && count == files.size(), "valid record without its images");
    EXPECT(config.baudrate() >= UserConfig::BAUDRATE_MIN && config.baudrate() <= UserConfig::BAUDRATE_MAX,
           "valid record with a line speed out of range");
    EXPECT(config.downloadMode() <= UserConfig::DOWNLOAD_MODE_CONTINUOUS, "valid record with an unknown mode");
    for (const FileCfg &file : files)
        EXPECT(!file.filePath.isEmpty(), "valid record with an image without a path");
}

// The store keeps the files it has read in a cache keyed by name, size and time stamp: every
// input's file gets a time stamp of its own, so a rewrite within one second is read again.
void writeSettings(const QByteArray &bytes)
{
    static qint64 serial = 0;
    const QString path = QSettings().fileName();
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    EXPECT(file.open(QIODevice::WriteOnly | QIODevice::Truncate), "cannot write the settings file");
    EXPECT(file.write(bytes) == bytes.size(), "cannot write the settings file");
    EXPECT(file.setFileTime(QDateTime::fromSecsSinceEpoch(1000000000 + ++serial), QFileDevice::FileModificationTime),
           "cannot stamp the settings file");
}

void rowRule(FuzzedDataProvider &in)
{
    const QString path = text(in, 300);
    const QString addr = text(in, 40);
    FileCfg out;
    out.filePath = QStringLiteral("untouched");
    out.startAddr = 0xA5A5A5A5u;
    const bool taken = UserConfig::fileCfgFromRow(path, addr, &out);
    bool ok = false;
    const uint value = addr.toUInt(&ok, 16);
    EXPECT(taken == (!path.isEmpty() && !addr.isEmpty() && ok), "row taken against its rule");
    if (taken)
        EXPECT(out.filePath == path && out.startAddr == value, "row's image differs from the row");
    else
        EXPECT(out.filePath == QLatin1String("untouched") && out.startAddr == 0xA5A5A5A5u, "refused row changed the image");
}

void fromRows(FuzzedDataProvider &in)
{
    writeSettings(QByteArray());
    {
        QSettings settings;
        if (in.ConsumeBool())
            settings.setValue(SettingsKeys::DownloadModeIndex, text(in, 16));
        if (in.ConsumeBool())
            settings.setValue(SettingsKeys::Baudrate, text(in, 16));
        settings.sync();
    }
    QStringList paths;
    QStringList addrs;
    const int rows = in.ConsumeIntegralInRange<int>(0, 6);
    for (int i = 0; i < rows; ++i)
        paths << text(in, 64);
    const int addrRows = in.ConsumeIntegralInRange<int>(0, 6);
    for (int i = 0; i < addrRows; ++i)
        addrs << text(in, 16);
    UserConfig config;
    checkRecord(config, UserConfig::buildFromRows(&config, paths, addrs));
    EXPECT(!UserConfig::buildFromRows(nullptr, paths, addrs), "a missing record reported as built");
}

void fromSettings(FuzzedDataProvider &in)
{
    const std::vector<uint8_t> bytes = in.ConsumeRemainingBytes<uint8_t>();
    writeSettings(QByteArray(reinterpret_cast<const char *>(bytes.data()), static_cast<int>(bytes.size())));
    UserConfig config;
    checkRecord(config, UserConfig::buildFromSettings(&config));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // A settings home of its own, set before the store first looks at the environment.
    // In memory where there is such a folder: every input writes a settings file.
    static char home[64];
    const char *const parents[] = {"/dev/shm", "/tmp"};
    bool made = false;
    for (const char *parent : parents) {
        std::snprintf(home, sizeof home, "%s/zdz-fuzz-settings-XXXXXX", parent);
        if ((made = mkdtemp(home) != nullptr))
            break;
    }
    if (!made)
        fuzzFault("userconfig", "cannot create a settings home");
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(home, ignored);
    });
    setenv("XDG_CONFIG_HOME", home, 1);
    setenv("HOME", home, 1);
    QCoreApplication::setOrganizationName(QStringLiteral("Marwenta"));
    QCoreApplication::setApplicationName(QStringLiteral("ZU-Dazazi-Zuvareridi"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    switch (in.ConsumeIntegralInRange<int>(0, 2)) {
    case 0:
        rowRule(in);
        break;
    case 1:
        fromRows(in);
        break;
    default:
        fromSettings(in);
        break;
    }
    return 0;
}
