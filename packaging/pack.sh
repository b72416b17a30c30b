#!/bin/bash
# Packs one product executable into the two release packages:
#
#   packaging/pack.sh EXE FIRMWARE OUTDIR
#
# FIRMWARE says what EXE carries: "none" or "given <32-character header>".
# Writes, with the version read from EXE's own version resource:
#   OUTDIR/zembrax-panel-<version>[-nofirmware]-win64.zip  the executable, README.txt
#          and LICENSE.txt in a folder of the same name
#   OUTDIR/zembrax-panel-<version>[-nofirmware]-setup.exe  the NSIS installer
#          (packaging/zembrax-panel.nsi) of the same three files
# "-nofirmware" marks the packages of an executable without a firmware image.
#
# This only packs. tools/package.sh is the command for a release: it builds
# the executable and checks which firmware image it carries before it calls
# this script.
set -eu
exe=${1:?usage: pack.sh EXE FIRMWARE OUTDIR}
firmware=${2:?usage: pack.sh EXE FIRMWARE OUTDIR}
out=${3:?usage: pack.sh EXE FIRMWARE OUTDIR}
root=$(cd "$(dirname "$0")/.." && pwd)

# The version resource's strings are UTF-16: "ProductVersion", then its value.
version=$(x86_64-w64-mingw32-strings -a -el "$exe" | sed -n '/^ProductVersion$/{n;p;q}')
if ! [[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]]; then
    echo "pack: $exe has no version resource with a ProductVersion x.y.z" >&2
    exit 1
fi
case $firmware in
none)
    name=zembrax-panel-$version-nofirmware
    firmware_text="This package carries no firmware image, so it cannot update the firmware
of a unit. The packages without \"nofirmware\" in their names can." ;;
"given "*)
    name=zembrax-panel-$version
    firmware_text="Firmware image carried for updates: ${firmware#given }" ;;
*)
    echo "pack: FIRMWARE must be \"none\" or \"given <header>\", not \"$firmware\"" >&2
    exit 2 ;;
esac

mkdir -p "$out"
out=$(cd "$out" && pwd)
stage=$out/$name
rm -rf "$stage" "$out/$name-win64.zip" "$out/$name-setup.exe"
mkdir "$stage"
trap 'rm -rf "$stage"' EXIT

# Text files with Windows line ends.
cp "$exe" "$stage/zembrax-panel.exe"
while IFS= read -r line; do
    case $line in
    @FIRMWARE@) printf '%s\n' "$firmware_text" ;;
    *) printf '%s\n' "${line//@VERSION@/$version}" ;;
    esac
done <"$root/packaging/README.txt" | sed 's/$/\r/' >"$stage/README.txt"
sed 's/$/\r/' "$root/LICENSE" >"$stage/LICENSE.txt"

(cd "$out" && cmake -E tar cf "$name-win64.zip" --format=zip "$name")
makensis -V2 -NOCD -DVERSION="$version" -DSTAGE="$stage" -DOUTFILE="$out/$name-setup.exe" \
    -DICON="$root/app/resources/panel.ico" "$root/packaging/zembrax-panel.nsi"
echo "pack: $out/$name-win64.zip"
echo "pack: $out/$name-setup.exe"
