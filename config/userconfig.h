#ifndef USERCONFIG_H
#define USERCONFIG_H

#include <QList>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QStringList>

struct FileCfg
{
    QString filePath;
    quint32 startAddr = 0;
};

// The operator's configuration: download mode, line speed for the images and up to four
// images with their flash addresses. Travels by value from the window to each station and
// from each station into its worker thread.
class UserConfig : public QObject
{
    Q_OBJECT

public:
    enum DownloadModeFlag {
        DOWNLOAD_MODE_SINGLESHOT = 0,
        DOWNLOAD_MODE_CONTINUOUS = 1,
    };
    Q_ENUM(DownloadModeFlag)

    static constexpr quint32 BAUDRATE_MIN = 115200;
    static constexpr quint32 BAUDRATE_MAX = 3000000;
    static constexpr quint32 BAUDRATE_DEFAULT = 115200;
    static constexpr int FILE_ROW_COUNT = 4;

    UserConfig();
    UserConfig(const UserConfig &other);
    UserConfig &operator=(const UserConfig &other);
    ~UserConfig() override;

    quint32 downloadMode() const { return m_downloadMode; }
    void setDownloadMode(quint32 mode) { m_downloadMode = mode; }
    quint32 baudrate() const { return m_baudrate; }
    void setBaudrate(const quint32 &baudrate) { m_baudrate = baudrate; }
    QList<FileCfg> fileList() const { return m_fileList; }
    void setFileList(const QList<FileCfg> &files);
    // Folder of the vendor's RAM loaders; empty: the loaders built into the program.
    QString loaderDir() const { return m_loaderDir; }
    void setLoaderDir(const QString &dir) { m_loaderDir = dir; }

    bool isValid();
    qint8 validFileCount();

    // One dialog row: an empty path or address, or an address that is not 32-bit hex, yields nothing.
    static bool fileCfgFromRow(const QString &path, const QString &addrText, FileCfg *out);

    // Fills mode, speed and loader folder from the settings store, then the rows given as texts; returns isValid().
    static bool buildFromRows(UserConfig *config, const QStringList &paths, const QStringList &addrTexts);
    // The same with every row read from the settings store (a missing address key reads as "0").
    static bool buildFromSettings(UserConfig *config);

private:
    bool checkValidity();

    bool valid = false;
    QList<FileCfg> m_fileList;
    quint32 m_baudrate = BAUDRATE_DEFAULT;
    quint32 m_downloadMode = DOWNLOAD_MODE_SINGLESHOT;
    QString m_loaderDir;
};

Q_DECLARE_METATYPE(UserConfig)

// Registers the record for queued signals under "UserConfig" and "UserConfig&"; repeating is harmless.
void registerUserConfigMetaType();

#endif // USERCONFIG_H
