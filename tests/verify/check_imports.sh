#!/bin/sh
# The example installer imports nothing but what the verifier needs from
# Windows (kernel32, bcrypt, crypt32) and the C runtime that every mingw-w64
# program imports (msvcrt): vendors link the verifier with nothing more.
# Usage: check_imports.sh OBJDUMP PROGRAM
set -eu
imports=$("$1" -p "$2" | sed -n 's/^.*DLL Name: //p' | tr 'A-Z' 'a-z' | sort | tr '\n' ' ')
echo "imports: $imports"
[ "$imports" = "bcrypt.dll crypt32.dll kernel32.dll msvcrt.dll " ]
