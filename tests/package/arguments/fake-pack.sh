#!/bin/sh
# Stand-in for tarven-pack in the tarven_add_onefile tests: "build -o OUT ..."
# writes its arguments, one a line, to OUT.args and creates OUT.
# "check ...": the real packer's rules when the test names it, else accepted.
if [ "$1" = check ]; then
  [ -n "$TARVEN_TEST_REAL_PACK" ] && exec "$TARVEN_TEST_REAL_PACK" "$@"
  exit 0
fi
out=$3
printf '%s\n' "$@" >"$out.args"
: >"$out"
