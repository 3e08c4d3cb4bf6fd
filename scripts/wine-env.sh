# SPDX-License-Identifier: Apache-2.0
# Sourced by the scripts that run Windows programs: a throwaway Wine prefix inside the
# build tree, quiet, no display, no proxy (WinINet would use it).
# Usage: source scripts/wine-env.sh BUILD_DIR [PREFIX_NAME]   (default wineprefix)
wine_build_dir=$(cd "$1" && pwd)
export WINEPREFIX="$wine_build_dir/${2:-wineprefix}"
export WINEDEBUG=-all
export DISPLAY=
unset http_proxy HTTP_PROXY https_proxy HTTPS_PROXY no_proxy NO_PROXY
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot -i </dev/null >/dev/null 2>&1 || true
  wineserver -w
fi
# Every real profile has %LOCALAPPDATA%\Temp (the broker's copy-in folder); a fresh Wine
# prefix lacks it. Wine names the profile folder after the Unix user.
for wine_profile in "$WINEPREFIX"/drive_c/users/*/AppData/Local; do
  [ -d "$wine_profile" ] && [ "$(basename "$(dirname "$(dirname "$wine_profile")")")" != Public ] &&
    mkdir -p "$wine_profile/Temp"
done
unset wine_profile
