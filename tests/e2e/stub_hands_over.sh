#!/bin/bash
# The stub as it ships, run under Wine on a package made as a vendor makes
# one: embedded and tagged by this build's tvkpack.exe, signed by
# osslsigncode, with a parameters text, an icon and a picture. The test
# installer inside records its command line and copies each file that the
# hand-over arguments name, as it found them at those paths; the stub must
# exit with 0, hand over all three files byte for byte and pass the user's
# arguments on unchanged.
#
# Where the stub's temporary folder lies:
#   user      a folder of the user's own temporary folder
#   system32  a folder inside C:\windows\system32 (as for the SYSTEM
#             account, which deployment tools use). A 32-bit stub on 64-bit
#             Windows has its writes there redirected to SysWOW64; with a
#             64-bit installer, this checks that the installer finds the
#             files at the paths it is handed.
#
# usage: stub_hands_over.sh WINE_RUN WINE_PREFIX TVKPACK.exe STUB.exe INSTALLER.exe user|system32
set -u
wine_run=$1
prefix=$2
tvkpack=$3
stub=$4
installer=$5
where=$6
# Waits scale with the machine: under software emulation everything is
# slower (tools/run32 sets the factor).
scale=${TVK_TIME_SCALE:-1}

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

work=$(mktemp -d)
folder_name=tvk-e2e-$$-$RANDOM
case "$where" in
    user)
        temp_windows="C:\\users\\$(id -un)\\Temp\\$folder_name"
        temp_host="$prefix/drive_c/users/$(id -un)/Temp/$folder_name"
        ;;
    system32)
        system_temp='config\systemprofile\AppData\Local\Temp'
        temp_windows="C:\\windows\\system32\\$system_temp\\$folder_name"
        # Where the 32-bit stub's writes to that folder land.
        temp_host="$prefix/drive_c/windows/syswow64/${system_temp//\\//}/$folder_name"
        ;;
    *) fail "where: user or system32, not '$where'" ;;
esac
cleanup() {
    rm -rf "$work" "$temp_host"
}
trap cleanup EXIT

# tvkpack.exe under Wine, in the work folder (Wine's current folder is the
# same folder as Z:\..., so plain file names reach it).
tvkpack_run() {
    (cd "$work" && timeout $((120 * scale)) "$wine_run" "$tvkpack" "$@") >"$work/tvkpack.log" 2>&1 ||
        { cat "$work/tvkpack.log" >&2; fail "tvkpack.exe $1 failed"; }
}

cp "$stub" "$work/stub.exe"
cp "$installer" "$work/installer.exe"
printf '{"product":"End to end","user":"J\xc3\xbcrgen","seats":3}' >"$work/params.json"
convert -size 32x32 xc:'#1e90ff' "$work/brand.ico" &&
    convert -size 96x64 xc:orange "BMP3:$work/brand.bmp" ||
    fail "ImageMagick could not make the icon and the picture"
tvkpack_run embed stub.exe installer.exe -o unsigned.exe
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" \
    -days 1 -subj "/CN=End To End Publisher" 2>/dev/null || fail "openssl could not make a key"
osslsigncode sign -certs "$work/cert.pem" -key "$work/key.pem" -n "End to end" \
    -in "$work/unsigned.exe" -out "$work/signed.exe" >/dev/null || fail "osslsigncode sign failed"
tvkpack_run tag signed.exe -o setup.exe --params params.json --icon brand.ico --picture brand.bmp

# The stub, started by cmd with the temporary folder set: Wine takes TMP and
# TEMP from its own configuration, not from the Unix environment.
mkdir -p "$temp_host"
printf '@echo off\r\nset TMP=%s\r\nset TEMP=%s\r\nsetup.exe /S --user-option "a b" copy-handed-files\r\nexit /b %%ERRORLEVEL%%\r\n' \
    "$temp_windows" "$temp_windows" >"$work/run.bat"
(cd "$work" && timeout $((120 * scale)) "$wine_run" cmd /c run.bat) >"$work/run.log" 2>&1
status=$?
[ "$status" -eq 0 ] || { cat "$work/run.log" >&2; fail "the stub exited with $status, not 0"; }

records=("$temp_host"/*.cmdline)
[ -f "${records[0]}" ] || fail "the installer did not run: no record in $temp_host"
[ ${#records[@]} -eq 1 ] || fail "${#records[@]} installer records in $temp_host, not 1"
record=${records[0]}
command_line=$(iconv -f UTF-16LE -t UTF-8 "$record")
echo "the installer got: $command_line"
case "$command_line" in
    *' /S --user-option "a b" copy-handed-files') ;;
    *) fail "the user's arguments did not arrive unchanged at the end of the command line" ;;
esac
installer_copy=${record%.cmdline}
for kind in pi:params.json pic:brand.bmp ico:brand.ico; do
    suffix=${kind%%:*}
    original=$work/${kind#*:}
    case "$command_line" in
        *"/$suffix=\""*) ;;
        *) fail "no /$suffix= argument on the command line" ;;
    esac
    [ -f "$installer_copy.$suffix" ] ||
        fail "the installer found no file at the path of /$suffix="
    cmp -s "$installer_copy.$suffix" "$original" ||
        fail "the file of /$suffix= differs from the tagged ${kind#*:}"
done
echo "handed over ($where temporary folder): parameters, picture and icon byte-identical;" \
    "stub exit status 0"
