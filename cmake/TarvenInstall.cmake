# Install rules of the host build (cmake --install <build> --prefix P):
#   P/bin/tarven-pack                      (packer/CMakeLists.txt), the whole kit:
#                                          it carries the launcher it writes from
#   P/bin/tarven-pack.exe                  the same packer for Windows
#   P/lib/cmake/TarvenOnefile/             the CMake package: config, version,
#                                          tarven_add_onefile(), a mingw-w64 toolchain file
include(CMakePackageConfigHelpers)
set(TARVEN_INSTALL_BINDIR bin)
set(TARVEN_INSTALL_CMAKEDIR lib/cmake/TarvenOnefile)

install(PROGRAMS "${CMAKE_BINARY_DIR}/winpack/tarven-pack.exe" DESTINATION "${TARVEN_INSTALL_BINDIR}")

set(tarven_package_dir "${CMAKE_BINARY_DIR}/package")
configure_package_config_file("${CMAKE_SOURCE_DIR}/cmake/TarvenOnefileConfig.cmake.in"
  "${tarven_package_dir}/TarvenOnefileConfig.cmake"
  INSTALL_DESTINATION "${TARVEN_INSTALL_CMAKEDIR}"
  PATH_VARS TARVEN_INSTALL_BINDIR)
# 0.x releases may change the interface: only the same minor version matches.
# Architecture-independent: the package serves cross builds for Windows.
write_basic_package_version_file("${tarven_package_dir}/TarvenOnefileConfigVersion.cmake"
  VERSION "${PROJECT_VERSION}" COMPATIBILITY SameMinorVersion ARCH_INDEPENDENT)
install(FILES "${tarven_package_dir}/TarvenOnefileConfig.cmake"
  "${tarven_package_dir}/TarvenOnefileConfigVersion.cmake"
  "${CMAKE_SOURCE_DIR}/cmake/TarvenAddOnefile.cmake"
  "${CMAKE_SOURCE_DIR}/cmake/mingw-w64.cmake"
  DESTINATION "${TARVEN_INSTALL_CMAKEDIR}")
