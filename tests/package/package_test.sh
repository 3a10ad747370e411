#!/usr/bin/env bash
# The installed product end to end: installs this build into a scratch prefix,
# builds examples/cmake-project against the installed package with the
# installed mingw-w64 toolchain file, runs lister.exe under Wine and checks
# that `tarven-pack list`, `verify` and `extract` agree with what the launcher
# unpacked; then that a rebuild packs again exactly when an input changed and
# that two builds in different folders (and generators) give the same bytes.
# Usage: package_test.sh CMAKE GENERATOR BUILD_DIR SOURCE_DIR WINE_ROOT SCRATCH
set -euo pipefail
cmake=$1 generator=$2 build=$3 source=$4 wine_root=$5 scratch=$6

fail() { echo "FAIL: $*" >&2; exit 1; }
step() { echo "-- $*"; }
quiet() { "$@" >"$scratch/last.log" 2>&1 || { cat "$scratch/last.log" >&2; fail "$*"; }; }

rm -rf "$scratch"
mkdir -p "$scratch"
prefix=$scratch/prefix
package=$prefix/lib/cmake/TarvenOnefile
pack=$prefix/bin/tarven-pack

step "cmake --install into a scratch prefix, then move it: nothing may point back"
quiet "$cmake" --install "$build" --prefix "$scratch/installed"
mv "$scratch/installed" "$prefix"
for f in bin/tarven-pack \
         lib/cmake/TarvenOnefile/TarvenOnefileConfig.cmake lib/cmake/TarvenOnefile/TarvenOnefileConfigVersion.cmake \
         lib/cmake/TarvenOnefile/TarvenAddOnefile.cmake lib/cmake/TarvenOnefile/mingw-w64.cmake; do
  [ -f "$prefix/$f" ] || fail "the install lacks $f"
done
[ -x "$pack" ] || fail "the installed tarven-pack is not executable"
[ ! -e "$prefix/lib/tarven-onefile" ] || fail "the install still holds a launcher kit beside the packer"

# Configures and builds one copy of the example: configure_example NAME GENERATOR
# HOW-TO-FIND-THE-PACKAGE.
configure_example() {
  cp -r "$source/examples/cmake-project" "$scratch/$1"
  quiet "$cmake" -S "$scratch/$1" -B "$scratch/$1/build" -G "$2" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$package/mingw-w64.cmake" "$3"
  quiet "$cmake" --build "$scratch/$1/build"
}
step "configure and build the example (a, $generator)"
configure_example a "$generator" -DCMAKE_PREFIX_PATH="$prefix"
app=$scratch/a
exe=$app/build/lister.exe
[ -f "$exe" ] || fail "the build made no lister.exe (the DLL target shares its name)"

step "run it under Wine and copy what the launcher unpacked"
mkdir -p "$scratch/run"
copied=$scratch/copied
windows_copied="Z:${copied//\//\\}"
(cd "$scratch/run" && "$source/scripts/wine-run" "$wine_root" "$exe" --copy-to "$windows_copied") \
  >"$scratch/run.raw" 2>&1 || { cat "$scratch/run.raw" >&2; fail "lister.exe failed"; }
tr -d '\r' <"$scratch/run.raw" >"$scratch/run.out"
grep -qx "message: Hello from the data folder." "$scratch/run.out" || { cat "$scratch/run.out"; fail "no message"; }

# Payload names, one a line, sorted, with "/" for "\".
listed_names() { sed -n '/^entries/,/^target template:/p' "$1" | sed -n 's/^ *[0-9]\+  //p' | tr '\\' / | sort; }

step "tarven-pack list, verify and extract agree with the launcher"
quiet "$pack" list "$exe"
cp "$scratch/last.log" "$scratch/list.out"
sed -n '/^entries/{n;p}' "$scratch/list.out" | grep -q ' lister\.dll$' || fail "lister.dll is not the first entry"
listed_names "$scratch/list.out" >"$scratch/listed"
(cd "$copied" && find . -type f | sed 's|^\./||' | sort) >"$scratch/unpacked"
diff "$scratch/listed" "$scratch/unpacked" || fail "list and the unpacked folder name different files"
printf '%s\n' data/images/mark.pbm data/message.txt lister.dll notes.txt | diff - "$scratch/listed" \
  || fail "the payload does not hold exactly the DLL, FILES and DIRECTORIES"
for line in "company: Tarven Examples" "product: Lister" "version: 1.2.0.0" 'target template: {TEMP}\lister-{PID}-{RANDOM}'; do
  grep -qxF "$line" "$scratch/list.out" || fail "list lacks '$line'"
done
quiet "$pack" verify "$exe"
quiet "$pack" extract "$exe" "$scratch/extracted"
diff -r "$copied" "$scratch/extracted" || fail "extract differs from what the launcher unpacked"
diff -r "$app/data" "$scratch/extracted/data" || fail "the data folder changed on the way"
cmp "$app/build/lister.dll" "$scratch/extracted/lister.dll" || fail "lister.dll changed on the way"

step "the installed packer needs nothing beside itself, not even a compiler on PATH"
quiet env PATH=/nonexistent "$pack" build -o "$scratch/plain.exe" --level 3 "$app/build/lister.dll"
quiet "$pack" verify "$scratch/plain.exe"

step "a second copy built elsewhere gives the same bytes"
second=Ninja
command -v make >/dev/null && second="Unix Makefiles"
configure_example b "$second" -DTarvenOnefile_DIR="$package"
cmp "$exe" "$scratch/b/build/lister.exe" || fail "two builds of the same inputs differ ($generator, $second)"

# Builds copy a again and tells whether lister.exe was written: rebuild yes|no WHAT.
rebuild() {
  local before
  before=$(stat -c %y "$exe")
  quiet "$cmake" --build "$app/build"
  if [ "$(stat -c %y "$exe")" = "$before" ]; then
    [ "$1" = no ] || fail "$2 did not pack again"
  else
    [ "$1" = yes ] || fail "$2 packed again"
  fi
  quiet "$pack" list "$exe"
  listed_names "$scratch/last.log" >"$scratch/listed"
}
step "rebuilds pack again exactly when an input changed"
rebuild no "a build with nothing changed"
touch "$app/notes.txt"
rebuild yes "touching a FILES item"
cmp "$exe" "$scratch/b/build/lister.exe" || fail "repacking unchanged inputs changed the bytes"
echo "One more line." >>"$app/data/message.txt"
rebuild yes "changing a file in a DIRECTORIES folder"
cmp -s "$exe" "$scratch/b/build/lister.exe" && fail "the changed data file did not reach the executable"
quiet "$pack" extract "$exe" "$scratch/extracted2"
cmp "$app/data/message.txt" "$scratch/extracted2/data/message.txt" || fail "the packed data file is not the new one"
mkdir -p "$app/data/images/more"
echo new >"$app/data/images/more/new.txt"
rebuild yes "adding a file to a DIRECTORIES folder"
grep -qx data/images/more/new.txt "$scratch/listed" || fail "the added file is not in the payload"
rm "$app/data/images/more/new.txt"
rebuild yes "removing a file from a DIRECTORIES folder"
grep -q new.txt "$scratch/listed" && fail "the removed file is still in the payload"
touch "$app/lister.cpp"
rebuild yes "changing the DLL's source"
rebuild no "a second build with nothing changed"
echo "all checks passed"
