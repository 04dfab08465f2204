#!/usr/bin/env bash
# Sets the ELF header flags of a 32-bit little-endian ARM image to exactly EABI version 5.
# The linker always adds the float-ABI bit (soft-float, 0x200); the loader images carry no
# float-ABI flag, so the word at offset 36 is rewritten after the link.
set -euo pipefail
image=$1
magic=$(od -An -tx1 -N6 "$image" | tr -d ' \n')
[ "$magic" = "7f454c460101" ] || { echo "set_eflags: $image is not a 32-bit little-endian ELF" >&2; exit 1; }
flags=$(od -An -tx4 -j36 -N4 "$image" | tr -d ' \n')
case "$flags" in
  05000000|05000200) ;;
  *) echo "set_eflags: unexpected e_flags 0x$flags in $image" >&2; exit 1 ;;
esac
printf '\000\000\000\005' | dd of="$image" bs=1 seek=36 count=4 conv=notrunc status=none
