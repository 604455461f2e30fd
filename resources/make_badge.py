#!/usr/bin/python3
"""Draws the scanning badge and writes resources/badge.png beside this script.

The build does not run this: badge.png is kept in the repository and
embedded as it is. Run it again only to change the picture.

Needs Debian's python3-pil (Pillow) and fonts-dejavu-core (the caption's
font). Usage: resources/make_badge.py [OUTPUT.png]

The picture: 120 x 120, a square with rounded corners filled with black at
alpha 179, the emblem (a ring holding a pulse-shaped waveform) and the white
caption "Scanning..." (with a real ellipsis) under it. Every shape is drawn
as a coverage mask at eight times the size and reduced with a box filter, so
that each edge pixel's alpha is the share of the pixel the shape covers.
Saved as 8-bit RGBA, not interlaced, with an sRGB chunk, so that the decoder
applies no gamma of its own.
"""

import math
import os
import sys

from PIL import Image, ImageDraw, ImageFont
from PIL.PngImagePlugin import PngInfo

SIZE = 120
SCALE = 8  # supersampling factor of the coverage masks
BIG = SIZE * SCALE

CORNER_RADIUS = 16
BODY_ALPHA = 179  # black at 70 %: the desktop shows through a little

EMBLEM_CENTRE = (60, 47)
RING_OUTER = 31
RING_INNER = 26.5
WAVE_HALF_WIDTH = 21  # the waveform stays clear of the ring
WAVE_AMPLITUDE = 15
WAVE_STROKE = 3.5
ACCENT = (64, 196, 255)  # the waveform's light blue

CAPTION = "Scanning\u2026"
CAPTION_FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"
CAPTION_SIZE = 14
CAPTION_BASELINE = 104


def scaled(value):
    return value * SCALE


def new_mask():
    return Image.new("L", (BIG, BIG), 0)


def reduce(mask):
    # A box filter over each 8 x 8 block is the exact area coverage.
    return mask.resize((SIZE, SIZE), Image.BOX)


def body_mask():
    mask = new_mask()
    ImageDraw.Draw(mask).rounded_rectangle(
        (0, 0, BIG - 1, BIG - 1), radius=scaled(CORNER_RADIUS), fill=255)
    return reduce(mask)


def ring_mask():
    mask = new_mask()
    draw = ImageDraw.Draw(mask)
    cx, cy = (scaled(v) for v in EMBLEM_CENTRE)
    outer, inner = scaled(RING_OUTER), scaled(RING_INNER)
    draw.ellipse((cx - outer, cy - outer, cx + outer, cy + outer), fill=255)
    draw.ellipse((cx - inner, cy - inner, cx + inner, cy + inner), fill=0)
    return reduce(mask)


def wave_points():
    # A sine of three periods under a bell-shaped envelope: quiet at both
    # ends, loudest in the middle, like one pulse of sound.
    cx, cy = EMBLEM_CENTRE
    points = []
    steps = 240
    for i in range(steps + 1):
        t = i / steps * 2 - 1  # -1 .. 1 across the waveform
        envelope = math.exp(-(t * 1.9) ** 2)
        y = -WAVE_AMPLITUDE * envelope * math.sin(t * 3 * math.pi)
        points.append((scaled(cx + t * WAVE_HALF_WIDTH), scaled(cy + y)))
    return points


def wave_mask():
    mask = new_mask()
    draw = ImageDraw.Draw(mask)
    points = wave_points()
    stroke = scaled(WAVE_STROKE)
    draw.line(points, fill=255, width=round(stroke), joint="curve")
    for x, y in (points[0], points[-1]):  # round caps
        r = stroke / 2
        draw.ellipse((x - r, y - r, x + r, y + r), fill=255)
    return reduce(mask)


def caption_mask():
    mask = new_mask()
    font = ImageFont.truetype(CAPTION_FONT, scaled(CAPTION_SIZE))
    ImageDraw.Draw(mask).text(
        (scaled(SIZE / 2), scaled(CAPTION_BASELINE)), CAPTION, font=font,
        fill=255, anchor="ms")
    return reduce(mask)


def layer(colour, coverage, alpha=255):
    """A flat colour whose alpha is the coverage (scaled by alpha)."""
    image = Image.new("RGBA", (SIZE, SIZE), colour + (0,))
    if alpha != 255:
        coverage = coverage.point(lambda c: round(c * alpha / 255))
    image.putalpha(coverage)
    return image


def draw_badge():
    badge = layer((0, 0, 0), body_mask(), BODY_ALPHA)
    badge = Image.alpha_composite(badge, layer((255, 255, 255), ring_mask()))
    badge = Image.alpha_composite(badge, layer(ACCENT, wave_mask()))
    badge = Image.alpha_composite(badge, layer((255, 255, 255), caption_mask()))
    return badge


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    output = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "badge.png")
    info = PngInfo()
    info.add(b"sRGB", b"\x00")  # rendering intent: perceptual
    draw_badge().save(output, "PNG", pnginfo=info, optimize=True)


if __name__ == "__main__":
    main()
