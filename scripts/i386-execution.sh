#!/usr/bin/env bash
# Makes sure this host runs 32-bit x86 programs, which wine needs for the
# Windows tests, and prints how on its last line: "native" where the kernel
# runs them, "emulated" where binfmt_misc hands them to qemu-i386.
#
# Whether the kernel runs them is found out by running one (the 32-bit
# dynamic loader). Where it does not ("32-bit emulation disabled"), root
# mounts binfmt_misc and registers qemu-i386 (Debian: qemu-user) for i386 ELF
# executables. A registration is consulted before the kernel's own loader, so
# it is made only where the kernel cannot run them. Running this again
# changes nothing but the emulator's binary, which it takes anew. Exits 1
# when 32-bit programs cannot be run.
set -euo pipefail
loader=/lib/ld-linux.so.2
binfmt=/proc/sys/fs/binfmt_misc
entry=$binfmt/qemu-i386

runs_32bit() { "$loader" --version >/dev/null 2>&1; }
registered() { [ -e "$entry" ] && [ "$(head -n 1 "$entry")" = enabled ]; }

[ -e "$loader" ] || { echo "no 32-bit C library to try ($loader; Debian: libc6:i386)" >&2; exit 1; }
register() {
  # ELF, 32-bit, little-endian, an executable or shared object, machine i386.
  # The kernel decodes the \x escapes; "F" opens the emulator now, so that it
  # is found from any mount namespace.
  magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  printf '%s' ":qemu-i386:M::$magic:$mask:/usr/bin/qemu-i386:F" >"$binfmt/register"
}

if registered; then
  # An entry of ours keeps the emulator that it opened; made again, it takes
  # the one installed now (a newer qemu, say).
  if [ "$(id -u)" = 0 ] && grep -qx 'interpreter /usr/bin/qemu-i386' "$entry"; then
    echo -1 >"$entry"
    register
  fi
  runs_32bit || { echo "qemu-i386 is registered, yet $loader does not run" >&2; exit 1; }
  echo emulated
  exit 0
fi
if runs_32bit; then
  echo native
  exit 0
fi

echo "this kernel does not run 32-bit x86 programs; registering qemu-i386 for them" >&2
[ "$(id -u)" = 0 ] || { echo "only root can register the emulator" >&2; exit 1; }
[ -x /usr/bin/qemu-i386 ] || { echo "/usr/bin/qemu-i386 is missing (Debian: qemu-user)" >&2; exit 1; }
[ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
# A disabled entry is made anew, with the emulator installed now.
[ -e "$entry" ] && echo -1 >"$entry"
register
runs_32bit || { echo "$loader still does not run under qemu-i386" >&2; exit 1; }
echo emulated
