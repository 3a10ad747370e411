// Text for a Windows console. The packer writes UTF-8; a console shows bytes
// in its own code page, and the C runtime's stdio garbles UTF-8 there even
// after SetConsoleOutputCP (seen under Wine). So while a UnicodeConsole
// lives, std::cout and std::cerr reach a console as UTF-16 through
// WriteConsoleW, whatever its code page, which stays as the user had it.
// Pipes and files still get the UTF-8 bytes. On Linux it does nothing.
#pragma once

#include <memory>
#include <streambuf>

namespace tarven {

class UnicodeConsole {
 public:
  UnicodeConsole();
  // Writes what is pending and gives the streams their own buffers back.
  ~UnicodeConsole();
  UnicodeConsole(const UnicodeConsole&) = delete;
  UnicodeConsole& operator=(const UnicodeConsole&) = delete;

 private:
  std::unique_ptr<std::streambuf> out_, err_;
  std::streambuf* old_out_ = nullptr;
  std::streambuf* old_err_ = nullptr;
};

}  // namespace tarven
