#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The main command: installs what is missing, builds the x64 broker and tarnvel-host, and
# runs one session under Wine in which tarnvel-host plays the host application and uses
# every capability against real parts on this machine:
#   registry values below the maker's subtree (strings, numbers, listings, a tree copy);
#   a data file in the plug-in folder of the roaming application data (write, read, delete);
#   a picture copied into the local temporary folder and exported out of it again;
#   a document opened with the shell (a handler registered in the throwaway prefix records
#   what it was asked to open);
#   a URL check against an HTTP server this script starts on 127.0.0.1;
#   a private pipe handed to a small plug-in process, which checks and uses its end;
#   refusals, each with the broker's debugger line; and the broker's exit code.
# Usage: scripts/demo.sh [BUILD_DIR]   (default build/win64)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/win64}

scripts/setup.sh
cmake --preset win64 -B "$build" >/dev/null
cmake --build "$build" --target TarnvelBroker tarnvel-host shell_recorder plugin_standin -j "$(nproc)"

source scripts/wine-env.sh "$build"
demo=$(cd "$build" && pwd)/demo
rm -rf "$demo"
mkdir -p "$demo"
pids=()
cleanup() {
  exec 5>&- 7>&- 2>/dev/null || true
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wine reg delete 'HKLM\Software\Classes\TarnvelDemo.Document' /f >/dev/null 2>&1 || true
  if [ -n "${old_txt:-}" ]; then
    wine reg add 'HKLM\Software\Classes\.txt' /ve /d "$old_txt" /f >/dev/null 2>&1 || true
  else
    wine reg delete 'HKLM\Software\Classes\.txt' /ve /f >/dev/null 2>&1 || true
  fi
  wineserver -k >/dev/null 2>&1 || true
}
wineserver -p 2>/dev/null || true  # one may already run for this prefix
trap cleanup EXIT
# Start Wine's own services first, so that they do not hold on to our output.
wine cmd /c exit </dev/null >/dev/null 2>&1 || true

winpath() { echo "Z:$1" | tr / '\\'; }
user=$(basename "$(ls -d "$WINEPREFIX"/drive_c/users/*/ | grep -v /Public/ | head -n 1)")
appdata="C:\\users\\$user\\AppData\\Roaming"
temp="C:\\users\\$user\\AppData\\Local\\Temp"

# The parts the session works on.
python3 - "$demo/photo.png" <<'PY'
import struct, sys, zlib
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
rows = b"".join(b"\0" + bytes([255, 128, 0]) * 4 for _ in range(4))  # 4x4, orange
png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 4, 4, 8, 2, 0, 0, 0)) + \
      chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b"")
open(sys.argv[1], "wb").write(png)
PY
echo "Release notes a plug-in wants to show." >"$demo/notes.txt"
# The shell's handler for .txt documents: the recorder, which writes down its argument.
old_txt=$(wine reg query 'HKLM\Software\Classes\.txt' /ve 2>/dev/null | tr -d '\r' |
  sed -nE 's/.*REG_SZ[[:space:]]+(.*)$/\1/p' | head -n 1 || true)
recorder=$(winpath "$(cd "$build/test-programs" && pwd)/shell_recorder.exe")
wine reg add 'HKLM\Software\Classes\TarnvelDemo.Document\shell\open\command' /ve \
  /d "\"$recorder\" \"%1\"" /f >/dev/null
wine reg add 'HKLM\Software\Classes\.txt' /ve /d TarnvelDemo.Document /f >/dev/null
export TARNVEL_SHELL_RECORD
TARNVEL_SHELL_RECORD=$(winpath "$demo/shell-record.bin")
# An HTTP server on loopback for the URL check.
python3 -u -m http.server --bind 127.0.0.1 --directory "$demo" 0 >"$demo/http.log" 2>&1 &
pids+=($!)
port=
for _ in $(seq 100); do
  port=$(sed -nE 's/.*port ([0-9]+).*/\1/p' "$demo/http.log" | head -n 1)
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "demo: the loopback HTTP server did not start" >&2; exit 1; }

# The plug-in: a separate process that says its id, then takes its pipe handle.
mkfifo "$demo/plugin.in" "$demo/plugin.out" "$demo/host.in" "$demo/host.out"
wine "$build/test-programs/plugin_standin.exe" --say-pid <"$demo/plugin.in" >"$demo/plugin.out" 2>/dev/null &
pids+=($!)
exec 7>"$demo/plugin.in" 8<"$demo/plugin.out"
read -r -t 30 -u 8 word plugin_pid && [ "$word" = pid ] || { echo "demo: the plug-in did not start" >&2; exit 1; }

broker=dist/x64/TarnvelBroker.exe
echo
echo "==== tarnvel-host session (the broker's debugger lines shown as 'debugger:')"
wine "$build/tools/tarnvel-host/tarnvel-host.exe" --debug-lines --broker "$(winpath "$PWD/$broker")" \
  --script - <"$demo/host.in" >"$demo/host.out" 2>&1 &
host=$!
exec 5>"$demo/host.in" 6<"$demo/host.out"

# Sends session lines; the host runs each as it arrives.
send() { for line in "$@"; do printf '%s\n' "$line" >&5; done; }
# Shows the session's output up to the first line matching $1, which it leaves in $got.
show_until() {
  while IFS= read -r -t 60 -u 6 got; do
    echo "$got"
    [[ $got =~ $1 ]] && return 0
  done
  echo "demo: the session ended before '$1'" >&2
  return 1
}

