// Fuzz target: arbitrary stored payloads through the launcher's real entry
// loop (extract_payload as a parent) over a fake file system that writes
// nothing to disk. Beyond the sanitizers, each outcome is judged against a
// reference: the same input decoded by zstd (reference.h) and parsed as
// entry records. Every file must get the reference's name and bytes, and the
// loop must succeed exactly when the reference stream is whole.
#include <stdint.h>
#include <string.h>
#include <wchar.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/host_system.h"
#include "fuzz/reference.h"
#include "launcher/tests/support/fake_files.h"
#include "unpack/extract.h"
#include "unpack/report.h"
#include "unpack/state.h"
#include "payload/reader.h"
#include "system/native_values.h"

namespace {

constexpr size_t kNameLimit = kEntryNameMaxUnits;
const wchar_t kTarget[] = L"C:\\Users\\u\\AppData\\Local\\Temp\\onefile_4242_012345_ABCDEFGHIJK";
const char kHeaderError[] = "Error, couldn't find attached data header.\n";
const char kDecodeError[] = "Error, couldn't decode attached data.\n";
const std::string kForeignError = [] {
    std::string line = "Error, target folder '";
    for (const wchar_t *unit = kTarget; *unit != 0; ++unit) line += static_cast<char>(*unit);  // ASCII
    return line + "' is there already and not the user's alone.\n";
}();

struct Entry {
    std::wstring name;
    uint64_t size;
    size_t data_offset;
};

enum class Shape { whole, broken, unknown };

struct Reference {
    std::string stream;
    bool capped = false;
    std::vector<size_t> frame_ends;  // where frames ended whole, in stream bytes
    size_t first_bad_checksum = SIZE_MAX;  // see DecodedStream
    std::vector<Entry> entries;  // the entries the stream holds in full
    Shape shape = Shape::broken;
};

// Whether a name is one the packer writes: components separated by "\\",
// none empty, "." or "..", none holding a control character or one of
// < > : " / | ? *, none ending in a dot or a space, none a device name
// (CON, PRN, AUX, NUL, COM1-9, LPT1-9, with any extension). Anything else is damage.
bool packer_would_write(const std::wstring &name) {
    std::wstring component;
    for (size_t i = 0; i <= name.size(); ++i) {
        if (i < name.size() && name[i] != L'\\') {
            if (name[i] < 0x20 || std::wstring(L"<>:\"/|?*").find(name[i]) != std::wstring::npos) return false;
            component += name[i];
            continue;
        }
        if (component.empty() || component == L"." || component == L".." || component.back() == L'.' ||
            component.back() == L' ')
            return false;
        std::wstring stem = component.substr(0, component.find(L'.'));
        while (!stem.empty() && stem.back() == L' ') stem.pop_back();
        for (wchar_t &unit : stem)
            if (unit >= L'a' && unit <= L'z') unit = static_cast<wchar_t>(unit - 32);
        if (stem == L"CON" || stem == L"PRN" || stem == L"AUX" || stem == L"NUL") return false;
        if (stem.size() == 4 && (stem.compare(0, 3, L"COM") == 0 || stem.compare(0, 3, L"LPT") == 0) &&
            stem[3] >= L'1' && stem[3] <= L'9')
            return false;
        component.clear();
    }
    return true;
}

// Reads the entry records; a stream cut short is broken unless the cap cut it.
void parse_reference(Reference &reference) {
    const std::string &s = reference.stream;
    size_t at = 0;
    auto cut_short = [&] { reference.shape = reference.capped ? Shape::unknown : Shape::broken; };
    for (;;) {
        std::wstring name;
        for (;;) {
            if (at + 2 > s.size()) return cut_short();
            wchar_t unit = static_cast<unsigned char>(s[at]) | (static_cast<unsigned char>(s[at + 1]) << 8);
            at += 2;
            if (unit == 0) break;
            if (name.size() == kNameLimit) {
                reference.shape = Shape::broken;  // no terminator within 1023 units
                return;
            }
            name += unit;
        }
        // The end record counts once the frame that holds it has ended whole
        // and the checksums of it and the frames before it hold: the loop
        // decodes on to the frame's end to test them.
        if (name.empty()) {
            // Frames end in stream order: the first to end at or past the record holds it.
            size_t frame = 0;
            while (frame < reference.frame_ends.size() && reference.frame_ends[frame] < at) ++frame;
            if (frame == reference.frame_ends.size()) return cut_short();
            reference.shape = reference.first_bad_checksum <= frame ? Shape::broken : Shape::whole;
            return;
        }
        if (!packer_would_write(name)) {
            reference.shape = Shape::broken;  // refused before anything of it is written
            return;
        }
        if (at + 8 > s.size()) return cut_short();
        uint64_t size = 0;
        for (int i = 7; i >= 0; --i) size = (size << 8) | static_cast<unsigned char>(s[at + i]);
        at += 8;
        if (size > s.size() - at) {
            reference.entries.push_back({name, size, at});
            return cut_short();
        }
        reference.entries.push_back({name, size, at});
        at += size;
    }
}

// ---- the fake file system (launcher/tests/support/fake_files.h), judging as it goes ----

const Reference *judged;

void judge_open(const wchar_t *path, DWORD access, DWORD disposition, size_t index) {
    if ((access & GENERIC_WRITE) == 0 || (disposition != kFileCreateNew && disposition != kFileOpenExisting))
        finding("a file opened other than for writing");
    if (index >= judged->entries.size() && !judged->capped) finding("a file for an entry the stream does not hold");
    if (index < judged->entries.size() &&
        std::wstring(path) != std::wstring(kTarget) + L"\\" + judged->entries[index].name)
        finding("a file's path is not the target folder and the entry's name");
}

void judge_write(size_t index, const void *data, DWORD size, uint64_t written_before) {
    if (size == 0 || size > 32768) finding("a write outside 1..32768 bytes");
    if (index < judged->entries.size()) {
        const Entry &entry = judged->entries[index];
        if (written_before + size > entry.size) finding("a file got more bytes than its entry holds");
        size_t from = entry.data_offset + written_before;
        const std::string &s = judged->stream;
        size_t comparable = from < s.size() ? (s.size() - from < size ? s.size() - from : size) : 0;
        if (memcmp(s.data() + from, data, comparable) != 0) finding("a file's bytes differ from the stream's");
        if (comparable < size && !judged->capped) finding("a file got bytes the decoder never gave");
    }
}

// A file closed short is one whose entry failed (the loop closes it so its
// folder can go): the run must not end as though all was written.
bool closed_short;

void judge_close(size_t index, uint64_t written) {
    if (index < judged->entries.size() && written != judged->entries[index].size) closed_short = true;
}

// The target folder exists, made or checked before the loop, and its ancestors.
void reset_file_system() {
    std::vector<std::wstring> ancestors;
    std::wstring target = kTarget;
    for (size_t cut = target.find(L'\\', 3); cut != std::wstring::npos; cut = target.find(L'\\', cut + 1))
        ancestors.push_back(target.substr(0, cut));
    ancestors.push_back(target);
    install_fake_files(ancestors);
    host_last_error = 0;
}

struct Run {
    const uint8_t *data;
    size_t size;
    EntryLoopEnding ending;
};

// Runs the entry loop as a parent and reports as the run sequence does.
void extract(void *context) {
    auto *run = static_cast<Run *>(context);
    PayloadStatus opened = open_payload_at(run->data, run->size);
    if (opened != PayloadStatus::ok) report_payload_failure(opened);
    EntryLoopResult loop = extract_payload(false);
    run->ending = loop.ending;
    if (loop.ending != EntryLoopEnding::end_record) report_entry_loop_failure(loop);
}

void expect_exit(const Outcome &outcome, const char *standard_output) {
    if (outcome.ending != Ending::exited || outcome.exit_code != 2) finding("a failure that is not exit code 2");
    if (outcome.standard_output != standard_output || !outcome.standard_error.empty())
        finding("a failure with another message");
}

bool is_open_failure(const Outcome &outcome) {
    const std::string &e = outcome.standard_error;
    const std::string head = "Error, failed to open '", tail = "' for writing.\n";
    return outcome.ending == Ending::exited && outcome.exit_code == 2 && outcome.standard_output.empty() &&
           e.size() >= head.size() + tail.size() && e.compare(0, head.size(), head) == 0 &&
           e.compare(e.size() - tail.size(), tail.size(), tail) == 0;
}

void judge(const Outcome &outcome, const Run &run, const Reference &reference, bool marker_ok) {
    if (outcome.ending == Ending::aborted) finding("the fail-fast abort on a payload");
    if (!marker_ok) return expect_exit(outcome, kHeaderError);
    if (fake_files.open_refused) {
        if (!is_open_failure(outcome)) finding("a refused file without the open-failure report");
        return;
    }
    // Names that clash (a file and a folder of one name): the second is not
    // what the payload needs there.
    if (fake_files.kind_refused) {
        if (outcome.ending != Ending::exited || outcome.exit_code != 2 || outcome.standard_error != kForeignError)
            finding("a clash of a file and a folder without the target-folder report");
        return;
    }
    if (open_fake_folders() != 0) finding("a folder handle left open");
    if (outcome.ending == Ending::returned) {
        if (run.ending != EntryLoopEnding::end_record) finding("a parent's entry loop ended other than at the end record");
        if (closed_short) finding("a file closed before its entry's size was written");
        if (reference.shape == Shape::broken) finding("a broken stream extracted without an error");
        if (reference.shape == Shape::whole && fake_files.files_opened != reference.entries.size())
            finding("a whole stream extracted to another number of files");
        if (!fake_files.open_name.empty()) finding("the last file was left open");
        return;
    }
    expect_exit(outcome, kDecodeError);
    if (reference.shape == Shape::whole) finding("a whole stream reported as damaged");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool installed = [] {
        install_host_system();
        use_allocation_arena();
        fake_files.keep_contents = false;
        fake_files.set_error = [](DWORD code) { host_last_error = code; };
        fake_files.on_open = judge_open;
        fake_files.on_write = judge_write;
        fake_files.on_close = judge_close;
        fake_files.complain = finding;
        return true;
    }();
    (void)installed;
    // Made once and emptied per input: the decoded stream alone is up to the
    // reference's cap, and memory allocated by one input and released by the
    // next makes libFuzzer look for a leak (a run again under LeakSanitizer).
    static Reference reference;
    reference.capped = false;
    reference.shape = Shape::broken;
    bool marker_ok = size >= 3 && data[0] == 'W' && data[1] == 'E' && data[2] == 'Q';
    if (marker_ok) {
        static DecodedStream decoded;
        decode_reference(data, size, decoded);
        reference.stream.swap(decoded.bytes);
        reference.capped = decoded.capped;
        reference.frame_ends.swap(decoded.frame_ends);
        reference.first_bad_checksum = decoded.first_bad_checksum;
        parse_reference(reference);
    }
    judged = &reference;
    reset_file_system();
    reset_launcher_state();
    wcscpy(launcher_state.target_directory, kTarget);
    closed_short = false;
    Run run = {data, size, EntryLoopEnding::damaged};
    Outcome outcome = run_guarded(extract, &run);
    judge(outcome, run, reference, marker_ok);
    release_host_allocations();
    // The names go with the input that made them (see above).
    install_fake_files({});
    reference.stream.clear();
    reference.entries.clear();
    return 0;
}
