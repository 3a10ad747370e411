// Just enough of the PE format, read portably and bounds-checked: the COFF
// header, the optional header's kind, the sections and the export names.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/file_io.h"

namespace tarven {

constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kImageFileDll = 0x2000;
constexpr uint16_t kMagicPe32 = 0x10B;
constexpr uint16_t kMagicPe32Plus = 0x20B;

struct PeSection {
  std::string name;
  uint32_t virtual_size = 0;
  uint32_t virtual_address = 0;
  uint32_t raw_size = 0;
  uint32_t raw_offset = 0;
};

struct DataDirectory {
  uint32_t address = 0;  // an RVA; for the certificate table a file offset
  uint32_t size = 0;
};

constexpr uint16_t kSubsystemGui = 2;
constexpr uint16_t kSubsystemConsole = 3;
constexpr uint32_t kExportDirectoryIndex = 0;
constexpr uint32_t kImportDirectoryIndex = 1;
constexpr uint32_t kResourceDirectoryIndex = 2;
constexpr uint32_t kCertificateDirectoryIndex = 4;
constexpr uint32_t kDebugDirectoryIndex = 6;
constexpr uint32_t kDelayImportDirectoryIndex = 13;

class PeImage {
 public:
  // Problems are Failures with `exit_code`, naming the file.
  PeImage(InputFile& file, int exit_code);

  uint16_t machine() const { return machine_; }
  uint16_t characteristics() const { return characteristics_; }
  uint16_t magic() const { return magic_; }
  // 2 a GUI program, 3 a console one; 0 when the header is too short to say.
  uint16_t subsystem() const { return subsystem_; }
  const std::vector<PeSection>& sections() const { return sections_; }
  // The optional header's place in the file, and its data directory `index`
  // (zeros when the header has none).
  uint64_t optional_offset() const { return optional_offset_; }
  DataDirectory directory(uint32_t index) const;
  // The file offset of data directory `index`'s entry; 0 when the header has none.
  uint64_t directory_entry_offset(uint32_t index) const;
  const PeSection* find_section(const std::string& name) const;
  // Bytes of a section that exist in the file (the rest of a section is zeros).
  uint32_t bytes_in_file(const PeSection& section) const;
  // Names in the export directory, empty if there is none.
  std::vector<std::string> export_names();
  // The DLLs the image imports, loaded at start or delay-loaded, in the order
  // the import and delay-import directories name them.
  std::vector<std::string> imported_dlls();
  // The file offset of `length` bytes at `rva`; a failure unless a section holds them in the file.
  uint64_t rva_to_offset(uint32_t rva, uint32_t length) const;
  // Bytes the file holds from `rva` to the end of its section; 0 outside every section.
  uint32_t bytes_from(uint32_t rva) const;

 private:
  [[noreturn]] void fail(const std::string& what) const;

  InputFile& file_;
  int exit_code_;
  uint16_t machine_ = 0;
  uint16_t characteristics_ = 0;
  uint16_t magic_ = 0;
  uint16_t subsystem_ = 0;
  std::string name_at(uint32_t rva);
  uint64_t optional_offset_ = 0;
  uint64_t directories_offset_ = 0;  // in the file; 0 when there are none
  std::vector<DataDirectory> directories_;
  std::vector<PeSection> sections_;
};

}  // namespace tarven
