// UTF-8 streams to a Windows console; see console.h.
#include "host/console.h"

#include <iostream>
#include <string>

#ifdef _WIN32
#include <windows.h>

#include "host/utf.h"
#endif

namespace tarven {

#ifdef _WIN32

namespace {

// Collects a line (or what a flush asks for) and writes it as UTF-16.
class ConsoleBuffer : public std::streambuf {
 public:
  explicit ConsoleBuffer(HANDLE console) : console_(console) {}
  ~ConsoleBuffer() override { write_pending(); }

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    pending_.push_back(traits_type::to_char_type(c));
    if (c == '\n') write_pending();
    return c;
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    pending_.append(s, static_cast<size_t>(n));
    if (pending_.find('\n') != std::string::npos) write_pending();
    return n;
  }
  int sync() override {
    write_pending();
    return 0;
  }

 private:
  void write_pending() {
    if (pending_.empty()) return;
    DWORD written = 0;
    // The packer's texts are valid UTF-8; anything else goes out as it is.
    if (const auto text = utf8_to_utf16(pending_))
      WriteConsoleW(console_, text->data(), static_cast<DWORD>(text->size()), &written, nullptr);
    else
      WriteConsoleA(console_, pending_.data(), static_cast<DWORD>(pending_.size()), &written, nullptr);
    pending_.clear();
  }

  HANDLE console_;
  std::string pending_;
};

std::unique_ptr<std::streambuf> console_buffer(DWORD which) {
  const HANDLE handle = GetStdHandle(which);
  DWORD mode = 0;
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr || !GetConsoleMode(handle, &mode)) return nullptr;
  return std::make_unique<ConsoleBuffer>(handle);
}

}  // namespace

UnicodeConsole::UnicodeConsole()
    : out_(console_buffer(STD_OUTPUT_HANDLE)), err_(console_buffer(STD_ERROR_HANDLE)) {
  if (out_) old_out_ = std::cout.rdbuf(out_.get());
  if (err_) old_err_ = std::cerr.rdbuf(err_.get());
}

UnicodeConsole::~UnicodeConsole() {
  std::cout.flush();
  std::cerr.flush();
  if (out_) std::cout.rdbuf(old_out_);
  if (err_) std::cerr.rdbuf(old_err_);
}

#else

UnicodeConsole::UnicodeConsole() = default;
UnicodeConsole::~UnicodeConsole() = default;

#endif

}  // namespace tarven
