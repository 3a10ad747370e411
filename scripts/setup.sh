#!/usr/bin/env bash
# Makes a fresh Debian 12 machine (as root) ready to build and test the project.
# Idempotent and quiet: packages are installed once, zstd and GoogleTest are
# cross-built once into the build folder's cache.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TARVEN_BUILD_DIR:-$here/build}
cache=$build/deps
log=$build/setup.log
mkdir -p "$cache"
: >"$log"

say() { printf 'setup: %s\n' "$*" >&2; }
quiet() { "$@" >>"$log" 2>&1 || { tail -n 40 "$log" >&2; say "failed: $*"; exit 1; }; }

packages=(gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
          mingw-w64-x86-64-dev wine64 cmake ninja-build pkg-config libzstd-dev zstd
          googletest libgtest-dev libgmock-dev  # sources for Windows, libraries for the host
          g++ make clang time imagemagick python3
          xz-utils  # zstd's source tarball
          osslsigncode openssl python3-pefile  # signing, and an independent PE reader, in the tests
          xvfb fonts-wine  # a virtual display and Wine's fonts for docs/window-picture.sh only: no test needs a display
          libclang-rt-14-dev)  # libFuzzer and the sanitizers' runtimes for fuzz/

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  say "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  quiet apt-get update
  quiet apt-get install -y --no-install-recommends "${missing[@]}"
fi

# zstd's sources, from Debian's source package, unpacked once per run that
# needs them. Sets top (the unpacked tree).
top=
zstd_source() {
  [ -n "$top" ] && return 0
  if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src' /etc/apt/sources.list; then
    say "adding a deb-src entry for Debian's source packages"
    sed -e 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
      >/etc/apt/sources.list.d/tarven-src.sources
    quiet apt-get update
  fi
  local src=$cache/zstd-src
  rm -rf "$src" && mkdir -p "$src"
  say "fetching zstd's source package"
  # Some mirrors lack the newest (security) upload's sources: try each version apt knows.
  local got= v
  for v in $(apt-cache showsrc libzstd | sed -n 's/^Version: //p' | sort -rV | uniq); do
    if (cd "$src" && apt-get -o APT::Sandbox::User=root source --download-only "libzstd=$v" >>"$log" 2>&1); then
      got=$v; break
    fi
  done
  [ -n "$got" ] || { tail -n 20 "$log" >&2; say "could not fetch zstd's source package"; exit 1; }
  local tarball
  tarball=$(ls "$src"/libzstd_*.orig.tar.* | head -n 1)
  tar -xf "$tarball" -C "$src"
  top=$(find "$src" -mindepth 1 -maxdepth 1 -type d | head -n 1)
}

# zstd's decoder, cross-built as a decompress-only static library at -O2 (at
# -Os it decodes about 40% slower). One code path instead of a second one for
# BMI2 processors: 40 KB less in every executable for 0-4% of decoding speed
# (measured under Wine on 100 MB). One sequence decoder instead of a second,
# prefetching one for frames with distant matches: about 9 KB less, and the
# same speed on the benchmark's payloads at levels 3 and 18 with a 128 MiB
# window (the prefetching one was not faster on any of them). Huffman's
# single-symbol decoder alone would take 16 KB off but decode up to 13% slower.
# The frame, dictionary and table-reading code runs once per frame or block,
# not per byte: built for size, it takes 6 KB more off at no measurable cost
# (decoding the same payloads, each file's flags swapped one at a time).
# The objects carry their intermediate code as well (-flto): the launcher
# images are linked with link-time optimisation, which leaves out the
# decoder's functions that nothing calls (12 KB), where the linker alone keeps
# every function that has unwinding data. Each function keeps the level it
# was compiled at; other programs link the ordinary code beside it.
zstd_prefix=$cache/zstd-mingw
zstd_flags="-O2 -DNDEBUG -ffunction-sections -fdata-sections -DDYNAMIC_BMI2=0 -DZSTD_FORCE_DECOMPRESS_SEQUENCES_SHORT -flto -ffat-lto-objects"
zstd_small_files="decompress/zstd_decompress decompress/zstd_ddict common/entropy_common common/fse_decompress
  common/zstd_common common/error_private"
