// Reading the executable's slots with every offset checked against the image.
#include "payload/slots.h"

#include <stddef.h>

#include "contract/contract.h"

static_assert(offsetof(TarvenSlots, payload_id_rva) == offsetof(TarvenSlots, target_template_rva) + 16,
              "the five text slots follow one another");

uint32_t read_le32(const unsigned char *at) {
    return static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) | (static_cast<uint32_t>(at[2]) << 16) |
           (static_cast<uint32_t>(at[3]) << 24);
}

uint64_t read_le64(const unsigned char *at) { return read_le32(at) | (static_cast<uint64_t>(read_le32(at + 4)) << 32); }

namespace {

// The text at `rva`: null for an unfilled slot (0); `damaged` set when it
// starts or runs past the image's end.
const unsigned char *text_at(const unsigned char *image, uint64_t image_size, uint32_t rva, bool *damaged) {
    if (rva == 0) return nullptr;
    for (uint64_t at = rva; at + 2 <= image_size; at += 2)
        if (image[at] == 0 && image[at + 1] == 0) return image + rva;
    *damaged = true;
    return nullptr;
}

}  // namespace

bool read_slots(const unsigned char *image, uint64_t image_size, const unsigned char *slots, SlotsView *view) {
    *view = SlotsView{};
    for (size_t i = 0; i < sizeof kSlotsMagic; ++i)
        if (slots[i] != static_cast<unsigned char>(kSlotsMagic[i])) return false;
    uint64_t payload_size = read_le64(slots + offsetof(TarvenSlots, payload_size));
    uint32_t payload_rva = read_le32(slots + offsetof(TarvenSlots, payload_rva));
    if (payload_rva != 0) {
        if (payload_rva > image_size || payload_size > image_size - payload_rva) return false;
        view->payload = image + payload_rva;
        view->payload_size = payload_size;
    }
    bool damaged = false;
    // The five text slots follow one another, the target template first.
    const unsigned char *text_slots = slots + offsetof(TarvenSlots, target_template_rva);
    for (int i = 0; i < 5; ++i) view->texts[i] = text_at(image, image_size, read_le32(text_slots + 4 * i), &damaged);
    if (damaged) return false;
    uint32_t table_rva = read_le32(slots + offsetof(TarvenSlots, file_table_rva));
    uint32_t flags = read_le32(slots + offsetof(TarvenSlots, flags));
    view->cached = (flags & kSlotsCached) != 0;
    view->progress_window = (flags & kSlotsProgressWindow) != 0;
    view->unpacked_size = read_le64(slots + offsetof(TarvenSlots, unpacked_size));
    if (view->cached) {
        if (table_rva == 0 || table_rva >= image_size) return false;
        view->file_table = image + table_rva;
        view->file_table_bytes = image_size - table_rva;
    }
    return true;
}
