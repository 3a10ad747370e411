#!/usr/bin/env bash
# The demo: builds everything, packs the example application with its data
# folder into hello.exe, runs it under Wine with a few arguments and shows
# what the application saw and the launcher's exit code.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/build.sh"
. "$here/scripts/wine-env.sh" "$wine_root"

hello=$build/win/examples/hello.exe
echo "== tarven-pack list hello.exe"
"$build/packer/tarven-pack" list "$hello" | sed 's/^/   /'
echo
echo "== running: hello.exe \"first argument\" second --exit 7"
# Started from a scratch folder; exit-code.exe reads the launcher's whole
# 32-bit exit code, which Wine's own exit status would cut to 8 bits.
mkdir -p "$build/demo"
cd "$build/demo"
temp=$WINEPREFIX/drive_c/users/$(whoami)/Temp
before=$(ls "$temp" 2>/dev/null | sort)
"$wine_loader" "$build/win/examples/exit-code.exe" "$hello" "first argument" second --exit 7
echo
echo "== folders this run left in the temporary folder:"
left=$(comm -13 <(echo "$before") <(ls "$temp" 2>/dev/null | sort))
echo "   ${left:-none: the launcher removed its folder}"
