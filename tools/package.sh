#!/bin/bash
# Builds the release packages of the panel on this Linux machine:
#
#   bash tools/package.sh --firmware-image PATH   the product with the firmware image PATH
#   bash tools/package.sh --no-firmware           the product without a firmware image
#
# Options:
#   --output DIR   where the packages go (default: dist/)
#   --exe EXE      package this product executable, built before, instead of
#                  building one (it is checked all the same)
#
# Writes DIR/zembrax-panel-<version>-win64.zip and -setup.exe, or with
# --no-firmware zembrax-panel-<version>-nofirmware-win64.zip and
# -nofirmware-setup.exe (packaging/pack.sh). The product is built with the
# CMake preset mingw-package into build-package/.
#
# What the executable carries decides, read from its marker
# "zembrax-firmware-image: none | stand-in | given <header>":
#   stand-in  refused, always: the stand-in image must never reach a unit;
#   none      packaged only with --no-firmware;
#   given     packaged only with --firmware-image, and only when the marker's
#             header is that image's header (its first 32 characters);
#   no marker, or more than one: refused.
# An executable that holds the stand-in image's data is refused whatever its
# marker says.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)

fail() {
    echo "package: $*" >&2
    exit 1
}
usage() {
    echo "usage: tools/package.sh (--firmware-image PATH | --no-firmware) [--output DIR] [--exe EXE]" >&2
    exit 2
}

image= no_firmware= exe= out=$root/dist
while [ $# -gt 0 ]; do
    case $1 in
    --firmware-image) [ $# -ge 2 ] || usage; image=$2; shift 2 ;;
    --no-firmware) no_firmware=1; shift ;;
    --output) [ $# -ge 2 ] || usage; out=$2; shift 2 ;;
    --exe) [ $# -ge 2 ] || usage; exe=$2; shift 2 ;;
    *) usage ;;
    esac
done
if [ -n "$image" ] && [ -n "$no_firmware" ] || [ -z "$image$no_firmware" ]; then
    echo "package: give either --firmware-image PATH or --no-firmware" >&2
    usage
fi
if [ -n "$image" ]; then
    [ -f "$image" ] || fail "no firmware image $image"
    image=$(cd "$(dirname "$image")" && pwd)/$(basename "$image")
fi

bash "$root/tools/install-deps.sh"

if [ -z "$exe" ]; then
    cd "$root"
    if [ -n "$image" ]; then
        cmake --preset mingw-package -DZEMBRAX_FIRMWARE_IMAGE="$image"
    else
        # Without the variable the build carries no image.
        cmake --preset mingw-package -UZEMBRAX_FIRMWARE_IMAGE
    fi
    cmake --build --preset mingw-package -j "$(nproc)"
    exe=$root/build-package/zembrax-panel.exe
fi
[ -f "$exe" ] || fail "no executable $exe"

# --- What the executable carries -------------------------------------------------
refuse_stand_in() {
    fail "$exe carries the STAND-IN firmware image, which holds no firmware and must never be sent to a unit; not packaged. Build with --firmware-image PATH or --no-firmware"
}
# The stand-in's data, whatever the marker says: its first record is filler
# found nowhere else.
stand_in=$root/firmware/image/zembrax-hd-3.01-STAND-IN-test-image.hex
if [ -f "$stand_in" ] && LC_ALL=C grep -a -q -F -e "$(tr '\r' '\n' <"$stand_in" | sed -n 2p)" "$exe"; then
    refuse_stand_in
fi
markers=$(LC_ALL=C grep -a -o -E 'zembrax-firmware-image: (none|stand-in|given [ -~]{32})' "$exe" | sort -u || true)
case $(printf '%s' "$markers" | grep -c '^') in
0) fail "$exe has no firmware-image marker (\"zembrax-firmware-image: ...\"): which image it carries is unknown; not packaged" ;;
1) ;;
*) fail "$exe has more than one firmware-image marker:"$'\n'"$markers" ;;
esac
carried=${markers#zembrax-firmware-image: }

case $carried in
stand-in) refuse_stand_in ;;
none)
    [ -n "$no_firmware" ] || fail "$exe carries no firmware image, but --firmware-image was given; package it with --no-firmware" ;;
"given "*)
    [ -n "$image" ] || fail "$exe carries the firmware image \"${carried#given }\", but --no-firmware was given"
    header=$(head -c 32 "$image")
    [ "${carried#given }" = "$header" ] ||
        fail "$exe carries the firmware image \"${carried#given }\", not $image (\"$header\")" ;;
esac

bash "$root/packaging/pack.sh" "$exe" "$carried" "$out"
