# 32-bit x86 code on this machine: run by the kernel, by qemu user emulation, or not at all.
# Sourced by scripts/test (after packages.sh). Machines differ here: some kernels run 32-bit code,
# some refuse it ("Exec format error"); on those, Debian's qemu-user-static registered with
# binfmt_misc runs it, slowly. The 32-bit wine lane is planned from what this finds.

x86_32_work=${TMPDIR:-/tmp}/brightrelay-x86-32.$$

# 1 when a tiny static 32-bit x86 Linux program runs here and exits with its code (7).
x86_32_runs() {
  mkdir -p "$x86_32_work"
  if [[ ! -x $x86_32_work/exit7 ]]; then
    printf '.globl _start\n_start:\n movl $1, %%eax\n movl $7, %%ebx\n int $0x80\n' >"$x86_32_work/exit7.s"
    as --32 -o "$x86_32_work/exit7.o" "$x86_32_work/exit7.s" &&
      ld -m elf_i386 -o "$x86_32_work/exit7" "$x86_32_work/exit7.o" || return 1
  fi
  local code=0
  "$x86_32_work/exit7" 2>/dev/null || code=$?
  [[ $code == 7 ]]
}

# The interpreter binfmt_misc hands 32-bit x86 programs to, if an enabled entry claims them.
x86_32_emulator() {
  local entry
  [[ -r /proc/sys/fs/binfmt_misc/status && $(cat /proc/sys/fs/binfmt_misc/status) == enabled ]] || return 1
  for entry in /proc/sys/fs/binfmt_misc/*; do
    [[ -f $entry && $(basename "$entry") != status && $(basename "$entry") != register ]] || continue
    # The ELF class (32-bit) and the machine field (x86, 03 00) of the magic.
    if [[ $(head -n1 "$entry") == enabled ]] && grep -q '^magic 7f454c4601.*0300$' "$entry"; then
      sed -n 's/^interpreter //p' "$entry"
      return 0
    fi
  done
  return 1
}

# Registers qemu-i386-static for 32-bit x86 ELF programs, as installing qemu-user-static with
# binfmt-support does on an ordinary Debian system (Debian ships no such entry for amd64 hosts,
# whose kernels usually run 32-bit code themselves). The F flag opens the emulator now, so that
# it also serves programs in other mount namespaces.
x86_32_register_emulation() {
  install_missing qemu-user-static || return 1
  local emulator=/usr/bin/qemu-i386-static binfmt=/proc/sys/fs/binfmt_misc
  [[ -x $emulator ]] || return 1
  if [[ ! -e $binfmt/register ]]; then
    mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null || return 1
  fi
  if [[ ! -e $binfmt/qemu-i386 ]]; then
    local magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    local mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    printf ':qemu-i386:M::%s:%s:%s:F' "$magic" "$mask" "$emulator" >"$binfmt/register" 2>/dev/null || return 1
  fi
  echo 1 >"$binfmt/qemu-i386" 2>/dev/null || true
  echo 1 >"$binfmt/status" 2>/dev/null || true
}

# Sets x86_32_mode to native, emulated or none, and x86_32_reason to a sentence for none;
# registers the emulation where the kernel refuses 32-bit code and it can.
x86_32_plan() {
  x86_32_reason=''
  if x86_32_runs; then
    if x86_32_emulator >/dev/null; then x86_32_mode=emulated; else x86_32_mode=native; fi
    return 0
  fi
  printf '\n==> this kernel does not run 32-bit x86 code; registering qemu-i386-static for it with binfmt_misc\n'
  if x86_32_register_emulation && x86_32_runs; then
    x86_32_mode=emulated
    return 0
  fi
  x86_32_mode=none
  x86_32_reason="the kernel refuses 32-bit code and qemu user emulation could not be set up (binfmt_misc)"
}

x86_32_cleanup() { rm -rf "$x86_32_work"; }
