#!/bin/sh
# Checks the stub executable as a vendor ships it: PE32, GUI subsystem, ASLR
# and DEP, only Windows system DLLs imported, and the manifest and version
# resource it carries, with the project's version.
# usage: check_stub_image.sh STUB.exe VERSION
set -eu
stub=$1
version=$2
fail() { echo "FAIL: $*" >&2; exit 1; }

headers=$(i686-w64-mingw32-objdump -p "$stub")
echo "$headers" | grep -Eq '^Magic[[:space:]]+010b[[:space:]]+\(PE32\)' || fail "not PE32"
echo "$headers" | grep -Eq '^Subsystem[[:space:]]+00000002[[:space:]]+\(Windows GUI\)' || fail "not a GUI program"
echo "$headers" | grep -Eq '^[[:space:]]+DYNAMIC_BASE$' || fail "no DYNAMIC_BASE"
echo "$headers" | grep -Eq '^[[:space:]]+NX_COMPAT$' || fail "no NX_COMPAT"

# Windows system DLLs only: the C runtime and the four the stub calls.
allowed="KERNEL32.dll msvcrt.dll USER32.dll SHELL32.dll ole32.dll"
for dll in $(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p'); do
    case " $allowed " in
        *" $dll "*) ;;
        *) fail "imports $dll" ;;
    esac
done

text=$(strings "$stub")
echo "$text" | grep -q 'requestedExecutionLevel level="asInvoker" uiAccess="false"' ||
    fail "manifest does not request asInvoker without UI access"
for os in e2011457-1546-43c5-a5fe-008deee3d3f0 35138b9a-5d96-4fbd-8e2d-a2440225f93a \
          4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 1f676c76-80e1-4239-95bb-83d0f6d0da78 \
          8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
    echo "$text" | grep -q "supportedOS Id=\"{$os}\"" || fail "manifest lacks supportedOS $os"
done
strings -el "$stub" | grep -qx 'FileVersion' || fail "no version resource"
strings -el "$stub" | grep -qx "$version.0" || fail "the version resource does not carry $version.0"
echo "stub image: PE32 GUI, DYNAMIC_BASE, NX_COMPAT, system DLLs only, manifest and version resource ($version.0) present"
