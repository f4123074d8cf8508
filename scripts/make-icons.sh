#!/usr/bin/env bash
# Renders the program's icon (data/desktop/icons/zelkor.svg) into the PNG sizes
# the icon theme wants, beside it. Run by hand when the drawing changes; the
# PNGs are kept in the repository so that a build needs no SVG renderer.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
zk_ensure_packages librsvg2-bin
for size in 16 22 24 32 48 64 128 256; do
  rsvg-convert -w "$size" -h "$size" data/desktop/icons/zelkor.svg -o "data/desktop/icons/zelkor-$size.png"
done
echo "rendered: $(ls data/desktop/icons/*.png | tr '\n' ' ')"
