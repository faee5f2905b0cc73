#!/bin/sh
# Renders the hicolor PNG icons from the scalable one (needs rsvg-convert, Debian
# package librsvg2-bin). The PNGs are kept in the repository, so a build needs neither.
set -eu
cd "$(dirname "$0")"
for size in 16 32 48 64 128 256; do
    rsvg-convert -w "$size" -h "$size" -o "org.velantra.load_qx7100-$size.png" org.velantra.load_qx7100.svg
done
# The window's own icon (a Qt resource) is the same picture.
cp org.velantra.load_qx7100-16.png ../../shell/icons/load_qx7100-16.png
cp org.velantra.load_qx7100-32.png ../../shell/icons/load_qx7100-32.png
