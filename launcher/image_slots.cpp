// The executable's slots: the block in the `.tarven` section that the packer
// fills when it writes an executable from the launcher image, and the
// accessors through which the launcher finds its payload and texts. Linked
// into the launcher images only; tests provide the accessors themselves.
#include <windows.h>

#include "contract/contract.h"
#include "paths/build_texts.h"
#include "payload/stored.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

extern "C" __attribute__((section(TARVEN_SLOTS_SECTION), used))
const TarvenSlots tarven_slots = {
    {kSlotsMagic[0], kSlotsMagic[1], kSlotsMagic[2], kSlotsMagic[3], kSlotsMagic[4], kSlotsMagic[5],
     kSlotsMagic[6], kSlotsMagic[7]},
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

namespace {

// Read through volatile: the compiler must load what the packer wrote, not
// fold in the zeros it sees above.
const volatile TarvenSlots& slots = tarven_slots;

// The address `rva` bytes from the image's base; an unfilled slot (an image
// the packer never wrote) gives null.
const void* at(uint32_t rva) {
    return rva ? reinterpret_cast<const unsigned char*>(&__ImageBase) + rva : nullptr;
}

const wchar_t* text_at(uint32_t rva) {
    const void* text = at(rva);
    return text ? static_cast<const wchar_t*>(text) : L"";
}

}  // namespace

const unsigned char* stored_payload_start() { return static_cast<const unsigned char*>(at(slots.payload_rva)); }
unsigned long long stored_payload_size() { return slots.payload_size; }
const wchar_t* build_target_template() { return text_at(slots.target_template_rva); }
const wchar_t* build_company() { return text_at(slots.company_rva); }
const wchar_t* build_product() { return text_at(slots.product_rva); }
const wchar_t* build_version() { return text_at(slots.version_rva); }
const wchar_t* build_payload_id() { return text_at(slots.payload_id_rva); }
bool stored_cached_mode() { return (slots.flags & kSlotsCached) != 0; }
bool stored_progress_window() { return (slots.flags & kSlotsProgressWindow) != 0; }
unsigned long long stored_unpacked_size() { return slots.unpacked_size; }
const unsigned char* stored_file_table() { return static_cast<const unsigned char*>(at(slots.file_table_rva)); }
