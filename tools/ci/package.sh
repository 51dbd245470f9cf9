#!/usr/bin/env bash
# Checks what a user gets: `cmake --install` of build/ (built by native.sh), the manual page under
# both linters, the Debian package (built with CPack, installed with dpkg, run once, found by man,
# removed, nothing left of it) and the Windows zip of build-windows/ (built by windows.sh), with
# the application manifest in every .exe. Installs the package as root (or through sudo) and
# removes it again however the step ends.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)

fail() {
    echo "package: $*" >&2
    exit 1
}

for folder in build build-windows; do
    [ -f "$folder/CPackConfig.cmake" ] ||
        fail "$folder/ is not configured: run native.sh and windows.sh first"
done
cmake --build build --target nexivane -j"$(nproc)"
cmake --build build-windows -j"$(nproc)"
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' build/CPackConfig.cmake)
[ -n "$version" ] || fail "no CPACK_PACKAGE_VERSION in build/CPackConfig.cmake"
page=build/doc/nexivane.1
man_page=/usr/share/man/man1/nexivane.1.gz

work=$(mktemp -d /tmp/nexivane-package-XXXXXX)
installed=0
cleanup() {
    if [ "$installed" = 1 ]; then
        "${as_root[@]}" dpkg -r nexivane >/dev/null || echo "package: dpkg -r nexivane failed" >&2
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# Runs a command with its output kept aside, shown only when it fails: quietly NAME COMMAND...
quietly() {
    local log=$work/$1.log
    shift
    "$@" >"$log" 2>&1 || { cat "$log" >&2; fail "$* failed"; }
}

# Fails unless the file holds exactly the given lines: same_lines FILE WHAT LINE...
same_lines() {
    local file=$1 what=$2
    shift 2
    printf '%s\n' "$@" | diff -u - "$file" >&2 || fail "$what is not as expected (above)"
}

package_status() {
    dpkg-query -W -f='${db:Status-Status}' nexivane 2>/dev/null || true
}

echo "package: cmake --install"
cmake --install build --prefix "$work/prefix" >/dev/null
(cd "$work/prefix" && find . ! -type d | sort) >"$work/installed.txt"
same_lines "$work/installed.txt" "what cmake --install puts" \
    ./bin/nexivane ./share/man/man1/nexivane.1
cmp "$page" "$work/prefix/share/man/man1/nexivane.1" || fail "the installed page is not $page"

echo "package: the manual page"
lint_status=0
{ groff -man -Tutf8 -ww -z "$page" && mandoc -Tlint "$page"; } >"$work/lint.txt" 2>&1 ||
    lint_status=$?
if [ "$lint_status" -ne 0 ] || [ -s "$work/lint.txt" ]; then
    cat "$work/lint.txt" >&2
    fail "$page does not lint clean"
fi

echo "package: the Debian package"
quietly cpack-deb env -C build cpack -G DEB
deb=build/nexivane_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || fail "cpack made no $deb"
for field in Package:nexivane "Version:$version" Section:net; do
    value=$(dpkg-deb -f "$deb" "${field%%:*}")
    [ "$value" = "${field#*:}" ] || fail "$deb: ${field%%:*} is '$value', not '${field#*:}'"
done
for field in Maintainer Description; do
    [ -n "$(dpkg-deb -f "$deb" "$field")" ] || fail "$deb has no $field"
done
depends=$(dpkg-deb -f "$deb" Depends)
[[ $depends == *"libc6 (>="* ]] || fail "$deb: no dependencies computed ('$depends')"
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort >"$work/deb-files.txt"
same_lines "$work/deb-files.txt" "what $deb holds" ./usr/bin/nexivane ".$man_page"
dpkg-deb --fsys-tarfile "$deb" | tar -xO ".$man_page" | gzip -dc | cmp - "$page" ||
    fail "$deb: $man_page is not $page compressed"

case $(package_status) in
    '' | not-installed) ;;
    *) fail "nexivane is installed already; this step installs and removes it: dpkg -r it first" ;;
esac
unset MANPATH
if found=$(man -w nexivane 2>/dev/null); then
    fail "man finds a nexivane page before the package is installed: $found"
fi

# Minimal Debian images leave manual pages out through dpkg's path filters, in which the last
# filter that matches a path decides. The page is taken in again for this install, so that man
# can find it.
configs=()
for fragment in /etc/dpkg/dpkg.cfg.d/*; do
    case ${fragment##*/} in
        *[!0-9a-zA-Z_-]*) ;;  # dpkg reads no fragment of such a name
        *) configs+=("$fragment") ;;
    esac
done
configs+=(/etc/dpkg/dpkg.cfg)
excluded=0
for config in "${configs[@]}"; do
    [ -f "$config" ] || continue
    while read -r option pattern; do
        # shellcheck disable=SC2254  # the pattern is a glob, as dpkg reads it
        case $man_page in
            $pattern) excluded=0; [ "$option" = path-include ] || excluded=1 ;;
        esac
    done < <(sed -n 's/^\s*\(path-\(ex\|in\)clude\)[= ]\s*/\1 /p' "$config")
