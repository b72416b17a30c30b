#!/bin/bash
# The release packages, tested from the outside (ctest entry "packages"):
#
#   tests/package_test.sh BUILD_DIR
#
# 1. tools/package.sh decides by the firmware-image marker of the executable:
#    small files holding a marker stand in for executables (--exe).
# 2. The packages of BUILD_DIR's product executable (packaging/pack.sh): the
#    zip's file list; the installer run silently (/S) under Wine in a new,
#    temporary prefix of the build tree; the installed program starts and
#    shows its window; the uninstaller (/S) removes the files, the Start-menu
#    entry and the uninstall registry entry.
# Uses the DISPLAY it finds (tools/wine-session.sh) or a private Xvfb.
set -u
build=$(cd "${1:?usage: package_test.sh BUILD_DIR}" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
work=$build/package-test
prefix=$build/wineprefix-package # the temporary prefix, removed at the end
failures=0

check() { # check DESCRIPTION COMMAND...: runs the command, counts a failure
    local description=$1
    shift
    if "$@"; then echo "ok: $description"; else echo "FAILED: $description" >&2; failures=$((failures + 1)); fi
}

rm -rf "$work"
mkdir -p "$work"

# --- 1. tools/package.sh and the marker ------------------------------------------
# A stand-in for an executable: a version resource's strings (UTF-16) and a marker.
fixture() { # fixture FILE MARKER_TEXT [EXTRA]
    {
        printf 'MZ fixture\0\0' # the UTF-16 strings start at an even offset
        printf 'ProductVersion\0%s\0' "$version" | iconv -f ASCII -t UTF-16LE
        printf '\0%s\0%s\0' "$2" "${3:-}"
    } >"$1"
}
header=ZF0301TEST-ONLY-IMAGE-HEADER0000
other=ZF0301ANOTHER-IMAGE-HEADER000000
printf '%s\r:00000001FF\r' "$header" >"$work/image.hex"
printf '%s\r:00000001FF\r' "$other" >"$work/other.hex"
stand_in_record=$(tr '\r' '\n' <"$root/firmware/image/zembrax-hd-3.01-STAND-IN-test-image.hex" | sed -n 2p)
fixture "$work/stand-in.exe" "zembrax-firmware-image: stand-in"
fixture "$work/none.exe" "zembrax-firmware-image: none"
fixture "$work/given.exe" "zembrax-firmware-image: given $header"
fixture "$work/unmarked.exe" ""
fixture "$work/two.exe" "zembrax-firmware-image: none" "zembrax-firmware-image: given $header"
fixture "$work/stand-in-data.exe" "zembrax-firmware-image: none" "$stand_in_record"

refused() { # refused EXPECTED_TEXT ARGS...: package.sh fails and says so
    local text=$1 output
    shift
    output=$(bash "$root/tools/package.sh" --output "$work/refused" "$@" 2>&1) && return 1
    grep -q -F -e "$text" <<<"$output" || { echo "$output" >&2; return 1; }
    [ ! -e "$work/refused" ]
}
check "stand-in refused with --no-firmware" \
    refused "carries the STAND-IN firmware image" --no-firmware --exe "$work/stand-in.exe"
check "stand-in refused with --firmware-image" \
    refused "carries the STAND-IN firmware image" --firmware-image "$work/image.hex" --exe "$work/stand-in.exe"
check "stand-in data refused whatever the marker says" \
    refused "carries the STAND-IN firmware image" --no-firmware --exe "$work/stand-in-data.exe"
check "no image refused without --no-firmware" \
    refused "carries no firmware image" --firmware-image "$work/image.hex" --exe "$work/none.exe"
check "an image refused with --no-firmware" \
    refused "carries the firmware image" --no-firmware --exe "$work/given.exe"
check "another image refused" \
    refused "not $work/other.hex" --firmware-image "$work/other.hex" --exe "$work/given.exe"
check "no marker refused" refused "has no firmware-image marker" --no-firmware --exe "$work/unmarked.exe"
check "two markers refused" refused "more than one firmware-image marker" --no-firmware --exe "$work/two.exe"
check "neither option refused" refused "give either --firmware-image PATH or --no-firmware" --exe "$work/none.exe"

packaged() { # packaged NAME ARGS...: package.sh makes exactly NAME-win64.zip and NAME-setup.exe
    local name=$1
    shift
    rm -rf "$work/out"
    bash "$root/tools/package.sh" --output "$work/out" "$@" >/dev/null || return 1
    [ "$(ls "$work/out")" = "$name-setup.exe"$'\n'"$name-win64.zip" ]
}
check "no image packaged with --no-firmware, named so" \
    packaged "zembrax-panel-$version-nofirmware" --no-firmware --exe "$work/none.exe"
check "the given image packaged with --firmware-image" \
    packaged "zembrax-panel-$version" --firmware-image "$work/image.hex" --exe "$work/given.exe"

# --- 2. The packages of the product ----------------------------------------------
# The test build's product carries no image (none is given to it), so it goes
# through tools/package.sh with --no-firmware, marker check included.
name=zembrax-panel-$version-nofirmware
bash "$root/tools/package.sh" --no-firmware --exe "$build/zembrax-panel.exe" --output "$work/real" >/dev/null ||
    { echo "FAILED: tools/package.sh --no-firmware on the product" >&2; exit 1; }

expected_zip="$name/
$name/LICENSE.txt
$name/README.txt
$name/zembrax-panel.exe"
check "the zip holds exactly the program, README.txt and LICENSE.txt" \
    test "$(cmake -E tar tf "$work/real/$name-win64.zip" | sort)" = "$expected_zip"
(mkdir "$work/unzipped" && cd "$work/unzipped" && cmake -E tar xf "../real/$name-win64.zip")
check "the zip's program is the product" cmp -s "$build/zembrax-panel.exe" "$work/unzipped/$name/zembrax-panel.exe"

. "$root/cmake/wine-prefix.sh"
wine_find
wine_start_display
trap 'WINEPREFIX=$prefix "$WINESERVER" -k 2>/dev/null; wine_stop_display; rm -rf "$prefix"' EXIT
# Only ever this prefix: every Wine call below goes through here.
in_prefix() {
    WINEPREFIX=$prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" "$@"
}
rm -rf "$prefix"
in_prefix "$WINE" wineboot --init >/dev/null 2>&1

key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\zembrax-panel'
folder="$prefix/drive_c/Program Files/zembrax-panel"
shortcut="$prefix/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/zembrax HD control panel.lnk"
registered() { in_prefix "$WINE" reg query "$key" >/dev/null 2>&1; }
value() { in_prefix "$WINE" reg query "$key" /v "$1" 2>/dev/null | tr -d '\r' | sed -n "s/^ *$1 *REG_[A-Z]* *//p"; }

in_prefix "$WINE" "$work/real/$name-setup.exe" /S
status=$?
check "the installer ends with exit code 0" test $status -eq 0
check "the installer puts the program, README, licence and uninstaller into Program Files" \
    test "$(LC_ALL=C ls "$folder" 2>/dev/null | tr '\n' ' ')" = "LICENSE.txt README.txt Uninstall.exe zembrax-panel.exe "
check "the installed program is the product" cmp -s "$build/zembrax-panel.exe" "$folder/zembrax-panel.exe"
check "a Start-menu entry" test -f "$shortcut"
check "the uninstall entry names the program" test "$(value DisplayName)" = "zembrax HD control panel"
check "the uninstall entry has the version" test "$(value DisplayVersion)" = "$version"
check "the uninstall entry has the publisher" test "$(value Publisher)" = "Kermaveld"
check "the uninstall entry starts the uninstaller" \
    test "$(value UninstallString)" = '"C:\Program Files\zembrax-panel\Uninstall.exe"'

# The installed program starts and shows its window (its caption, as X sees it).
in_prefix "$WINE" 'C:\Program Files\zembrax-panel\zembrax-panel.exe' >/dev/null 2>&1 &
program=$!
caption=$(sed -n 's/^CAPTION "\(.*\)"$/\1/p' "$root/app/resources/panel.rc")
shown() {
    for _ in $(seq 100); do
        xwininfo -root -tree 2>/dev/null | grep -q -F "\"$caption\"" && return 0
        sleep 0.2
    done
    return 1
}
check "the installed program shows its window" shown
in_prefix "$WINESERVER" -k 2>/dev/null
wait $program 2>/dev/null

# The uninstaller copies itself away and returns at once: wait for the prefix's
# processes to end.
in_prefix "$WINE" "$folder/Uninstall.exe" /S
in_prefix "$WINESERVER" -w
check "the uninstaller removes the installation folder" test ! -e "$folder"
check "the uninstaller removes the Start-menu entry" test ! -e "$shortcut"
check "the uninstaller removes the uninstall entry" eval '! registered'

[ $failures -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "all package checks passed"
