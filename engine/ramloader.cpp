#include "ramloader.h"

#include "chipfamilytable.h"
#include "errorcodes.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

// scripts/make_resources.py starts every stand-in loader with this text.
const char PLACEHOLDER_HEAD[] = "ZU-Dazazi-Zuvareridi placeholder RAM loader ";

} // namespace

RamLoader RamLoader::resolve(Worker::ChipCodeVerFlag codeVer, const QString &loaderDir)
{
    RamLoader loader;
    loader.error = ErrorCodes::RESULT_RAMCODE_FILE_INVALID;
    const ChipFamilyRow *family = ChipFamilyTable::find(codeVer);
    if (!family)
        return loader;
    loader.builtIn = loaderDir.isEmpty();
    loader.filePath = loader.builtIn ? ChipFamilyTable::builtInLoaderPath(*family)
                                     : QDir(loaderDir).absoluteFilePath(QLatin1String(family->loaderFile));
    // Opened, not only looked at: a file the line's user may not read must fail here, not in
    // the middle of the upload.
    QFile file(loader.filePath);
    const QFileInfo info(loader.filePath);
    if (!info.isFile() || !file.open(QIODevice::ReadOnly))
        return loader;
    loader.fileSize = file.size();
    if (loader.fileSize > 0 && loader.fileSize <= MaxSize)
        loader.error = 0;
    return loader;
}

RamLoader RamLoader::checkAll(const QString &loaderDir)
{
    RamLoader loader;
    if (!loaderDir.isEmpty() && !QFileInfo(loaderDir).isDir()) {
        loader.error = ErrorCodes::RESULT_RAMCODE_FILE_INVALID;
        loader.filePath = loaderDir;
        return loader;
    }
    // A line that makes one family may hold only that family's loader: a missing file fails
    // only the chip that needs it, once its family is known.
    for (const ChipFamilyRow *family = ChipFamilyTable::begin(); family != ChipFamilyTable::end(); ++family) {
        const RamLoader candidate = resolve(family->code, loaderDir);
        if (!candidate.isOk() && !loaderDir.isEmpty() && !QFileInfo::exists(candidate.filePath))
            continue;
        loader = candidate;
        if (!loader.isOk())
            break;
    }
    return loader;
}

bool RamLoader::isPlaceholder() const
{
    QFile file(filePath);
    if (!builtIn || !file.open(QIODevice::ReadOnly))
        return false;
    return file.read(sizeof(PLACEHOLDER_HEAD) - 1) == QByteArray(PLACEHOLDER_HEAD);
}

QString RamLoader::sha256() const
{
    QFile file(filePath);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!isOk() || !file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return QString();
    return QString::fromLatin1(hash.result().toHex());
}

QString RamLoader::message() const
{
    return ErrorCodes::errorString(ErrorCodes::RESULT_RAMCODE_FILE_INVALID).arg(QDir::toNativeSeparators(filePath));
}

bool RamLoader::placeholderInUse(const QString &loaderDir)
{
    for (const ChipFamilyRow *family = ChipFamilyTable::begin(); family != ChipFamilyTable::end(); ++family) {
        if (resolve(family->code, loaderDir).isPlaceholder())
            return true;
    }
    return false;
}

QString RamLoader::placeholderWarning()
{
    return QCoreApplication::translate(
            "ErrorCodes", "built-in placeholder RAM loader: real chips need the vendor's loader (see README)");
}
