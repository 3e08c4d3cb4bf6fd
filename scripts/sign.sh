#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Signs Windows binaries in place with Authenticode (SHA-256), when the environment names a
# certificate and its key; otherwise leaves them unsigned and says so.
#   TARNVEL_SIGN_CERT  the certificate (chain), PEM or DER
#   TARNVEL_SIGN_KEY   its private key, PEM or DER
#   TARNVEL_SIGN_PASS  the key's password, if it has one (optional)
#   TARNVEL_SIGN_TIMESTAMP_URL  an RFC 3161 time-stamping server (optional)
# Without a time-stamping server the signing time is SOURCE_DATE_EPOCH when set, so that a
# release signed twice with one key is byte-identical.
# Usage: scripts/sign.sh FILE...
set -euo pipefail
if [ -z "${TARNVEL_SIGN_CERT:-}" ] || [ -z "${TARNVEL_SIGN_KEY:-}" ]; then
  echo "sign: no TARNVEL_SIGN_CERT and TARNVEL_SIGN_KEY; $# file(s) left unsigned"
  exit 0
fi
command -v osslsigncode >/dev/null || { echo "sign: osslsigncode is missing (scripts/setup.sh installs it)" >&2; exit 1; }
args=(-certs "$TARNVEL_SIGN_CERT" -key "$TARNVEL_SIGN_KEY" -h sha256 -n TarnvelBroker)
[ -n "${TARNVEL_SIGN_PASS:-}" ] && args+=(-pass "$TARNVEL_SIGN_PASS")
if [ -n "${TARNVEL_SIGN_TIMESTAMP_URL:-}" ]; then
  args+=(-ts "$TARNVEL_SIGN_TIMESTAMP_URL")
elif [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
  args+=(-time "$SOURCE_DATE_EPOCH")
fi
for f in "$@"; do
  osslsigncode sign "${args[@]}" -in "$f" -out "$f.signed" >/dev/null ||
    { rm -f "$f.signed"; echo "sign: signing $f failed" >&2; exit 1; }
  mv "$f.signed" "$f"
  echo "sign: signed $f"
done
