// The cached mode's file table as the executable stores it: the number of
// files, then per file its size and UTF-16 name relative to the cache folder;
// the entry library first, the others sorted by their UTF-16 units.
#pragma once

#include <stddef.h>
#include <stdint.h>

// One file of the table: its name (UTF-16LE units, not terminated) and size.
struct TableFile {
    const unsigned char *name;
    uint32_t units;
    uint64_t size;
};

// True when the table at `table`, with `bytes` bytes from there to the
// image's end, lies inside them: its count, offsets and records, each name
// of 1 to kEntryNameMaxUnits units that the packer's name rules allow
// (payload/entry_name.h). The functions below read only a sound table.
bool file_table_is_sound(const unsigned char *table, uint64_t bytes);

// Gives the number of files in `table`.
uint32_t table_count(const unsigned char *table);

// Gives file `index` (below table_count()) of `table`.
TableFile table_file(const unsigned char *table, uint32_t index);

// Gives the index in `table` of the file named `name` (`length` units, not
// terminated, compared unit by unit), or -1 when the table has no such file.
long find_in_table(const unsigned char *table, const wchar_t *name, size_t length);
