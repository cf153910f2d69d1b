#!/usr/bin/env bash
# Signs one Windows executable in place: Authenticode, SHA-256, with the
# PKCS#12 file named by KQ_SIGN_PKCS12 and its password from KQ_SIGN_PASSWORD
# (handed to osslsigncode on a pipe, never on a command line or in a file),
# timestamped by KQ_SIGN_TIMESTAMP_URL when that is set. The build calls it
# for each package and program when KQ_SIGN is on.
set -euo pipefail

file=$1
if [ -z "${KQ_SIGN_PKCS12:-}" ] || [ ! -f "$KQ_SIGN_PKCS12" ]; then
  echo "sign-pe.sh: KQ_SIGN_PKCS12 must name the signing key's PKCS#12 file" >&2
  exit 1
fi

args=(sign -pkcs12 "$KQ_SIGN_PKCS12" -readpass - -h sha256
      -n "Quorvanta KQ-6200 Ports")
if [ -n "${KQ_SIGN_TIMESTAMP_URL:-}" ]; then
  args+=(-ts "$KQ_SIGN_TIMESTAMP_URL")
elif [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
  # Without a timestamp server the signing time is the sources' time, so a
  # signed release too is the same bytes each time it is made.
  args+=(-time "$SOURCE_DATE_EPOCH")
fi

signed="$file.signed"
rm -f "$signed"
trap 'rm -f "$signed"' EXIT
printf '%s' "${KQ_SIGN_PASSWORD:-}" | osslsigncode "${args[@]}" -in "$file" -out "$signed" >/dev/null
mv "$signed" "$file"
echo "signed $(basename "$file")"
