#!/usr/bin/env bash
# Authenticode signing of a packed executable with Debian's osslsigncode and a
# throwaway certificate made with openssl: the payload lies inside the image,
# so the signature covers it. The signed executable is accepted by
# `osslsigncode verify`, runs under Wine, and list, verify and extract still
# read it (verify's checksum test allows for the certificate table); one
# byte of its stored payload changed makes both checks fail.
# Usage: signing_test.sh WINE_ROOT PACKED_EXE TARVEN_PACK OBJDUMP SCRATCH
set -euo pipefail
wine_root=$1 exe=$2 pack=$3 objdump=$4 work=$5
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
rm -rf "$work" && mkdir -p "$work" && cd "$work"
failures=0
check() { if eval "$2"; then echo "ok: $1"; else echo "FAILED: $1"; failures=$((failures + 1)); fi; }

openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 \
  -subj "/CN=Tarven Test Signer" -addext "extendedKeyUsage=codeSigning" >openssl.log 2>&1
osslsigncode sign -certs cert.pem -key key.pem -n "probe" -h sha256 -in "$exe" -out signed.exe >sign.log 2>&1
check "osslsigncode accepts the signature" "osslsigncode verify -CAfile cert.pem -in signed.exe >verify.log 2>&1"
check "the signature sits outside the payload: the signed file is larger" \
  "[ \$(stat -c %s signed.exe) -gt \$(stat -c %s '$exe') ]"

# The probe's "exit 7": the launcher's exit code is the application's.
status=0
"$here/scripts/wine-run" "$wine_root" signed.exe exit 7 </dev/null >/dev/null 2>&1 || status=$?
check "the signed executable runs under Wine (exit code $status)" "[ $status -eq 7 ]"

check "tarven-pack list reads the signed file" "'$pack' list signed.exe >list.log 2>&1"
check "tarven-pack verify accepts the signed file" "'$pack' verify signed.exe >packer-verify.log 2>&1"
check "tarven-pack extract writes what the unsigned file holds" \
  "'$pack' extract signed.exe out-signed >/dev/null 2>&1 && '$pack' extract '$exe' out-plain >/dev/null 2>&1 && diff -r out-signed out-plain"

# One byte in the middle of the stored payload, which starts the .payload section.
read -r offset < <("$objdump" -h signed.exe | awk '$2 == ".payload" { print $6 }')
stored=$("$pack" list signed.exe | sed -n 's/^payload: .*, \([0-9]*\) bytes stored,.*/\1/p')
offset=$((16#$offset))
cp signed.exe tampered.exe
at=$((offset + stored / 2))
byte=$(od -An -tu1 -j "$at" -N1 tampered.exe | tr -d ' ')
printf "$(printf '\\%03o' $(((byte + 1) % 256)))" | dd of=tampered.exe bs=1 seek="$at" conv=notrunc status=none
check "one changed payload byte breaks the signature" "! osslsigncode verify -CAfile cert.pem -in tampered.exe >tampered.log 2>&1"
check "tarven-pack verify finds the changed payload byte in one line" \
  "! '$pack' verify tampered.exe >tampered-verify.log 2>&1 && [ \$(wc -l <tampered-verify.log) -eq 1 ]"

echo "$failures failed"
exit $((failures > 0))
