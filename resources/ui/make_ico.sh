#!/usr/bin/env bash
# Renders dotvane.svg into dotvane.ico (48, 32 and 16 pixels), the icon of
# the Windows build.  The .ico is committed, so that building needs neither
# tool; run this after changing the SVG.  Needs rsvg-convert and ImageMagick.
set -euo pipefail
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for size in 48 32 16; do
  rsvg-convert -w "$size" -h "$size" dotvane.svg -o "$work/$size.png"
done
convert "$work/48.png" "$work/32.png" "$work/16.png" -strip dotvane.ico
