// Checked file reading and writing; see file_io.h.
#include "host/file_io.h"

#include <cerrno>
#include <cstring>

#include "host/errors.h"

namespace tarven {
namespace {

int seek_to(std::FILE* f, uint64_t offset) {
#ifdef _WIN32
  return _fseeki64(f, static_cast<__int64>(offset), SEEK_SET);
#else
  return fseeko(f, static_cast<off_t>(offset), SEEK_SET);
#endif
}

std::string reason() { return std::strerror(errno); }

std::FILE* open_file(const std::filesystem::path& path, bool write) {
#ifdef _WIN32
  return ::_wfopen(path.c_str(), write ? L"wb" : L"rb");
#else
  return std::fopen(path.c_str(), write ? "wb" : "rb");
#endif
}

}  // namespace

InputFile::InputFile(const std::filesystem::path& path) : name_(display_path(path)) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) throw user_error(name_ + ": is a folder, not a file");
  file_ = open_file(path, false);
  if (!file_) throw user_error(name_ + ": cannot open: " + reason());
  const auto size = std::filesystem::file_size(path, ec);
  if (ec) throw user_error(name_ + ": cannot read its size: " + ec.message());
  size_ = size;
}

InputFile::~InputFile() {
  if (file_) std::fclose(file_);
}

void InputFile::read_at(uint64_t offset, void* buffer, size_t n) {
  if (offset > size_ || n > size_ - offset)
    throw failure(name_ + ": ends too early (wanted " + std::to_string(n) + " bytes at offset " +
                  std::to_string(offset) + ")");
  if (seek_to(file_, offset) != 0) throw failure(name_ + ": cannot seek: " + reason());
  if (n && std::fread(buffer, 1, n, file_) != n)
    throw failure(name_ + ": cannot read: " + (std::ferror(file_) ? reason() : "file shrank"));
}

size_t InputFile::read_some(void* buffer, size_t n) {
  const size_t got = std::fread(buffer, 1, n, file_);
  if (got < n && std::ferror(file_)) throw failure(name_ + ": cannot read: " + reason());
  return got;
}

OutputFile::OutputFile(const std::filesystem::path& path) : name_(display_path(path)) {
  file_ = open_file(path, true);
  if (!file_) throw user_error(name_ + ": cannot create: " + reason());
}

OutputFile::~OutputFile() {
  if (file_) std::fclose(file_);
}

void OutputFile::write(const void* data, size_t n) {
  if (n && std::fwrite(data, 1, n, file_) != n) throw failure(name_ + ": cannot write: " + reason());
  written_ += n;
}

void OutputFile::seek(uint64_t offset) {
  if (seek_to(file_, offset) != 0) throw failure(name_ + ": cannot seek: " + reason());
}

void OutputFile::close() {
  std::FILE* f = file_;
  file_ = nullptr;
  if (std::fflush(f) != 0 || std::ferror(f)) {
    const std::string why = reason();
    std::fclose(f);
    throw failure(name_ + ": cannot write: " + why);
  }
  if (std::fclose(f) != 0) throw failure(name_ + ": cannot write: " + reason());
}

std::string read_text_file(const std::filesystem::path& path) {
  InputFile in(path);
  std::string text(static_cast<size_t>(in.size()), '\0');
  in.read_at(0, text.data(), text.size());
  return text;
}

void write_text_file(const std::filesystem::path& path, const std::string& text) {
  OutputFile out(path);
  out.write(text);
  out.close();
}

}  // namespace tarven
