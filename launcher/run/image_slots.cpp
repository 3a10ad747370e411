// The executable's slots: the block in the `.tarven` section that the packer
// fills when it writes an executable from the launcher image, and the
// accessors through which the launcher finds its payload and texts, checked
// once against the image. Linked into the launcher images only; tests
// provide the accessors themselves.
#include <windows.h>

#include "contract/contract.h"
#include "paths/build_texts.h"
#include "cache/file_table.h"
#include "payload/slots.h"
#include "payload/stored.h"
#include "unpack/report.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

extern "C" __attribute__((section(TARVEN_SLOTS_SECTION), used))
const TarvenSlots tarven_slots = {
    {kSlotsMagic[0], kSlotsMagic[1], kSlotsMagic[2], kSlotsMagic[3], kSlotsMagic[4], kSlotsMagic[5],
     kSlotsMagic[6], kSlotsMagic[7]},
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

namespace {

// The slots as read once, each checked against the image's size: a damaged
// executable ends with the payload's message rather than a fault.
const SlotsView &slots() {
    static SlotsView view;
    static bool read = false;
    if (!read) {
        // The whole image, not the one header the declaration names.
        const unsigned char *volatile base = reinterpret_cast<const unsigned char *>(&__ImageBase);
        const unsigned char *image = base;
        const auto *headers = reinterpret_cast<const IMAGE_NT_HEADERS *>(image + __ImageBase.e_lfanew);
        // Through volatile: the compiler must not see the zeros above as the slots' contents.
        const auto *block =
            const_cast<const unsigned char *>(reinterpret_cast<const volatile unsigned char *>(&tarven_slots));
        if (!read_slots(image, headers->OptionalHeader.SizeOfImage, block, &view) ||
            (view.cached && !file_table_is_sound(view.file_table, view.file_table_bytes)))
            report_fatal("Error, couldn't decode attached data.");
        read = true;
    }
    return view;
}

const wchar_t *text(int slot) {
    const unsigned char *at = slots().texts[slot];
    return at != nullptr ? reinterpret_cast<const wchar_t *>(at) : L"";
}

}  // namespace

const unsigned char* stored_payload_start() { return slots().payload; }
unsigned long long stored_payload_size() { return slots().payload_size; }
const wchar_t* build_target_template() { return text(0); }
const wchar_t* build_company() { return text(1); }
const wchar_t* build_product() { return text(2); }
const wchar_t* build_version() { return text(3); }
const wchar_t* build_payload_id() { return text(4); }
bool stored_cached_mode() { return slots().cached; }
bool stored_progress_window() { return slots().progress_window; }
unsigned long long stored_unpacked_size() { return slots().unpacked_size; }
const unsigned char* stored_file_table() { return slots().file_table; }
