#!/usr/bin/env python3
"""Makes samples/sample.jpg, the picture of the README demo: a panel-sized (1872 x 1404)
composition of soft colour gradients, discs and a 16-step grey ramp, kept under 100 KB.

Needs Pillow (Debian: python3-pil). Run from the repository root:
    /usr/bin/python3 scripts/make_sample.py
"""
import sys

from PIL import Image, ImageDraw, ImageFilter

W, H = 1872, 1404
OUT = sys.argv[1] if len(sys.argv) > 1 else "samples/sample.jpg"

# Background: a vertical and a horizontal ramp in different channels.
v = Image.linear_gradient("L").resize((W, H))
h = v.transpose(Image.Transpose.ROTATE_90).resize((W, H))
picture = Image.merge("RGB", (h, v.point(lambda x: 255 - x // 2), Image.new("L", (W, H), 180)))

draw = ImageDraw.Draw(picture)
# Discs in colours whose greys differ clearly.
for i, (cx, cy, r, colour) in enumerate([
        (520, 560, 330, (230, 60, 40)),
        (1000, 640, 260, (40, 170, 70)),
        (1420, 520, 300, (50, 80, 220)),
]):
    draw.ellipse((cx - r, cy - r, cx + r, cy + r), fill=colour, outline=(255, 255, 255), width=12)
picture = picture.filter(ImageFilter.GaussianBlur(3))

# A 16-step grey ramp along the bottom, sharp-edged, for judging the panel's levels.
draw = ImageDraw.Draw(picture)
step = W // 16
for k in range(16):
    g = k * 17
    draw.rectangle((k * step, H - 220, (k + 1) * step - 1, H - 1), fill=(g, g, g))

picture.save(OUT, quality=80, optimize=True, subsampling=2)
print(OUT)
