#!/usr/bin/env bash
# The main job on one machine: installs what is needed, builds, starts the stand-in gallery on a
# loopback port, uploads a folder of pictures to it with nexivane-dev, shows the gallery's answer
# and the files it stored, and stops the gallery again.
#
#   bash tools/demo.sh                 uploads a small folder of generated sample pictures
#   bash tools/demo.sh PATH...         uploads the given files and folders instead
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
start_dir=$(pwd)

if [ "${NEXIVANE_SKIP_INSTALL:-}" != 1 ]; then
    bash "$root/tools/ci/install.sh"
fi
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" -j"$(nproc)" --target nexivane nexivane-dev nexivane-gallery

work=$(mktemp -d "${TMPDIR:-/tmp}/nexivane-demo-XXXXXX")
gallery_pid=
cleanup() {
    [ -n "$gallery_pid" ] && kill "$gallery_pid" 2>/dev/null && wait "$gallery_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# The gallery picks a free port and names it on its first line.
mkfifo "$work/gallery.out"
"$root/build/nexivane-gallery" --port 0 --storage "$work/storage" >"$work/gallery.out" &
gallery_pid=$!
exec 3<"$work/gallery.out"
read -r first_line <&3
address=${first_line#listening on }
echo "gallery: listening on $address (storage $work/storage)"
# The rest is the gallery's request log, shown at the end.
cat <&3 >"$work/gallery.log" &

if [ "$#" -eq 0 ]; then
    pictures="$work/sample pictures"
    mkdir -p "$pictures/holiday"
    # A 1x1 GIF, a small PPM, and one in a subfolder: real, if tiny, pictures.
    printf 'GIF89a\x01\x00\x01\x00\x80\x00\x00\xff\xff\xff\x00\x00\x00!\xf9\x04\x01\x00\x00\x00\x00,\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02D\x01\x00;' >"$pictures/dot.gif"
    { printf 'P6\n16 16\n255\n'; head -c 768 /dev/urandom; } >"$pictures/noise.ppm"
    { printf 'P6\n8 8\n255\n'; head -c 192 /dev/zero | tr '\0' '\200'; } >"$pictures/holiday/grey.ppm"
    set -- "$pictures"
    echo "uploading the sample folder: $pictures"
fi

# The demo keeps its settings file apart from the user's own.
mkdir -p "$work/settings"
cd "$start_dir"
status=0
NEXIVANE_GALLERY="$address" APPDATA="$work/settings" "$root/build/nexivane-dev" "$@" || status=$?
echo
echo "nexivane-dev exit status: $status"
echo "stored by the gallery:"
find "$work/storage" -type f -printf '  %P (%s bytes)\n' | sort
kill "$gallery_pid" 2>/dev/null && wait "$gallery_pid" 2>/dev/null
gallery_pid=
echo "gallery log:"
sed 's/^/  /' "$work/gallery.log"
exit "$status"
