#!/bin/sh
# Stand-in for tarven-pack in the tarven_add_onefile tests: "build -o OUT ..."
# writes its arguments, one a line, to OUT.args and creates OUT.
out=$3
printf '%s\n' "$@" >"$out.args"
: >"$out"