if [ ! -f "$zstd_prefix/lib/libzstd.a" ] || [ "$(cat "$zstd_prefix/flags" 2>/dev/null)" != "$zstd_flags $zstd_small_files" ]; then
  zstd_source
  say "cross-building zstd's decoder"
  quiet make -C "$top/lib" -j2 libzstd.a CC=x86_64-w64-mingw32-gcc-posix AR=x86_64-w64-mingw32-ar \
    ZSTD_LIB_COMPRESSION=0 ZSTD_LIB_DICTBUILDER=0 ZSTD_LEGACY_SUPPORT=0 \
    CFLAGS="$zstd_flags" MOREFLAGS=
  small=()
  for file in $zstd_small_files; do
    quiet x86_64-w64-mingw32-gcc-posix -c ${zstd_flags/-O2/-Os} -DXXH_NAMESPACE=ZSTD_ -DDEBUGLEVEL=0 \
      -DZSTD_LEGACY_SUPPORT=0 "$top/lib/$file.c" -o "$top/lib/${file##*/}.o"
    small+=("$top/lib/${file##*/}.o")
  done
  # Same member names: each replaces its -O2 build in the archive.
  quiet x86_64-w64-mingw32-ar r "$top/lib/libzstd.a" "${small[@]}"
  if x86_64-w64-mingw32-nm "$top/lib/libzstd.a" 2>/dev/null | grep -E ' T (ZSTD_compress|ZSTD_createCCtx|ZSTD_initCStream)' >/dev/null; then
    say "the cross-built zstd holds compressor symbols"; exit 1
  fi
  mkdir -p "$zstd_prefix/lib" "$zstd_prefix/include"
  cp "$top/lib/libzstd.a" "$zstd_prefix/lib/"
  cp "$top/lib/zstd.h" "$top/lib/zstd_errors.h" "$zstd_prefix/include/"
  echo "$zstd_flags $zstd_small_files" >"$zstd_prefix/flags"
fi

# The whole of zstd for the Windows packer, which compresses: multi-threaded
# with zstd's own Windows threads, and the runtime BMI2 choice left on, as the
# host's libzstd has it. Built after the decoder, whose libzstd.a it replaces
# in the source tree (each build keeps its objects in a folder of its flags).
zstd_full_prefix=$cache/zstd-mingw-full
zstd_full_flags="-O2 -DNDEBUG -ffunction-sections -fdata-sections -DZSTD_MULTITHREAD"
if [ ! -f "$zstd_full_prefix/lib/libzstd.a" ] || [ "$(cat "$zstd_full_prefix/flags" 2>/dev/null)" != "$zstd_full_flags" ]; then
  zstd_source
  say "cross-building zstd's multi-threaded library"
  quiet make -C "$top/lib" -j2 libzstd.a CC=x86_64-w64-mingw32-gcc-posix AR=x86_64-w64-mingw32-ar \
    ZSTD_LEGACY_SUPPORT=0 CFLAGS="$zstd_full_flags" MOREFLAGS=
  if ! x86_64-w64-mingw32-nm "$top/lib/libzstd.a" 2>/dev/null | grep -E ' T ZSTDMT_createCCtx_advanced$' >/dev/null; then
    say "the cross-built zstd lacks the multi-threaded compressor"; exit 1
  fi
  mkdir -p "$zstd_full_prefix/lib" "$zstd_full_prefix/include"
  cp "$top/lib/libzstd.a" "$zstd_full_prefix/lib/"
  cp "$top/lib/zstd.h" "$top/lib/zstd_errors.h" "$top/lib/zdict.h" "$zstd_full_prefix/include/"
  echo "$zstd_full_flags" >"$zstd_full_prefix/flags"
fi

# GoogleTest and GoogleMock for the Windows side, from the sources of Debian's
# googletest package, cross-built with the project's toolchain file.
gtest_prefix=$cache/gtest-mingw
if [ ! -f "$gtest_prefix/lib/cmake/GTest/GTestConfig.cmake" ]; then
  say "cross-building GoogleTest (a few minutes; log: $log)"
  rm -rf "$cache/gtest-build"
  quiet cmake -S /usr/src/googletest -B "$cache/gtest-build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$gtest_prefix" -Dgtest_disable_pthreads=OFF
  quiet cmake --build "$cache/gtest-build"
  quiet cmake --install "$cache/gtest-build"
fi
