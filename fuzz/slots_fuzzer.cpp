// Fuzz target: an arbitrary executable image (the input, its slots at the
// start) through the launcher's reading of its slots (read_slots) and, when
// they name a cached mode's file table, the table's soundness check and its
// lookups. Beyond the sanitizers (the input is copied to a buffer of its
// exact size, so one byte past the image is a finding): whatever the slots
// give lies inside the image, a text ends inside it, a sound table's every
// name is found again by find_in_table, and a slot that points outside the
// image is refused.
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "contract/contract.h"
#include "fuzz/host_system.h"
#include "cache/file_table.h"
#include "payload/slots.h"

namespace {

uint32_t read32(const unsigned char *at) {
    return static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) | (static_cast<uint32_t>(at[2]) << 16) |
           (static_cast<uint32_t>(at[3]) << 24);
}

bool inside(const unsigned char *image, size_t size, const unsigned char *at, uint64_t bytes) {
    return at >= image && static_cast<uint64_t>(at - image) <= size && bytes <= size - static_cast<uint64_t>(at - image);
}

void check_table(const unsigned char *table, uint64_t bytes) {
    uint32_t count = table_count(table);
    std::vector<uint32_t> offsets;
    for (uint32_t i = 0; i < count; ++i) {
        TableFile file = table_file(table, i);
        if (file.units == 0 || file.units > kEntryNameMaxUnits) finding("a sound table gave a name of no or too many units");
        if (file.name < table || static_cast<uint64_t>(file.name - table) + 2ull * file.units > bytes)
            finding("a sound table gave a name outside the image");
        std::wstring name;
        for (uint32_t k = 0; k < file.units; ++k)
            name += static_cast<wchar_t>(file.name[2 * k] | (file.name[2 * k + 1] << 8));
        long found = find_in_table(table, name.data(), name.size());
        // A damaged table may be unsorted: the lookup may then miss, but
        // what it finds must carry the name.
        if (found >= 0) {
            if (static_cast<uint32_t>(found) >= count) finding("find_in_table gave an index past the table");
            TableFile other = table_file(table, static_cast<uint32_t>(found));
            if (other.units != file.units || memcmp(other.name, file.name, 2ull * file.units) != 0)
                finding("find_in_table gave a file of another name");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < kSlotsSize) return 0;
    std::vector<unsigned char> copy(data, data + size);
    const unsigned char *image = copy.data();
    SlotsView view;
    bool read = read_slots(image, size, image, &view);
    bool magic = memcmp(image, kSlotsMagic, sizeof kSlotsMagic) == 0;
    if (!read) {
        // Refused only for damage: a wrong magic, or a slot pointing outside.
        if (!magic) return 0;
        uint32_t payload_rva = read32(image + offsetof(TarvenSlots, payload_rva));
        uint64_t payload_size = read32(image + offsetof(TarvenSlots, payload_size)) |
                                (static_cast<uint64_t>(read32(image + offsetof(TarvenSlots, payload_size) + 4)) << 32);
        bool payload_fits = payload_rva == 0 || (payload_rva <= size && payload_size <= size - payload_rva);
        uint32_t table_rva = read32(image + offsetof(TarvenSlots, file_table_rva));
        bool cached = (read32(image + offsetof(TarvenSlots, flags)) & kSlotsCached) != 0;
        bool table_fits = !cached || (table_rva != 0 && table_rva < size);
        bool texts_end = true;
        for (int i = 0; i < 5; ++i) {
            uint32_t rva = read32(image + offsetof(TarvenSlots, target_template_rva) + 4 * i);
            if (rva == 0) continue;
            bool ends = false;
            for (uint64_t at = rva; at + 2 <= size && !ends; at += 2) ends = image[at] == 0 && image[at + 1] == 0;
            texts_end = texts_end && ends;
        }
        if (payload_fits && table_fits && texts_end) finding("sound slots were refused");
        return 0;
    }
    if (!magic) finding("slots without the magic were read");
    if (view.payload != nullptr && !inside(image, size, view.payload, view.payload_size))
        finding("the payload reaches past the image");
    for (const unsigned char *text : view.texts) {
        if (text == nullptr) continue;
        const unsigned char *at = text;
        while (inside(image, size, at, 2) && !(at[0] == 0 && at[1] == 0)) at += 2;
        if (!inside(image, size, at, 2)) finding("a text runs past the image");
    }
    if (view.cached) {
        if (!inside(image, size, view.file_table, view.file_table_bytes) ||
            view.file_table + view.file_table_bytes != image + size)
            finding("the file table's bytes are not the rest of the image");
        if (file_table_is_sound(view.file_table, view.file_table_bytes)) check_table(view.file_table, view.file_table_bytes);
    }
    return 0;
}
