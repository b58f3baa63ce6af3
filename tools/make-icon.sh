#!/usr/bin/env bash
# Writes the program's icon, QFICON: one 32 by 32 image in the 16 standard colours, a shield with a
# "Q" on it. The picture is the grid below, one character per pixel: a hexadecimal digit is a
# colour of the palette, "." is transparent. The build runs this and compiles the result into the
# program's resources.
#   make-icon.sh OUTPUT.ico
set -euo pipefail
out=$1

picture=(
"................................"
"................................"
"...00000000000000000000000000..."
"...04444444444444444444444440..."
"...04444444444444444444444440..."
"...04444444444444444444444440..."
"...04444444444444444444444440..."
"...044444444444FF444444444440..."
"...044444444FFFFFFFF444444440..."
"...04444444FFFFFFFFFF44444440..."
"...0444444FFFF4444FFFF4444440..."
"...044444FFF44444444FFF444440..."
"...044444FFF44444444FFF444440..."
"...044444FF4444444444FF444440..."
"...04444FFF4444444444FFF44440..."
"...04444FFF4444444444FFF44440..."
"...044444FF4444444444FF444440..."
"...044444FFF444444BBFFF444440..."
"...044444FFF4444444BBFF444440..."
"....044444FFFF4444FFBB444440...."
".....044444FFFFFFFFFFBB4440....."
"......044444FFFFFFFF44BB40......"
".......04444444FF44444440......."
".........04444444444440........."
"..........044444444440.........."
"...........0444444440..........."
"............04444440............"
".............044440............."
"...............00..............."
"................................"
"................................"
"................................"
)

# The 16 standard colours, as red, green, blue (stored blue first).
palette=(000000 800000 008000 808000 000080 800080 008080 c0c0c0
         808080 ff0000 00ff00 ffff00 0000ff ff00ff 00ffff ffffff)

bytes=""
u8() { bytes+=$(printf '\\x%02x' "$1"); }
u16() { u8 $(($1 & 255)); u8 $(($1 >> 8 & 255)); }
u32() { u16 $(($1 & 65535)); u16 $(($1 >> 16 & 65535)); }

[ ${#picture[@]} -eq 32 ] || { echo "make-icon: the picture needs 32 rows" >&2; exit 1; }
image_size=$((40 + 16 * 4 + 32 * 16 + 32 * 4))
# Icon directory with its one entry.
u16 0; u16 1; u16 1
u8 32; u8 32; u8 16; u8 0; u16 1; u16 4; u32 $image_size; u32 22
# The image: a bitmap header (height counts the colour and the mask halves), palette, colour
# rows and mask rows, both bottom row first.
u32 40; u32 32; u32 64; u16 1; u16 4; u32 0; u32 $((32 * 16 + 32 * 4)); u32 0; u32 0; u32 16; u32 0
for c in "${palette[@]}"; do
  u8 $((16#${c:4:2})); u8 $((16#${c:2:2})); u8 $((16#${c:0:2})); u8 0
done
for ((y = 31; y >= 0; y--)); do
  row=${picture[y]}
  [ ${#row} -eq 32 ] || { echo "make-icon: row $y is not 32 pixels wide" >&2; exit 1; }
  for ((x = 0; x < 32; x += 2)); do
    hi=${row:x:1} lo=${row:x+1:1}
    [ "$hi" = . ] && hi=0
    [ "$lo" = . ] && lo=0
    u8 $((16#$hi * 16 + 16#$lo))
  done
done
for ((y = 31; y >= 0; y--)); do
  row=${picture[y]}
  for ((x = 0; x < 32; x += 8)); do
    mask=0
    for ((b = 0; b < 8; b++)); do
      [ "${row:x+b:1}" = . ] && mask=$((mask | 128 >> b))
    done
    u8 $mask
  done
done
mkdir -p "$(dirname "$out")"
printf '%b' "$bytes" > "$out.tmp"
mv "$out.tmp" "$out"
