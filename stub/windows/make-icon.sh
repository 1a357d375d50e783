#!/usr/bin/env bash
# Draws the Windows program's icon (tarrowin.ico: 256, 48, 32 and 16 pixels)
# with ImageMagick after packaging/tarrowin.svg: three gold slabs of an archive
# on a blue rounded square, a green orb on top. Run it to make the icon again.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Drawn at 1024 pixels (8 per unit of the 128-unit design), then scaled down.
s() { local out=""; for v in "$@"; do out+="$((v * 8)) "; done; echo "$out"; }
poly() { echo "polygon $(for p in "$@"; do echo -n "$(( ${p%,*} * 8 )),$(( ${p#*,} * 8 )) "; done)"; }
convert -size 1024x1024 xc:none \
    \( -size 928x928 gradient:'#2b4f86-#14264a' \( -size 928x928 xc:none -fill white -draw "roundrectangle 0,0 927,927 176,176" \) \
       -compose CopyOpacity -composite \) -geometry +48+48 -compose Over -composite \
    -stroke '#6b4a12' -strokewidth 16 -fill '#dcb153' \
    -draw "$(poly 22,86 64,104 106,86 106,96 64,114 22,96)" \
    -draw "$(poly 22,70 64,88 106,70 106,80 64,98 22,80)" \
    -draw "$(poly 22,54 64,36 106,54 106,64 64,82 22,64)" \
    -fill none -draw "polyline $(s 22 54 64 72 106 54 | awk '{print $1","$2" "$3","$4" "$5","$6}')" \
    -stroke '#0f3d14' -fill '#57d45a' -draw "circle $(s 64 38 | tr ' ' ',' | sed 's/,$//') $(s 64 59 | tr ' ' ',' | sed 's/,$//')" \
    -stroke none -fill '#ffffffb3' -draw "ellipse $(s 57 30 | tr ' ' ',' | sed 's/,$//') $(s 7 4 | tr ' ' ',' | sed 's/,$//') 0,360" \
    "$work/icon.png"
for size in 256 48 32 16; do
    convert "$work/icon.png" -resize ${size}x${size} "$work/$size.png"
done
convert -depth 8 "$work/256.png" "$work/48.png" "$work/32.png" "$work/16.png" "$here/tarrowin.ico"
