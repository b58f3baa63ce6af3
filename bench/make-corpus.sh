#!/usr/bin/env bash
# Builds the benchmark tree: the layout of a Windows volume, filled with real PE files from
# Debian's Wine and mingw-w64 packages, filler files, and infected copies of Wine's 32-bit
# programs. The same inputs give the same tree, byte for byte and with the same times.
#   make-corpus.sh [--big] OUT_DIR
# --big turns one infected program (a 24 KB stripped copy, always at the same path) into a sparse
# 3 GiB file, so the same tree serves both sides of the large-file comparison.
# QF_PLANT: the built qf_corpus_plant; compiled here when unset.
set -euo pipefail
export LC_ALL=C
umask 022

big=0
[ "${1:-}" = --big ] && { big=1; shift; }
[ $# -eq 1 ] || { echo "usage: make-corpus.sh [--big] OUT_DIR" >&2; exit 2; }
out=$(realpath -m "$1")
here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
W32=/usr/lib/i386-linux-gnu/wine/i386-windows
W64=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows
MG32=(/usr/lib/gcc/i686-w64-mingw32/*/lib*.dll /usr/i686-w64-mingw32/lib/*.dll)
MG64=(/usr/lib/gcc/x86_64-w64-mingw32/*/lib*.dll /usr/x86_64-w64-mingw32/lib/*.dll)
STAMP="System Volume Information/qf-corpus.txt"
BIG="Users/alex/Downloads/Setup-Complete.exe"
EPOCH=1700000000

# The tree changes when this script, the marker code or the packages do.
version=$( { cat "$0" "$here/corpus_plant.cpp" "$repo/tests/support/samples.cpp"
             stat -c '%n %s' "$W32"/* "$W64"/* "${MG32[@]}" "${MG64[@]}"; } | sha256sum | cut -c1-16)

stamp_get() { sed -n "s/^$1 //p" "$out/$STAMP"; }

finish() {
  if [ "$big" = 1 ]; then truncate -s 3G "$out/$BIG"; else truncate -s "$(stamp_get small)" "$out/$BIG"; fi
  touch -h -d "@$EPOCH" "$out/$BIG"
  echo "corpus $out: $(stamp_get files) files, $(stamp_get folders) folders, $(stamp_get planted) planted" \
       "infections ($(stamp_get form10) form 10, $(stamp_get form00) form 00), 1 folder symlink;" \
       "$BIG is $(stat -c %s "$out/$BIG") bytes"
}

# A scan that deletes what it finds leaves the stamp behind: the infected files must be there too.
complete() {
  [ -f "$out/$STAMP" ] && [ "$(stamp_get version)" = "$version" ] || return 1
  local f
  while IFS= read -r f; do [ -f "$out/$f" ] || return 1; done < <(stamp_get plant)
}
if complete; then finish; exit 0; fi
if [ -e "$out" ] && [ ! -f "$out/$STAMP" ] && [ -n "$(ls -A "$out")" ]; then
  echo "make-corpus: $out holds something else; not touching it" >&2; exit 1
fi

work="$out.partial"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch" "$work"' EXIT
rm -rf "$work"
mkdir -p "$work"
cd "$work"

plant=${QF_PLANT:-}
if [ -z "$plant" ]; then
  plant=$scratch/plant
  c++ -std=c++17 -O1 -I"$repo/tests/support" "$here/corpus_plant.cpp" "$repo/tests/support/samples.cpp" -o "$plant"
fi

# --- deterministic choices and filler -----------------------------------------------------------
seed=12345
rnd() { seed=$(( (seed * 1103515245 + 12345) % 2147483648 )); R=$(( seed >> 8 )); }
TEXT=()
for i in $(seq 0 399); do
  TEXT+=("[section$((i % 17))] key$i=value $((i * 7919 % 10007)) ; generated line $i for the scan benchmark")
done
BIN=''  # 1 KiB of escapes, starting 0x07: no filler file looks like a program
for i in $(seq 0 1023); do printf -v BIN '%s\\x%02x' "$BIN" $(( (i * 131 + 7) & 255 )); done

txt() { rnd; local k=$((1 + R % 40)) o=$((R % 360)); printf '%s\r\n' "${TEXT[@]:o:k}" >"$1"; }
# bin PATH MAXKB: a binary of 1..MAXKB KiB
bin() {
  rnd; local kb=$((1 + R % $2)) j
  { for ((j = 0; j < kb; j++)); do printf "$BIN"; done; } >"$1"
}
# large PATH MB: a larger file, written by tools rather than the shell
large() { mkdir -p "$(dirname "$1")"; head -c $(($2 << 20)) < <(yes "${TEXT[*]:$(($2 % 300)):4}") >"$1"; }
# files DIR COUNT STEM EXT txt|bin [MAXKB]
files() {
  local i; mkdir -p "$1"
  for ((i = 1; i <= $2; i++)); do
    if [ "$5" = txt ]; then txt "$1/$3$i${4:+.$4}"; else bin "$1/$3$i${4:+.$4}" "${6:-4}"; fi
  done
}
mapfile -t EXE32 < <(ls "$W32"/*.exe)
mapfile -t DLL32 < <(ls "$W32"/*.dll)
mapfile -t EXE64 < <(ls "$W64"/*.exe)
mapfile -t DLL64 < <(ls "$W64"/*.dll)
# pick ARRAY: one element, by the generator
pick() { local -n arr=$1; rnd; P=${arr[R % ${#arr[@]}]}; }

PLANTS=()
n10=0 n00=0
# infect DEST [SRC]: an infected copy of a 32-bit Wine program, the two marker forms in turn
infect() {
  local src=${2:-}
  [ -n "$src" ] || { pick EXE32; src=$P; }
  mkdir -p "$(dirname "$1")"
  if (( (n10 + n00) % 2 == 0 )); then PLANTS+=(10 "$src" "$1"); n10=$((n10 + 1))
  else PLANTS+=(00 "$src" "$1"); n00=$((n00 + 1)); fi
}

# --- Windows -------------------------------------------------------------------------------------
mkdir -p Windows/System32/drivers Windows/SysWOW64/drivers "System Volume Information" PerfLogs
cp "$W64"/* Windows/System32/
cp "$W32"/* Windows/SysWOW64/
mv Windows/System32/*.sys Windows/System32/drivers/
mv Windows/SysWOW64/*.sys Windows/SysWOW64/drivers/
for f in explorer notepad regedit winhlp32 hh; do cp "$W64/$f.exe" Windows/; done
txt Windows/win.ini; txt Windows/system.ini
for arch in System32 SysWOW64; do
  mkdir -p "Windows/$arch/en-US"
  mapfile -t names < <(cd "Windows/$arch" && ls -- *.dll)
  for f in "${names[@]:0:250}"; do bin "Windows/$arch/en-US/$f.mui" 8; done
done
files Windows/System32/config 8 HIVE "" bin 2048
files Windows/System32/wbem 60 schema mof txt
files "Windows/System32/catroot/{F750E6C3-38EE-11D1-85E5-00C04FC295EE}" 200 Package cat bin 16
sys64=(Windows/System32/drivers/*.sys)
for i in $(seq 1 120); do
  d=$(printf 'Windows/System32/DriverStore/FileRepository/oem%d.inf_amd64_%08x' "$i" $((i * 2654435761 % 4294967296)))
  mkdir -p "$d"; txt "$d/oem$i.inf"; bin "$d/oem$i.cat" 8
  cp "${sys64[i % ${#sys64[@]}]}" "$d/"
done
for t in $(seq 1 30); do files "Windows/System32/Tasks/Microsoft/Windows/Task$t" 3 job "" txt; done
files Windows/Fonts 150 font ttf bin 64
files Windows/INF 400 oem inf txt
files Windows/INF 400 oem PNF bin 8
files Windows/Logs/CBS 20 CbsPersist log txt
large Windows/Logs/CBS/CBS.log 8
files Windows/Logs/WindowsUpdate 30 WindowsUpdate etl bin 32
files Windows/servicing/Packages 1200 Package_for_KB mum txt
files Windows/servicing/Packages 1200 Package_for_KB cat bin 12
files Windows/Prefetch 200 APP pf bin 16
files Windows/Temp 50 tmp tmp bin 8
infect Windows/Temp/svchost.exe
mkdir -p Windows/WinSxS/Manifests
for i in $(seq 1 350); do
  if (( i % 2 )); then pick DLL64; a=amd64; else pick DLL32; a=x86; fi
  b=$(basename "$P" .dll)
  d=$(printf 'Windows/WinSxS/%s_microsoft-windows-%s_31bf3856ad364e35_10.0.19041.%d_none_%016x' "$a" "$b" "$i" $((i * 40503 * 65599)))
  mkdir -p "$d"; cp "$P" "$d/"
  txt "Windows/WinSxS/Manifests/${d#Windows/WinSxS/}.manifest"
done
for i in $(seq 1 40); do
  pick DLL32; b=$(basename "$P" .dll)
  d="Windows/assembly/GAC_MSIL/Contoso.$b/v4.0_1.0.$i.0__b77a5c561934e089"
  mkdir -p "$d"; cp "$P" "$d/Contoso.$b.dll"
done

# --- Program Files -------------------------------------------------------------------------------
apps=("Contoso/Notes" "Contoso/Notes Updater" "Fabrikam/Media Player" "Northwind/Ledger" "Tailspin/Flight Planner"
      "Adatum/Archive Tool" "Litware/Scanner" "Wingtip/Toy Studio" "Woodgrove/Bank Client" "Proseware/Paint"
      "Lucerne/Publisher" "Common Files/Fabrikam Shared")
for bits in 32 64; do
  if [ $bits = 32 ]; then pf="Program Files (x86)"; exes=EXE32; dlls=DLL32; rt=("${MG32[@]}")
  else pf="Program Files"; exes=EXE64; dlls=DLL64; rt=("${MG64[@]}"); fi
  for app in "${apps[@]}"; do
    d="$pf/$app"; mkdir -p "$d/bin"
    for k in 1 2 3 4 5 6; do pick $exes; cp "$P" "$d/bin/"; done
    for k in $(seq 1 10); do pick $dlls; cp "$P" "$d/bin/"; done
    for k in 0 1 2 3; do cp "${rt[(k * 5 + ${#app}) % ${#rt[@]}]}" "$d/bin/"; done
    files "$d/resources" 40 res bin bin 32
    files "$d/locales" 50 locale pak bin 24
    files "$d/docs" 10 readme txt txt
    for p in 1 2 3 4 5; do
      mkdir -p "$d/plugins/plugin$p/lib"; pick $dlls; cp "$P" "$d/plugins/plugin$p/lib/"
      files "$d/plugins/plugin$p" 3 manifest json txt
    done
  done
done
for i in 1 3 5 7 9 11; do infect "Program Files (x86)/${apps[i]}/bin/update.exe"; done
infect "Program Files (x86)/Common Files/Fabrikam Shared/plugins/plugin5/lib/helper.exe"
infect "Program Files/Proseware/Paint/bin/paint32.exe"   # a 32-bit program among 64-bit ones

# --- ProgramData ---------------------------------------------------------------------------------
for a in $(seq 1 25); do files "ProgramData/Microsoft/Windows/Start Menu/Programs/Group$a" 3 Shortcut lnk bin 2; done
for i in $(seq 1 60); do
  d=$(printf 'ProgramData/Package Cache/{%08X-1C2B-4E3D-9A8B-%012X}' $((i * 2246822519 % 4294967296)) $((i * 3266489917)))
  mkdir -p "$d"; bin "$d/package.msi" 256; txt "$d/state.rsm"; pick EXE32; cp "$P" "$d/"
done
files ProgramData/Contoso/Logs 100 notes log txt
mkdir -p "ProgramData/Microsoft/Windows Defender/Definition Updates/Backup"
for i in 1 2 3; do large "ProgramData/Microsoft/Windows Defender/Definition Updates/Backup/mpavbase$i.vdm" $((8 * i)); done
infect ProgramData/Contoso/Cache/runtime.exe

# --- Users ---------------------------------------------------------------------------------------
for u in alex maria sam; do
  h=Users/$u; L=$h/AppData/Local; R_=$h/AppData/Roaming
  files "$h/Desktop" 10 note txt txt
  files "$h/Desktop" 2 Shortcut lnk bin 2
  files "$h/Documents" 30 letter txt txt
  files "$h/Documents" 20 report docx bin 96
  files "$h/Downloads" 15 archive zip bin 512
  for k in 1 2 3; do pick EXE32; cp "$P" "$h/Downloads/"; done
  for a in Camera Holiday; do files "$h/Pictures/$a" 60 IMG jpg bin 192; done
  for p in $(seq 1 6); do for s in src test docs; do files "$h/Documents/Projects/project$p/$s" 8 file txt txt; done; done
  files "$L/Fabrikam/Browser/User Data/Default/Cache/Cache_Data" 1600 f_00 "" bin 24
  files "$L/Fabrikam/Browser/User Data/Default/Code Cache/js" 300 code "" bin 16
  files "$L/Temp" 60 tmp tmp bin 16
  for pk in $(seq 1 6); do
    for s in LocalState Settings TempState AC/INetCache; do files "$L/Packages/Contoso.App${pk}_8wekyb3d8bbwe/$s" 4 data dat bin 8; done
  done
  for a in Editor Chat; do
    d="$L/Programs/$a"; mkdir -p "$d/resources/app"
    for k in 1 2; do pick EXE32; cp "$P" "$d/"; done
    for k in 1 2 3 4; do pick DLL32; cp "$P" "$d/"; done
    files "$d/resources/app" 40 module js txt
  done
  files "$R_/Microsoft/Windows/Recent" 50 recent lnk bin 2
  files "$R_/Contoso/Notes/config" 12 settings ini txt
  infect "$h/Downloads/invoice_scan.exe"
  infect "$L/Temp/~DF3A1B.tmp"                 # a program by its headers, not its name
  infect "$L/Programs/Chat/chat-update.exe"
done
# A web project: many small folders, and depth.
for p in $(seq 1 200); do
  d="Users/alex/Documents/Projects/webapp/node_modules/pkg$p"
  files "$d/lib" 3 index js txt
  files "$d/dist" 2 bundle js txt
  txt "$d/package.json"
  (( p % 10 )) || files "$d/node_modules/dep$p/lib/internal/util" 3 util js txt
done
# Deep: 16 levels below the root, well inside the 260 characters of the ANSI calls.
deep="Users/alex/AppData/Local/Packages/Contoso.Notes_8wekyb3d8bbwe/LocalState/sync/store/v2/objects/ab/cd/ef/01"
files "$deep" 5 object bin bin 4
infect "$deep/restore.exe"
# Hidden and odd cases: dot folders, a folder link that a walk must not follow, the recycle bin,
# an empty folder (PerfLogs), a zero-length file, text named .exe, a cut-off program, a long name.
files Users/alex/.config/tool 6 config toml txt
infect Users/alex/.cache/tool/bin/tool.exe
infect "Users/alex/Documents/Screen Saver (old).scr"
mkdir -p Users/alex/Links
ln -s ../../../Windows Users/alex/Links/Windows
rb='$Recycle.Bin/S-1-5-21-3623811015-3361044348-30300820-1001'
files "$rb" 8 '$RXK2' dat bin 64
infect "$rb/\$RZ81QF.exe"
: >Users/sam/Documents/empty.txt
txt Users/sam/Downloads/readme.exe
head -c 1024 "${EXE32[0]}" >Users/sam/Downloads/truncated.exe
txt "Users/maria/Documents/Minutes of the quarterly planning meeting held in the large conference room - final version (2).txt"
files Users/Default/AppData/Local/Microsoft/Windows 5 UsrClass dat bin 64
files Users/Public/Documents 5 shared txt txt
# Larger files.
large pagefile.sys 64
for i in 1 2 3 4 5 6 7 8 9 10 11 12; do large "Users/alex/Music/Album/track$i.mp3" $((3 + i % 4)); done
large Users/alex/Videos/holiday.mp4 48
large Users/maria/Videos/lecture.mp4 32
for i in 1 2; do large "Users/sam/Pictures/Holiday/panorama$i.tif" 6; done

# The program that --big stretches: a stripped copy, infected, small until asked otherwise.
SOURCE_DATE_EPOCH=$EPOCH i686-w64-mingw32-strip --strip-all -o "$scratch/small.exe" "$W32/secedit.exe"
infect "$BIG" "$scratch/small.exe"
"$plant" "${PLANTS[@]}"

# The stamp goes in last, counting itself: a tree without it is incomplete.
nfiles=$(( $(find . -type f | wc -l) + 1 )) nfolders=$(find . -mindepth 1 -type d | wc -l)
printf '%s\n' "version $version" "files $nfiles" "folders $nfolders" "planted $((n10 + n00))" \
       "form10 $n10" "form00 $n00" "small $(stat -c %s "$BIG")" >"$STAMP"
for ((i = 2; i < ${#PLANTS[@]}; i += 3)); do echo "plant ${PLANTS[i]}" >>"$STAMP"; done
find . -exec touch -h -d "@$EPOCH" {} +
cd /
if [ -e "$out" ]; then rm -rf "$out"; fi
mv "$work" "$out"
finish
