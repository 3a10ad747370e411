// Reading the cached mode's file table (its layout: contract/contract.h).
#include "cache/file_table.h"

#include "contract/contract.h"
#include "payload/entry_name.h"
#include "payload/slots.h"

namespace {

// Compares a found name with a table name as UTF-16 code units: <0, 0, >0.
int compare_name(const wchar_t *name, size_t length, const TableFile &file) {
    for (size_t i = 0; i < length && i < file.units; ++i) {
        unsigned unit = static_cast<unsigned>(file.name[2 * i]) | (static_cast<unsigned>(file.name[2 * i + 1]) << 8);
        if (static_cast<unsigned>(name[i]) != unit) return static_cast<unsigned>(name[i]) < unit ? -1 : 1;
    }
    return length == file.units ? 0 : (length < file.units ? -1 : 1);
}

}  // namespace

bool file_table_is_sound(const unsigned char *table, uint64_t bytes) {
    if (table == nullptr || bytes < 4) return false;
    uint64_t count = read_le32(table);
    if (count > (bytes - 4) / 4) return false;
    for (uint64_t i = 0; i < count; ++i) {
        uint64_t record = read_le32(table + 4 + 4 * i);
        if (record > bytes || bytes - record < 12) return false;
        uint64_t units = read_le32(table + record + 8);
        if (units == 0 || units > kEntryNameMaxUnits || 2 * units > bytes - record - 12) return false;
        // The folder's files are looked up and loaded by these names: one
        // holding "..\" or a NUL would name a file outside the folder.
        wchar_t name[kEntryNameMaxUnits];
        for (uint64_t unit = 0; unit < units; ++unit)
            name[unit] = static_cast<wchar_t>(table[record + 12 + 2 * unit] | (table[record + 13 + 2 * unit] << 8));
        if (!entry_name_is_sound(name, units)) return false;
    }
    return true;
}

uint32_t table_count(const unsigned char *table) { return read_le32(table); }

TableFile table_file(const unsigned char *table, uint32_t index) {
    const unsigned char *record = table + read_le32(table + 4 + 4 * index);
    return TableFile{record + 12, read_le32(record + 8), read_le64(record)};
}

long find_in_table(const unsigned char *table, const wchar_t *name, size_t length) {
    uint32_t count = read_le32(table);
    if (count == 0) return -1;
    if (compare_name(name, length, table_file(table, 0)) == 0) return 0;
    // The rest are sorted.
    uint32_t low = 1, high = count;
    while (low < high) {
        uint32_t middle = low + (high - low) / 2;
        int order = compare_name(name, length, table_file(table, middle));
        if (order == 0) return static_cast<long>(middle);
        if (order < 0) high = middle;
        else low = middle + 1;
    }
    return -1;
}
