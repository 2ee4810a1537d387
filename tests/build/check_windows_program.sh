#!/usr/bin/env bash
# Checks a MinGW build of the program: PE format and bitness, GUI subsystem, and that it imports
# nothing but KERNEL32.dll and the C runtime (msvcrt.dll): no libstdc++, libgcc or pthread DLLs.
# Usage: check_windows_program.sh <brightrelay.exe> <pe32|pe32+>
set -euo pipefail
exe=$1
want_format=$2
[[ -f $exe ]] || { echo "missing: $exe (build the win32/win64 presets first)"; exit 1; }
case $want_format in
  pe32) objdump=i686-w64-mingw32-objdump; want_magic="PE32 executable" ;;
  pe32+) objdump=x86_64-w64-mingw32-objdump; want_magic="PE32+ executable" ;;
  *) echo "unknown format $want_format"; exit 2 ;;
esac
headers=$($objdump -p "$exe")
fail=0
if [[ $want_format == pe32 ]]; then
  grep -q '^Magic[[:space:]]*010b' <<<"$headers" || { echo "not a PE32 (32-bit) image"; fail=1; }
else
  grep -q '^Magic[[:space:]]*020b' <<<"$headers" || { echo "not a PE32+ (64-bit) image"; fail=1; }
fi
grep -Eq '^Subsystem[[:space:]]+0*2[[:space:]]' <<<"$headers" || { echo "not a GUI-subsystem program"; grep '^Subsystem' <<<"$headers"; fail=1; }
dlls=$(grep -i 'DLL Name:' <<<"$headers" | awk '{print $3}' | sort -u)
echo "imports: $(tr '\n' ' ' <<<"$dlls")"
while read -r dll; do
  case ${dll,,} in
    kernel32.dll|msvcrt.dll) ;;
    *) echo "unexpected import: $dll"; fail=1 ;;
  esac
done <<<"$dlls"
grep -qi '^kernel32.dll$' <<<"$dlls" || { echo "KERNEL32.dll not imported"; fail=1; }
echo "size: $(stat -c %s "$exe") bytes ($want_magic)"
exit $fail
