// The cached mode's file table as the slots' check reads it: names it would
// load or look up outside the folder make the table unsound (the executable
// then ends with the payload's message).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cache/file_table.h"

namespace {

void put32(std::vector<unsigned char> &at, size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[offset + i] = static_cast<unsigned char>(value >> (8 * i));
}

// A table as the packer lays it out (contract/contract.h), each file 1 byte long.
std::vector<unsigned char> table_of(const std::vector<std::u16string> &names) {
    std::vector<unsigned char> table(4 + 4 * names.size());
    put32(table, 0, static_cast<uint32_t>(names.size()));
    for (size_t i = 0; i < names.size(); ++i) {
        table.resize((table.size() + 7) & ~size_t{7});
        put32(table, 4 + 4 * i, static_cast<uint32_t>(table.size()));
        size_t record = table.size();
        table.resize(record + 12 + 2 * names[i].size());
        table[record] = 1;
        put32(table, record + 8, static_cast<uint32_t>(names[i].size()));
        for (size_t unit = 0; unit < names[i].size(); ++unit) {
            table[record + 12 + 2 * unit] = static_cast<unsigned char>(names[i][unit]);
            table[record + 13 + 2 * unit] = static_cast<unsigned char>(names[i][unit] >> 8);
        }
    }
    return table;
}

bool sound(const std::vector<std::u16string> &names) {
    std::vector<unsigned char> table = table_of(names);
    return file_table_is_sound(table.data(), table.size());
}

TEST(FileTableTest, NamesThePackerWouldNeverWriteMakeTheTableUnsound) {
    EXPECT_TRUE(sound({u"app.dll", u"data\\note.txt", u"lib\\x.y.dll"}));
    const std::u16string refused[] = {u"..\\evil.dll", u"lib\\..\\..\\evil.dll", std::u16string(u"app\0.dll", 8),
                                      u"\\rooted.dll", u"C:\\evil.dll", u"a/../evil.dll", u"lib\\\\x.dll",
                                      u"app.dll:stream", u"nul.dll", u"lib\\evil. "};
    for (const std::u16string &name : refused) {
        EXPECT_FALSE(sound({name})) << name.size();
        EXPECT_FALSE(sound({u"app.dll", name})) << name.size();
    }
}

}  // namespace
