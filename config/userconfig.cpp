#include "userconfig.h"

#include "settingskeys.h"

#include <QSettings>

UserConfig::UserConfig()
    : QObject(nullptr)
{
}

UserConfig::UserConfig(const UserConfig &other)
    : QObject(nullptr)
    , m_fileList(other.m_fileList)
    , m_baudrate(other.m_baudrate)
    , m_downloadMode(other.m_downloadMode)
    , m_loaderDir(other.m_loaderDir)
{
}

// The target keeps its own validity: only a check on the record itself may set it.
UserConfig &UserConfig::operator=(const UserConfig &other)
{
    if (this != &other) {
        m_fileList = other.m_fileList;
        m_baudrate = other.m_baudrate;
        m_downloadMode = other.m_downloadMode;
        m_loaderDir = other.m_loaderDir;
    }
    return *this;
}

UserConfig::~UserConfig() = default;

void UserConfig::setFileList(const QList<FileCfg> &files)
{
    m_fileList = files.mid(0, FILE_ROW_COUNT);
}

bool UserConfig::checkValidity()
{
    // Unsigned on purpose: a negative speed read back from the store wraps far out of range.
    valid = !m_fileList.isEmpty()
            && m_baudrate - BAUDRATE_MIN <= BAUDRATE_MAX - BAUDRATE_MIN
            && m_downloadMode <= DOWNLOAD_MODE_CONTINUOUS;
    return valid;
}

bool UserConfig::isValid()
{
    return checkValidity();
}

qint8 UserConfig::validFileCount()
{
    return checkValidity() ? static_cast<qint8>(m_fileList.size()) : 0;
}

bool UserConfig::fileCfgFromRow(const QString &path, const QString &addrText, FileCfg *out)
{
    if (addrText.isEmpty())
        return false;
    bool ok = false;
    const uint addr = addrText.toUInt(&ok, 16);
    if (!ok || path.isEmpty())
        return false;
    out->filePath = path;
    out->startAddr = addr;
    return true;
}

static void readModeAndBaudrate(UserConfig *config)
{
    QSettings settings;
    config->setDownloadMode(settings.value(SettingsKeys::DownloadModeIndex, 0).toUInt());
    config->setBaudrate(settings.value(SettingsKeys::Baudrate, UserConfig::BAUDRATE_DEFAULT).toUInt());
    config->setLoaderDir(settings.value(SettingsKeys::LoaderDir, QString()).toString());
}

bool UserConfig::buildFromRows(UserConfig *config, const QStringList &paths, const QStringList &addrTexts)
{
    if (!config)
        return false;
    readModeAndBaudrate(config);
    QList<FileCfg> files;
    const int rows = qMin(FILE_ROW_COUNT, qMin(paths.size(), addrTexts.size()));
    for (int row = 0; row < rows; ++row) {
        FileCfg cfg;
        if (fileCfgFromRow(paths.at(row), addrTexts.at(row), &cfg))
            files.append(cfg);
    }
    config->setFileList(files);
    return config->isValid();
}

bool UserConfig::buildFromSettings(UserConfig *config)
{
    if (!config)
        return false;
    QStringList paths;
    QStringList addrTexts;
    {
        QSettings settings;
        for (int row = 0; row < FILE_ROW_COUNT; ++row) {
            paths << settings.value(SettingsKeys::filePathKey(row), QString()).toString();
            addrTexts << settings.value(SettingsKeys::startAddrKey(row), 0).toString();
        }
    }
    return buildFromRows(config, paths, addrTexts);
}

void registerUserConfigMetaType()
{
    qRegisterMetaType<UserConfig>("UserConfig");
    qRegisterMetaType<UserConfig>("UserConfig&");
}
