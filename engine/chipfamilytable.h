#ifndef CHIPFAMILYTABLE_H
#define CHIPFAMILYTABLE_H

#include "worker.h"

#include <QString>

// Everything the host knows about one chip family. Adding a family is one row here plus its
// RAM loader under resources/bootram_bins (the resource list is made from this table).
struct ChipFamilyRow
{
    Worker::ChipCodeVerFlag code;
    const char *name;
    // Text in the ROM loader's answer to "version" that names this family's build.
    const char *versionMarker;
    // The line that asks the ROM loader to receive the RAM loader: %1 the keyword "download",
    // %2 the load address in lower-case hex without leading zeros, %3 the loader's size in decimal.
    const char *downloadTemplate;
    quint32 loadAddress;
    // File name of the RAM loader, built in and in a vendor loader folder alike.
    const char *loaderFile;
};

class ChipFamilyTable
{
public:
    // Rows in recognition order: the first whose marker the version answer holds decides.
    static const ChipFamilyRow *begin();
    static const ChipFamilyRow *end();
    static int count();

    // Null for a code that names no family (the RAM loader, nothing known).
    static const ChipFamilyRow *find(Worker::ChipCodeVerFlag code);
    static QString builtInLoaderPath(const ChipFamilyRow &family);
};

#endif // CHIPFAMILYTABLE_H
