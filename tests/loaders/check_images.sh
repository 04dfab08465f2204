#!/usr/bin/env bash
# Checks the three flash-loader images with arm-none-eabi-readelf/objdump: ELF header, sections,
# symbols, entry point, instruction set, DWARF version and the StorageInfo descriptor byte by byte.
#   check_images.sh IMAGE_DIR      (IMAGE_DIR holds loader-495.stldr, loader-453.stldr, loader-443.stldr)
set -uo pipefail
dir=${1:?usage: check_images.sh IMAGE_DIR}
READELF=${READELF:-arm-none-eabi-readelf}
OBJDUMP=${OBJDUMP:-arm-none-eabi-objdump}
passed=0
failed=0

check() {  # check <description> <actual> <expected>
  if [ "$2" == "$3" ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL $image: $1: got '$2', expected '$3'"
  fi
}

# Field of the section line for section $1: 1 address, 2 offset, 3 size, 4 flags.
section_field() {
  "$READELF" -SW "$file" | sed 's/^ *\[ *[0-9]*\] //' | awk -v name="$1" -v f="$2" \
    '$1 == name { if (f == 1) print $3; else if (f == 2) print $4; else if (f == 3) print $5; else print $7 }'
}

symbol() {  # symbol NAME -> "value size type bind section"
  "$READELF" -sW "$file" | awk -v name="$1" '$8 == name { print $2, $3, $4, $5, $7 }'
}

# Descriptor helpers over the 200 bytes at the descriptor's file offset.
desc_u32() { printf '0x%08x' $(( 0x${desc[$1+3]}${desc[$1+2]}${desc[$1+1]}${desc[$1]} )); }
desc_u16() { printf '0x%04x' $(( 0x${desc[$1+1]}${desc[$1]} )); }
desc_zero() {  # desc_zero FROM TO: every byte in [FROM, TO) is zero
  local i
  for ((i = $1; i < $2; i++)); do [ "${desc[$i]}" == "00" ] || { echo "byte $i = ${desc[$i]}"; return; }; done
  echo zero
}

check_image() {  # check_image ID ARCH INFO CODE SIZE PAGE SECTORS SECTOR_SIZE ENTRIES...
  local id=$1
  image=loader-$id
  file=$dir/$image.stldr
  local arch=$2 info=$3 code=$4 size=$5 page=$6 sectors=$7 sector_size=$8
  shift 8
  if [ ! -f "$file" ]; then
    failed=$((failed + 1)); echo "FAIL $image: $file missing"; return
  fi
  local header
  header=$("$READELF" -hW "$file")
  check "class" "$(awk '/Class:/ {print $2}' <<<"$header")" "ELF32"
  check "data" "$(grep -o 'little endian' <<<"$header")" "little endian"
  check "machine" "$(awk -F: '/Machine:/ {gsub(/^ +/, "", $2); print $2}' <<<"$header")" "ARM"
  check "e_flags" "$(od -An -tx4 -j36 -N4 "$file" | tr -d ' \n')" "05000000"
  check "entry" "$(awk '/Entry point/ {print $4}' <<<"$header")" "0x20000005"
  check "architecture" "$("$READELF" -A "$file" | awk '/Tag_CPU_arch:/ {print $2}')" "$arch"

  check "loadable sections" "$("$READELF" -SW "$file" | sed 's/^ *\[ *[0-9]*\] //' | awk '$7 ~ /A/ {print $1}' | tr '\n' ' ')" "$info $code "
  check "load segments" "$("$READELF" -lW "$file" | grep -c '^ *LOAD')" "2"
  check "$info address" "$(section_field "$info" 1)" "00000000"
  check "$info size" "$(section_field "$info" 3)" "0000c8"
  check "$code address" "$(section_field "$code" 1)" "20000004"
  check "$code flags" "$(section_field "$code" 4)" "AX"
  local code_size=$((0x$(section_field "$code" 3)))
  echo "$image: $code holds $code_size bytes of code and constants"

  check "StorageInfo" "$(symbol StorageInfo)" "00000000 200 OBJECT GLOBAL 1"
  check "Info_BLOCK\$\$Base" "$(symbol 'Info_BLOCK$$Base' | cut -d' ' -f1)" "00000000"
  check "Info_BLOCK\$\$Limit" "$(symbol 'Info_BLOCK$$Limit' | cut -d' ' -f1)" "000000c8"
  check "RAM_BLOCK\$\$Base" "$(symbol 'RAM_BLOCK$$Base' | cut -d' ' -f1)" "20000004"
  check "RAM_BLOCK\$\$Limit" "$(symbol 'RAM_BLOCK$$Limit' | cut -d' ' -f1)" "$(printf '%08x' $((0x20000004 + code_size)))"
  check "Init" "$(symbol Init | cut -d' ' -f1)" "20000005"
  local entry value
  for entry in "$@"; do
    value=$(symbol "$entry")
    check "$entry type" "$(cut -d' ' -f3-5 <<<"$value")" "FUNC GLOBAL 2"
    check "$entry Thumb bit" "$(( 0x${value%% *} & 1 ))" "1"
  done
  check "undefined symbols" "$("$READELF" -sW "$file" | awk '$7 == "UND" && $8 != "" {print $8}')" ""

  # Instruction set: ARMv6-M has 16-bit Thumb plus the 32-bit BL only.
  local wide
  wide=$("$OBJDUMP" -d -j "$code" "$file" | awk -F'\t' '$2 ~ /^[0-9a-f][0-9a-f][0-9a-f][0-9a-f] [0-9a-f][0-9a-f][0-9a-f][0-9a-f] *$/ {print $3}' | sort -u | tr '\n' ' ')
  if [ "$arch" == "v6-M" ]; then
    check "32-bit instructions" "$wide" "bl "
  else
    check "uses 32-bit Thumb-2" "$([ "$(wc -w <<<"$wide")" -gt 1 ] && echo yes)" "yes"
  fi

  local dwarf
  dwarf=$("$READELF" --debug-dump=info "$file" 2>/dev/null)
  check "DWARF versions" "$(awk '/Version:/ {print $2}' <<<"$dwarf" | sort -u | tr '\n' ' ')" "4 "
  check "descriptor types" "$(grep -A1 'DW_TAG_structure_type' <<<"$dwarf" | grep -oE '(StorageInfo|DeviceSectors)$' | sort -u | tr '\n' ' ')" "DeviceSectors StorageInfo "

  local offset=$((0x$(section_field "$info" 2)))
  read -r -a desc <<<"$(od -An -tx1 -v -j "$offset" -N 200 "$file" | tr '\n' ' ')"
  check "DeviceName" "$(head -c 5 <<<"$(printf '%b' "$(printf '\\x%s' "${desc[@]:0:5}")")")" "0x$id"
  check "DeviceName padding" "$(desc_zero 5 100)" "zero"
  check "DeviceType" "$(desc_u16 100)" "0x0001"
  check "padding 102" "$(desc_zero 102 104)" "zero"
  check "DeviceStartAddress" "$(desc_u32 104)" "0x08000000"
  check "DeviceSize" "$(desc_u32 108)" "$size"
  check "PageSize" "$(desc_u32 112)" "$page"
  check "EraseValue" "${desc[116]}" "ff"
  check "padding 117" "$(desc_zero 117 120)" "zero"
  check "SectorNum" "$(desc_u32 120)" "$sectors"
  check "SectorSize" "$(desc_u32 124)" "$sector_size"
  check "sector list end" "$(desc_zero 128 200)" "zero"
}

check_image 495 v7E-M P2 P1 0x00100000 0x00001000 0x00000100 0x00001000 \
  Init Write SectorErase MassErase WriteOB
check_image 453 v6-M P3 P1-P2 0x00008000 0x00000800 0x00000010 0x00000800 \
  Init Write SectorErase MassErase WriteOB CheckSum Verify
check_image 443 v6-M P3 P1-P2 0x00008000 0x00001000 0x00000010 0x00000800 \
  Init Write SectorErase MassErase WriteOB CheckSum Verify

# loader-443 is loader-453 but for its descriptor and the order inside Init: the code after Init
# is the same byte for byte.
image="loader-443 vs loader-453"
code_after_init() {
  local f=$dir/loader-$1.stldr init_size
  init_size=$("$READELF" -sW "$f" | awk '$8 == "Init" {print $3}')
  "$OBJDUMP" -s -j P1-P2 --start-address=$((0x20000004 + init_size)) "$f" | tail -n +5 | md5sum
}
check "shared code" "$(code_after_init 443)" "$(code_after_init 453)"

echo "loader image checks: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
