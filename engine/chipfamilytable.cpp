#include "chipfamilytable.h"

#include <iterator>

namespace {

// resources/CMakeLists.txt lists the built-in loaders from the loaderFile column of this table.
// "Jan" is only a month: it must stay behind the full build stamps of the other families.
const ChipFamilyRow rows[] = {
    { Worker::CodeInROM_ZR740A, "ZR740A", "Jun 19 2019/21:01:04", "%1 \r\n", 0x20000000, "ramcode_zr740a.bin" },
    { Worker::CodeInROM_ZR740C, "ZR740C", "Mar 14 2021/00:23:32", "%1 [rambin][0x%2] [%3]\r\n", 0x20000000,
      "ramcode_zr740c.bin" },
    { Worker::CodeInROM_ZR610A, "ZR610A", "Jan", "%1 [rambin] [0x%2] [%3]\r\n", 0x20008000, "ramcode_zr610a.bin" },
};

} // namespace

const ChipFamilyRow *ChipFamilyTable::begin()
{
    return std::begin(rows);
}

const ChipFamilyRow *ChipFamilyTable::end()
{
    return std::end(rows);
}

int ChipFamilyTable::count()
{
    return int(std::size(rows));
}

const ChipFamilyRow *ChipFamilyTable::find(Worker::ChipCodeVerFlag code)
{
    for (const ChipFamilyRow &row : rows) {
        if (row.code == code)
            return &row;
    }
    return nullptr;
}

QString ChipFamilyTable::builtInLoaderPath(const ChipFamilyRow &family)
{
    return QStringLiteral(":/bootram_bins/") + QLatin1String(family.loaderFile);
}
