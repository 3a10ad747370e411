// Naming what the loader could not find; see missing_import.h. The images are
// read through the file, never loaded: a DLL whose load failed must not run
// any code, and a damaged one must cost no more than its checked reads.
#include "run/missing_import.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "paths/bounded.h"
#include "system/syscalls.h"
#include "unpack/state.h"

namespace {

constexpr DWORD kNameBytes = 256;  // a DLL or function name with its zero
constexpr uint32_t kMaxSections = 96;
constexpr uint32_t kMaxHeaderOffset = 1u << 20;

uint16_t le16(const unsigned char *p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t le32(const unsigned char *p) { return le16(p) | (static_cast<uint32_t>(le16(p + 2)) << 16); }

struct Section {
    uint32_t address, raw_size, raw_offset;
};

// One image file open for reading, with what its headers say.
struct Image {
    HANDLE file = INVALID_HANDLE_VALUE;
    uint32_t header_size = 0;
    uint32_t section_count = 0;
    Section sections[kMaxSections];
    uint32_t import_rva = 0;
    uint32_t export_rva = 0, export_size = 0;

    ~Image() {
        if (file != INVALID_HANDLE_VALUE) sys.CloseHandle(file);
    }

    bool read_at(uint32_t offset, void *buffer, DWORD length) const {
        OVERLAPPED at = {};
        at.Offset = offset;
        DWORD got = 0;
        return sys.ReadFile(file, buffer, length, &got, &at) && got == length;
    }

    // The file offset of `length` bytes at `rva`, and how many bytes the file
    // holds from there to the end of their section; false outside the file.
    bool locate(uint32_t rva, uint32_t length, uint32_t *offset, uint32_t *room) const {
        if (rva < header_size && length <= header_size - rva) {
            *offset = rva;
            *room = header_size - rva;
            return true;
        }
        for (uint32_t i = 0; i < section_count; ++i) {
            const Section &s = sections[i];
            if (rva < s.address || rva - s.address >= s.raw_size) continue;
            uint32_t into = rva - s.address;
            if (length > s.raw_size - into || s.raw_offset > UINT32_MAX - s.raw_size) return false;
            *offset = s.raw_offset + into;
            *room = s.raw_size - into;
            return true;
        }
        return false;
    }

    bool read_rva(uint32_t rva, void *buffer, uint32_t length) const {
        uint32_t offset = 0, room = 0;
        return locate(rva, length, &offset, &room) && read_at(offset, buffer, length);
    }

    // A name closed by a zero within kNameBytes and its section.
    bool read_name(uint32_t rva, char *name) const {
        uint32_t offset = 0, room = 0;
        if (!locate(rva, 1, &offset, &room)) return false;
        DWORD length = room < kNameBytes ? room : kNameBytes;
        if (!read_at(offset, name, length)) return false;
        return memchr(name, 0, length) != nullptr && name[0] != 0;
    }

    bool open(const wchar_t *path) {
        file = sys.CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return false;
        unsigned char dos[64];
        if (!read_at(0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') return false;
        uint32_t pe = le32(dos + 0x3C);
        unsigned char head[24];
        if (pe > kMaxHeaderOffset || !read_at(pe, head, sizeof head) || memcmp(head, "PE\0\0", 4) != 0) return false;
        section_count = le16(head + 6);
        uint32_t optional_size = le16(head + 20);
        // PE32+ with the import directory (index 1) among its directories.
        if (section_count > kMaxSections || optional_size < 112 + 2 * 8) return false;
        static unsigned char rest[0xFFFF + kMaxSections * 40];
        if (!read_at(pe + 24, rest, optional_size + section_count * 40)) return false;
        if (le16(rest) != 0x20B || le32(rest + 108) < 2) return false;
        header_size = le32(rest + 60);
        export_rva = le32(rest + 112);
        export_size = le32(rest + 116);
        import_rva = le32(rest + 120);
        for (uint32_t i = 0; i < section_count; ++i) {
            const unsigned char *s = rest + optional_size + i * 40;
            sections[i] = {le32(s + 12), le32(s + 16), le32(s + 20)};
        }
        return true;
    }

    // Whether the export directory names `function`: its names are sorted, as
    // the loader's own binary search needs them. False too when it cannot tell.
    bool exports(const char *function, int *budget) const {
        unsigned char directory[40];
        if (export_size < sizeof directory || !read_rva(export_rva, directory, sizeof directory)) return true;
        uint32_t count = le32(directory + 24), names = le32(directory + 32);
        uint32_t low = 0, high = count;
        while (low < high) {
            if (--*budget < 0) return true;
            uint32_t middle = low + (high - low) / 2;
            unsigned char entry[4];
            char name[kNameBytes];
            if (uint64_t{names} + uint64_t{middle} * 4 > UINT32_MAX || !read_rva(names + middle * 4, entry, 4) ||
                !read_name(le32(entry), name))
                return true;
            int order = strcmp(function, name);
            if (order == 0) return true;
            if (order < 0)
                high = middle;
            else
                low = middle + 1;
        }
        return false;
    }
};

// `name` as UTF-16, in `path` after `folder` and a backslash; false when too long.
bool join(wchar_t *path, const wchar_t *folder, const char *name) {
    size_t at = wide_length(folder);
    size_t length = strlen(name);
    if (at + 1 + length >= kPathCapacity) return false;
    copy_wide_bounded(path, folder, kPathCapacity);
    path[at++] = L'\\';
    for (size_t i = 0; i <= length; ++i) path[at + i] = static_cast<wchar_t>(static_cast<unsigned char>(name[i]));
    return true;
}

bool is_file(const wchar_t *path) {
    DWORD attributes = sys.GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool same_name(const char *a, const char *b) {
    for (; *a != 0 && *b != 0; ++a, ++b) {
        char x = *a >= 'A' && *a <= 'Z' ? static_cast<char>(*a + 32) : *a;
        char y = *b >= 'A' && *b <= 'Z' ? static_cast<char>(*b + 32) : *b;
        if (x != y) return false;
    }
    return *a == *b;
}

// API sets are names the loader maps to other DLLs, never files.
bool is_api_set(const char *name) { return strncmp(name, "api-ms-", 7) == 0 || strncmp(name, "ext-ms-", 7) == 0; }

}  // namespace

bool describe_missing_import(const wchar_t *library_path, long error, char *line, size_t capacity) {
    wchar_t folder[kPathCapacity];
    copy_wide_bounded(folder, library_path, kPathCapacity);
    wchar_t *slash = last_backslash(folder);
    if (slash == nullptr) return false;
    *slash = 0;
    wchar_t system[MAX_PATH + 1];
    if (sys.SHGetFolderPathW(nullptr, CSIDL_SYSTEM, nullptr, 0, system) != S_OK) return false;

    // The modules to read, by name: the entry first (its name as UTF-8 for
    // the line), then each packed DLL the ones before it import.
    static char modules[kMaxImportModules][kNameBytes];
    int module_count = 1;
    size_t used = 0;
    for (const wchar_t *c = slash + 1; *c != 0 && used + 4 < kNameBytes; ++c) {
        uint32_t u = static_cast<uint16_t>(*c);
        if (u >= 0xD800 && u < 0xE000) u = '?';
        if (u < 0x80) {
            modules[0][used++] = static_cast<char>(u);
        } else if (u < 0x800) {
            modules[0][used++] = static_cast<char>(0xC0 | (u >> 6));
            modules[0][used++] = static_cast<char>(0x80 | (u & 0x3F));
        } else {
            modules[0][used++] = static_cast<char>(0xE0 | (u >> 12));
            modules[0][used++] = static_cast<char>(0x80 | ((u >> 6) & 0x3F));
            modules[0][used++] = static_cast<char>(0x80 | (u & 0x3F));
        }
    }
    modules[0][used] = 0;

    int budget = kMaxImportNames;
    wchar_t path[kPathCapacity];
    for (int m = 0; m < module_count; ++m) {
        Image image;
        if (m == 0 ? !image.open(library_path) : !(join(path, folder, modules[m]) && image.open(path))) return false;
        for (uint32_t d = 0; image.import_rva != 0; ++d) {
            if (--budget < 0) return false;
            unsigned char descriptor[20];
            char dll[kNameBytes];
            if (d > UINT32_MAX / 20 || !image.read_rva(image.import_rva + d * 20, descriptor, sizeof descriptor))
                return false;
            uint32_t name_rva = le32(descriptor + 12);
            if (name_rva == 0) break;
            if (!image.read_name(name_rva, dll)) return false;
            if (is_api_set(dll)) continue;
            bool packed = join(path, folder, dll) && is_file(path);
            if (!packed && !(join(path, system, dll) && is_file(path))) {
                snprintf(line, capacity,
                         "Not found: '%s', imported by '%s' (looked for in the unpacked folder and the system folder).\n",
                         dll, modules[m]);
                return true;
            }
            if (packed) {
                bool known = false;
                for (int k = 0; k < module_count && !known; ++k) known = same_name(modules[k], dll);
                if (!known && module_count < kMaxImportModules) memcpy(modules[module_count++], dll, kNameBytes);
            }
            if (error != ERROR_PROC_NOT_FOUND) continue;
            // The functions imported by name, each looked for among the DLL's exports.
            Image target;
            if (!target.open(path)) return false;
            uint32_t thunks = le32(descriptor) != 0 ? le32(descriptor) : le32(descriptor + 16);
            for (uint32_t t = 0;; ++t) {
                if (--budget < 0) return false;
                unsigned char thunk[8];
                char function[kNameBytes + 2];
                if (t > UINT32_MAX / 8 || !image.read_rva(thunks + t * 8, thunk, sizeof thunk)) return false;
                uint32_t low = le32(thunk), high = le32(thunk + 4);
                if (low == 0 && high == 0) break;
                if (high & 0x80000000u) continue;  // imported by ordinal
                if (low > UINT32_MAX - 2 || !image.read_name(low + 2, function)) return false;
                if (!target.exports(function, &budget)) {
                    snprintf(line, capacity, "Not found: '%s' in '%s', imported by '%s'.\n", function, dll, modules[m]);
                    return true;
                }
            }
        }
    }
    return false;
}
