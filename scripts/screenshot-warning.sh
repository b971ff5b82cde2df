#!/usr/bin/env bash
# Takes docs/warning-box.png: the Windows program's warning box on a Wine
# desktop, in a scratch prefix without DASYLab. Needs the windows build
# (ImageMagick is called by its full path: some machines shadow `convert`).
set -euo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d)
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=:97
Xvfb "$DISPLAY" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'wineserver -k 2>/dev/null; kill $xvfb; rm -rf "$work"' EXIT
wine explorer /desktop=DASYLab,640x240 build/windows/kavro-register.exe >/dev/null 2>&1 &
# The box is drawn inside the desktop window, not as a window of its own:
# wait until the middle of the desktop turns the box's light grey.
for _ in $(seq 300); do
  sleep 2
  /usr/bin/import -window root -crop 640x240+0+0 +repage "$work/shot.png"
  pixel=$(/usr/bin/convert "$work/shot.png" -crop 1x1+200+140 -format '%[fx:int(255*r)]' info:)
  [ "$pixel" -gt 200 ] && break
done
sleep 1
/usr/bin/import -window root -crop 640x240+0+0 +repage docs/warning-box.png
