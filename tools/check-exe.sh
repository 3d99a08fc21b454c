#!/usr/bin/env bash
# Checks that a built plemo-upload.exe is what we ship: a 64-bit windowed
# program (no console) whose entry is Qt's, which splits the command line,
# that looks for ports under \\.\comN, and that needs no DLL a bare Windows
# lacks (no Qt, libstdc++, libgcc or winpthread beside it).
#   tools/check-exe.sh PROGRAM.exe
# Prints one line per finding; exits 1 if any check fails.
set -euo pipefail

die() { echo "check-exe: $*" >&2; exit 2; }
[ $# -eq 1 ] || die "usage: check-exe.sh PROGRAM.exe"
exe=$1
[ -f "$exe" ] || die "no such file: $exe"
objdump=x86_64-w64-mingw32-objdump
command -v "$objdump" >/dev/null || die "$objdump missing (tools/install-deps.sh windows)"

headers=$("$objdump" -p "$exe")
failed=0
check() {
    if [ "$1" = ok ]; then
        echo "check-exe: ok: $2"
    else
        echo "check-exe: FAILED: $2" >&2
        failed=1
    fi
}

# Windows' own DLLs (and its API sets) that a static Qt Widgets program
# imports. Anything else would have to be shipped beside the .exe.
system_dll='^(advapi32|authz|comctl32|comdlg32|crypt32|d3d11|d3d9|dwmapi|dxgi|gdi32|imm32|kernel32|msvcrt|netapi32|ole32|oleaut32|setupapi|shcore|shell32|shlwapi|user32|userenv|uxtheme|version|winmm|ws2_32|wtsapi32|(api|ext)-ms-win-[a-z0-9-]+)\.dll$'

if grep -q 'PE32+' <<<"$headers"; then r=ok; else r=no; fi
check "$r" "64-bit PE (PE32+)"
if grep -Eq '^Subsystem[[:space:]]+0*2[[:space:]]' <<<"$headers"; then r=ok; else r=no; fi
check "$r" "Windows GUI subsystem: no console window"

# Qt's WinMain takes the command line with GetCommandLineW and splits it
# with CommandLineToArgvW before it calls main().
if grep -q 'CommandLineToArgvW' <<<"$headers"; then r=ok; else r=no; fi
check "$r" "Qt's entry splits the command line (imports CommandLineToArgvW)"

if grep -aqF '\\.\com%d' "$exe"; then r=ok; else r=no; fi
check "$r" 'port discovery tries \\.\com%d'

dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | sort -fu)
foreign=0
for dll in $dlls; do
    if ! tr 'A-Z' 'a-z' <<<"$dll" | grep -Eq "$system_dll"; then
        check no "imports $dll, which is not a Windows system DLL"
        foreign=1
    fi
done
if [ -n "$dlls" ] && [ "$foreign" -eq 0 ]; then r=ok; else r=no; fi
check "$r" "imports only Windows system DLLs ($(wc -w <<<"$dlls") of them)"
exit "$failed"
