#!/usr/bin/env bash
# Draws the window's pictures and its icon into form/ with ImageMagick (Debian: imagemagick).
# They stay pale on purpose: captions and fields are drawn on top of them. Only the pixel sizes
# matter to the program; rerun this after changing a colour and rebuild.
set -euo pipefail
cd "$(dirname "$0")/../form"

# A soft top-to-bottom gradient with a little grain, so large areas do not look flat. The grain is
# blurred as a tile, so that it has no seam where the style sheets repeat a picture.
grain=(-virtual-pixel tile -blur 0x1 -compose SoftLight -composite -strip -quality 92)
picture() { # file width height top-colour bottom-colour
    convert -seed 7 -size "$2x$3" "gradient:$4-$5" \( -size "$2x$3" xc:gray50 +noise Gaussian -colorspace Gray \) \
        "${grain[@]}" "$1"
}
# The panels repeat their picture in both directions: light, darker, light again, so the edges meet.
tile() { # file width height edge-colour middle-colour
    convert -seed 7 -size "$2x$(($3 / 2))" "gradient:$4-$5" \( +clone -flip \) -append \
        \( -size "$2x$3" xc:gray50 +noise Gaussian -colorspace Gray \) "${grain[@]}" "$1"
}

picture grey.jpg 170 170 '#f4f4f2' '#dcdcda'
tile yellow.jpg 240 150 '#fffbe8' '#fcf3d0'
picture white.jpg 350 233 '#ffffff' '#f3f5f7'
picture blue.jpg 350 350 '#e9f2fb' '#dce9f7'
picture yellow1.jpg 350 280 '#fff8d8' '#f5e6a0'
picture red.jpg 220 220 '#fdeaea' '#f3bcbc'

# The window icon: a radio mast sending waves, on a blue rounded square. One 32x32 image with an
# 8-bit palette, which is what the icon format's 256-colour entry holds.
convert -size 32x32 xc:none \
    -fill '#2f6fb3' -draw 'roundrectangle 0,0 31,31 6,6' \
    -stroke white -strokewidth 2 -fill none \
    -draw 'arc 8,8 24,24 200,340' -draw 'arc 4,4 28,28 205,335' \
    -draw 'line 16,16 16,27' -draw 'line 11,27 21,27' \
    -stroke none -fill white -draw 'circle 16,16 16,18' \
    -background '#ffffff' -alpha remove -alpha off \
    -colors 256 -type Palette talven.ico

# The same icon for the desktop's icon theme.
convert 'talven.ico[0]' -strip PNG32:../packaging/talven.png
