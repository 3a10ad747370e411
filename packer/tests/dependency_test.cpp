// The dependency check on DLLs from the real toolchain: the GNU C++ runtime
// of a DLL linked without -static, a packed helper found where the loader
// looks, and a delay-loaded import that counts like any other.
#include <gtest/gtest.h>

#include "image/dependencies.h"
#include "pe_builder.h"
#include "test_support.h"

namespace tarven {
namespace {

using tarven_test::run_packer;
using tarven_test::test_dll;

PackEntry entry(const std::u16string& name, const std::string& file) {
  return {name, test_dll(file), 0};
}

std::string joined(const std::vector<std::string>& lines) {
  std::string all;
  for (const std::string& line : lines) all += line + "\n";
  return all;
}

TEST(Dependencies, SystemDllsAreKnown) {
  for (const char* dll : {"kernel32.dll", "KERNEL32.dll", "msvcrt.dll", "ucrtbase.dll", "user32.dll",
                          "api-ms-win-crt-runtime-l1-1-0.dll", "ws2_32.dll"})
    EXPECT_TRUE(is_system_dll(dll)) << dll;
  for (const char* dll : {"libstdc++-6.dll", "libgcc_s_seh-1.dll", "vcruntime140.dll", "msvcp140.dll", "helper.dll",
                          "kernel32"})
    EXPECT_FALSE(is_system_dll(dll)) << dll;
}

TEST(Dependencies, UnmetImportsAreNamedWithAdvice) {
  TARVEN_REQUIRE_MINGW();
  const std::string cxx = joined(unmet_dependencies({entry(u"cxx_dynamic.dll", "cxx_dynamic.dll")}));
  // The runtime's DLLs share one line of advice.
  EXPECT_EQ(cxx, "cxx_dynamic.dll imports libgcc_s_seh-1.dll and libstdc++-6.dll, which are neither system DLLs "
                 "nor packed where the loader looks (beside it or at the top): the GNU C++ runtime: link your DLL "
                 "with -static (or -static-libgcc -static-libstdc++)\n");

  // helper.dll beside the DLL or at the top satisfies it; elsewhere it does not.
  EXPECT_EQ(joined(unmet_dependencies({entry(u"user.dll", "user.dll"), entry(u"helper.dll", "helper.dll")})), "");
  EXPECT_EQ(joined(unmet_dependencies({entry(u"bin\\user.dll", "user.dll"), entry(u"helper.dll", "helper.dll")})), "");
  const std::string missing = joined(unmet_dependencies({entry(u"user.dll", "user.dll"),
                                                         entry(u"other\\helper.dll", "helper.dll")}));
  EXPECT_NE(missing.find("user.dll imports helper.dll"), std::string::npos) << missing;
  EXPECT_NE(missing.find("pack helper.dll beside it (it is packed as other\\helper.dll, where the loader does not look)"),
            std::string::npos) << missing;
  const std::string absent = joined(unmet_dependencies({entry(u"user.dll", "user.dll")}));
  EXPECT_NE(absent.find("user.dll imports helper.dll, which is neither a system DLL nor packed where the loader "
                        "looks (beside it or at the top): pack it beside the DLL that needs it"),
            std::string::npos) << absent;

  // A delay-loaded import counts like any other. GNU ld leaves the
  // delay-import directory of what it links empty (the loader does not need
  // it), so this image is built byte by byte, as MSVC fills it.
  tarven_test::ScratchDir d;
  tarven_test::PeShape shape;
  shape.exports = {"run_code"};
  shape.imports = {"KERNEL32.dll"};
  shape.delay_imports = {"msvcp140.dll", "delayed.dll"};
  tarven_test::write_file(d / "delay.dll", tarven_test::make_pe(shape));
  const std::string delayed = joined(unmet_dependencies({{u"delay.dll", d / "delay.dll", 0}}));
  EXPECT_NE(delayed.find("delay.dll imports msvcp140.dll"), std::string::npos) << delayed;
  EXPECT_NE(delayed.find("the Visual C++ runtime: pack its DLLs beside yours"), std::string::npos) << delayed;
  EXPECT_NE(delayed.find("delay.dll imports delayed.dll"), std::string::npos) << delayed;
  EXPECT_EQ(delayed.find("KERNEL32"), std::string::npos) << delayed;

  // The posix-thread compilers' runtime: -static-libgcc -static-libstdc++
  // leave libwinpthread-1.dll, so its advice says what takes it in.
  shape.imports = {"libstdc++-6.dll", "libwinpthread-1.dll", "KERNEL32.dll"};
  shape.delay_imports = {};
  tarven_test::write_file(d / "posix.dll", tarven_test::make_pe(shape));
  const std::string posix = joined(unmet_dependencies({{u"posix.dll", d / "posix.dll", 0}}));
  EXPECT_NE(posix.find("posix.dll imports libstdc++-6.dll, which is neither a system DLL nor packed where the "
                       "loader looks (beside it or at the top): the GNU C++ runtime: link your DLL with -static "
                       "(or -static-libgcc -static-libstdc++)\n"), std::string::npos) << posix;
  EXPECT_NE(posix.find("posix.dll imports libwinpthread-1.dll, which is neither a system DLL nor packed where the "
                       "loader looks (beside it or at the top): the GNU C++ runtime: link your DLL with -static "
                       "(-static-libgcc -static-libstdc++ still leave libwinpthread-1.dll to the posix-thread "
                       "compilers), or pack libwinpthread-1.dll beside it\n"), std::string::npos) << posix;

  // The command line warns by default and refuses with --strict.
  auto r = tarven_test::build_exe(d / "a.exe", {test_dll("cxx_dynamic.dll").string()});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("tarven-pack: warning: cxx_dynamic.dll imports libgcc_s_seh-1.dll and libstdc++-6.dll"),
            std::string::npos) << r.err;
  // --strict names every missing DLL, of every packed DLL, in its one line.
  r = tarven_test::build_exe(d / "b.exe", {test_dll("cxx_dynamic.dll").string(), test_dll("user.dll").string(),
                                           "--strict"});
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.err.rfind("tarven-pack: cxx_dynamic.dll imports libgcc_s_seh-1.dll and libstdc++-6.dll", 0), 0u) << r.err;
  EXPECT_NE(r.err.find("; user.dll imports helper.dll, "), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line";
  EXPECT_FALSE(std::filesystem::exists(d / "b.exe"));
}

}  // namespace
}  // namespace tarven
