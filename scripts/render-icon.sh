#!/usr/bin/env bash
# Renders resources/icon.svg into a Windows icon of three images: 16, 32 and
# 48 pixels.   usage: render-icon.sh ICON.svg OUT.ico
set -euo pipefail
svg=$1
ico=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for size in 16 32 48; do
  rsvg-convert --width "$size" --height "$size" --format png --output "$work/icon-$size.png" "$svg"
done
icotool -c -o "$ico" "$work/icon-16.png" "$work/icon-32.png" "$work/icon-48.png"