done
include=()
if [ "$excluded" = 1 ]; then
    echo "package: dpkg's path filters leave $man_page out; it is taken in for this install"
    include=(--path-include="$man_page")
fi

installed=1
quietly dpkg-i "${as_root[@]}" dpkg "${include[@]}" -i "$deb"
dpkg-query -L nexivane | sort >"$work/owned.txt"

# The built-in gallery does not resolve here; HOME and APPDATA point away from the CI user's own.
mkdir "$work/home"
run_status=0
env -i PATH=/usr/bin:/bin HOME="$work/home" APPDATA="$work/home/appdata" /usr/bin/nexivane \
    </dev/null >"$work/out.txt" 2>"$work/err.txt" || run_status=$?
same_lines "$work/err.txt" "what /usr/bin/nexivane printed" "cannot resolve the gallery address"
[ ! -s "$work/out.txt" ] || fail "/usr/bin/nexivane wrote to standard output"
[ "$run_status" -eq 1 ] || fail "/usr/bin/nexivane ended with $run_status, not 1"
[ -z "$(ls -A "$work/home")" ] || fail "/usr/bin/nexivane wrote into HOME without a gallery"

found=$(man -w nexivane) || fail "man -w nexivane finds nothing"
[ "$found" = "$man_page" ] || fail "man -w nexivane finds $found, not $man_page"

quietly dpkg-r "${as_root[@]}" dpkg -r nexivane
installed=0
case $(package_status) in
    '' | not-installed) ;;
    *) fail "nexivane is still '$(package_status)' after dpkg -r" ;;
esac
while read -r path; do
    if [ -d "$path" ] && [ ! -L "$path" ]; then
        # A folder stays while another package has files in it.
        dpkg-query -S "$path" >/dev/null 2>&1 || fail "dpkg -r left the folder $path"
    elif [ -e "$path" ] || [ -L "$path" ]; then
        fail "dpkg -r left $path"
    fi
done <"$work/owned.txt"
if found=$(man -w nexivane 2>/dev/null); then
    fail "man still finds $found after dpkg -r"
fi

echo "package: the Windows zip"
quietly cpack-zip env -C build-windows cpack -G ZIP
name=nexivane-$version-win64
zip=build-windows/$name.zip
[ -f "$zip" ] || fail "cpack made no $zip"
unzip -Z1 "$zip" | sort >"$work/zip-files.txt"
same_lines "$work/zip-files.txt" "what $zip holds" \
    "$name/README.txt" "$name/SETTINGS.txt" "$name/nexivane.exe"
unzip -q "$zip" -d "$work/zip"
tr -d '\r' <"$work/zip/$name/README.txt" | cmp - README.md ||
    fail "$zip: README.txt is not README.md"
grep -qF '%APPDATA%\kavro\uploader2.ini' "$work/zip/$name/SETTINGS.txt" ||
    fail "$zip: SETTINGS.txt does not say where the settings file lives"

# The manifest is resource 1 of type 24 (RT_MANIFEST), and the only resource; its bytes are the
# source's. Stripping the zipped program must leave it in.
manifest=src/session/nexivane.manifest
manifest_size=$(stat -c %s "$manifest")
for exe in build-windows/nexivane.exe build-windows/nexivane-dev.exe "$work/zip/$name/nexivane.exe"
do
    x86_64-w64-mingw32-objdump -p "$exe" >"$work/headers.txt"
    sed -n '/^The .rsrc Resource Directory/,/^ Resources start/p' "$work/headers.txt" \
        >"$work/resources.txt"
    entries=$(grep -o 'Entry: ID: 0x[0-9a-f]*' "$work/resources.txt" | awk '{print $3}' |
        paste -sd' ')
    [ "$entries" = "0x000018 0x000001 0x000409" ] ||
        fail "$exe: its resources are not the manifest alone (entries: ${entries:-none})"
    leaf_size=$(sed -n 's/.*Leaf: .*Size: \(0x[0-9a-f]*\).*/\1/p' "$work/resources.txt")
    [ $((leaf_size)) -eq "$manifest_size" ] ||
        fail "$exe: its manifest is $((leaf_size)) bytes, not $manifest_size"
    x86_64-w64-mingw32-objcopy -O binary --only-section=.rsrc "$exe" "$work/rsrc.bin"
    start=$(grep -m 1 -obaF '<?xml' "$work/rsrc.bin" | cut -d: -f1)
    [ -n "$start" ] || fail "$exe: no manifest in its resources"
    cmp -n "$manifest_size" -i "$start:0" "$work/rsrc.bin" "$manifest" ||
        fail "$exe: its manifest is not $manifest"
done
echo "package: all checks pass"