send "# Health check." ping \
  "# Registry values below the maker's own subtree of the current user." \
  "write-string hkcu 'Software\\Tarnvel\\Demo' greeting \"hello from the host\"" \
  "read-string hkcu 'Software\\Tarnvel\\Demo' greeting" \
  "write-dword hkcu 'Software\\Tarnvel\\Demo' launches 42" \
  "read-dword hkcu 'Software\\Tarnvel\\Demo' launches" \
  "write-qword hkcu 'Software\\Tarnvel\\Demo\\Limits' bytes 18446744073709551615" \
  "list-values hkcu 'Software\\Tarnvel\\Demo'" \
  "list-keys hkcu 'Software\\Tarnvel\\Demo'" \
  "copy-tree hkcu 'Software\\Tarnvel\\Demo' 'Software\\Tarnvel\\DemoCopy'" \
  "read-qword hkcu 'Software\\Tarnvel\\DemoCopy\\Limits' bytes" \
  "delete-tree hkcu 'Software\\Tarnvel\\DemoCopy'" \
  "delete-tree hkcu 'Software\\Tarnvel\\Demo'" \
  "# A data file in the plug-in folder: 'hello, plug-in' as hexadecimal bytes." \
  "write-file '$appdata\\tarnvel\\demo-notes.txt' 68656c6c6f2c20706c75672d696e" \
  "read-file '$appdata\\tarnvel\\demo-notes.txt'" \
  "file-exists '$appdata\\tarnvel\\demo-notes.txt'" \
  "delete-file '$appdata\\tarnvel\\demo-notes.txt'" \
  "# A picture into the local temporary folder, and out of it again." \
  "copy-in '$(winpath "$demo/photo.png")' '$temp\\tarnvel-demo.png'" \
  "export '$temp\\tarnvel-demo.png' '$(winpath "$demo/exported/photo.png")'" \
  "# A document opened with the shell." \
  "shell-open '$(winpath "$demo/notes.txt")'" \
  "# Refused: the local-machine hive is read-only, keys outside the subtree are closed, data" \
  "# files live only in the plug-in folder, copies take pictures and PDFs only, and the" \
  "# shell opens no file: URLs." \
  "write-string hklm 'Software\\Tarnvel\\Demo' greeting \"not allowed\"" \
  "read-string hkcu 'Software\\Microsoft\\Windows' anything" \
  "read-file '$appdata\\Microsoft\\credentials.txt'" \
  "copy-in 'C:\\windows\\win.ini' '$temp\\win.ini'" \
  "shell-open 'file:///C:/windows/system32/calc.exe'" \
  "# A private pipe for the plug-in process, once the lines above are done." "sleep 1"
show_until '^> sleep 1$'
send "plugin-pipe $plugin_pid"
show_until '^  reply 4:'
handle=$(sed -nE 's/.*handle 0x([0-9a-f]+).*/\1/p' <<<"$got")
[ -n "$handle" ] || { echo "demo: no pipe handle in the reply" >&2; exit 1; }
echo "$((16#$handle))" >&7
for _ in 1 2; do read -r -t 30 -u 8 said && echo "  plug-in: $said"; done

send "# A URL check against the HTTP server on 127.0.0.1:$port, polled until it ends." \
  "http-check http://127.0.0.1:$port/notes.txt"
show_until '^  reply: '
id=$(sed -nE 's/.*Success "([0-9]+)".*/\1/p' <<<"$got")
[ -n "$id" ] || { echo "demo: the URL check did not start" >&2; exit 1; }
for _ in $(seq 50); do
  send "http-poll $id"
  show_until '^  reply: '
  [[ $got == *'"pending"'* ]] || break
  sleep 0.2
done

# The host ends the session: the broker exits, and the plug-in sees its pipe end broken.
exec 5>&-
while IFS= read -r -t 60 -u 6 line; do echo "$line"; done
rc=0
wait "$host" || rc=$?
echo ok >&7
read -r -t 30 -u 8 said && echo "plug-in, after the session: $said ($( [ "${said#broken }" = 109 ] &&
  echo 'ERROR_BROKEN_PIPE: the broker kept its end until the host left' || echo unexpected))"

echo
echo "==== what the session did to real parts"
for _ in $(seq 50); do [ -f "$demo/shell-record.bin" ] && break; sleep 0.1; done
if [ -f "$demo/shell-record.bin" ]; then
  echo "the shell's .txt handler was asked to open: $(iconv -f UTF-16LE -t UTF-8 "$demo/shell-record.bin")"
else
  echo "the shell's .txt handler recorded nothing"
fi
if cmp -s "$demo/photo.png" "$demo/exported/photo.png"; then
  echo "the exported picture is byte-identical to the original ($(stat -c %s "$demo/photo.png") bytes)"
else
  echo "the exported picture is missing or differs"
fi
echo "the HTTP server saw: $(grep -m1 -o '"GET [^"]*"[^-]*' "$demo/http.log" || echo nothing)"
# The session asks for refused requests, so tarnvel-host ends with 1 (a reply other than
# Success); 2 and 3 are failures of the demo.
echo "tarnvel-host exit status: $rc"
[ "$rc" -le 1 ]
