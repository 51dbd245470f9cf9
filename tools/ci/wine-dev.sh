#!/usr/bin/env bash
# Runs the Windows nexivane-dev.exe under Wine in place of the native one: the end-to-end tests
# exec this script with the client's arguments, environment and working directory.
# tools/ci/windows.sh sets WINEPREFIX (one prefix shared by the whole run) and builds
# build-windows/. Wine replaces APPDATA with its prefix's own folder, so the test's value (as a
# Windows path) travels in NEXIVANE_WINE_APPDATA and the launcher puts it back.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
: "${NEXIVANE_WINE_HOME:?tools/ci/windows.sh sets up the Wine prefixes}"
# Wine runs only in a prefix of the user's own: the tests that run without privileges get theirs.
export WINEPREFIX="$NEXIVANE_WINE_HOME/$(id -u)/prefix" WINEDEBUG=-all
# A UTF-8 locale keeps file names and arguments as they are, and makes the ANSI code page 1252.
export LC_ALL=C.UTF-8
unset LANG LANGUAGE

# Wine shows the Unix tree as drive Z:.
windows_path() {
    local path=$1
    case $path in
        /*) path="Z:$path" ;;
    esac
    printf '%s' "${path//\//\\}"
}

if [ "${APPDATA+set}" = set ]; then
    NEXIVANE_WINE_APPDATA=$(windows_path "$APPDATA")
    export NEXIVANE_WINE_APPDATA
    unset APPDATA
else
    unset NEXIVANE_WINE_APPDATA
fi
exec /usr/lib/wine/wine64 "$root/build-windows/wine-launcher.exe" \
    "$(windows_path "$root/build-windows/nexivane-dev.exe")" "$@"
