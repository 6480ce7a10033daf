#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into OUT/<target>/ (one file per seed)."""
import os
import struct
import sys
import zlib


def bmp(width, height, bpp, pixels=None, palette=None, compression=0, top_down=False):
    row = (width * bpp + 31) // 32 * 4
    if pixels is None:
        pixels = bytes((x * 37 + y * 11) & 0xFF for y in range(height) for x in range(row))
    if palette is None and bpp <= 8:
        palette = b"".join(bytes((i, i, i, 0)) for i in range(0, 256, 256 >> bpp))
    palette = palette or b""
    offset = 14 + 40 + len(palette)
    info = struct.pack("<IiiHHIIiiII", 40, width, -height if top_down else height, 1, bpp, compression,
                       len(pixels), 2835, 2835, len(palette) // 4, 0)
    return b"BM" + struct.pack("<IHHI", offset + len(pixels), 0, 0, offset) + info + palette + pixels


def png(width, height):
    raw = b"".join(b"\0" + bytes((x * 16 + y) & 0xFF for x in range(width)) for y in range(height))
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


def pillow_seeds():
    """GIF and TIFF seeds of several layouts and codecs, written by Pillow (python3-pil)."""
    try:
        from PIL import Image
    except ImportError:
        return {}, {}
    import io

    def save(img, fmt, **kw):
        out = io.BytesIO()
        img.save(out, fmt, **kw)
        return out.getvalue()

    grad = Image.linear_gradient("L").resize((19, 11))
    rgb = Image.merge("RGB", (grad, grad.transpose(Image.Transpose.FLIP_LEFT_RIGHT), grad.rotate(180)))
    pal = rgb.quantize(16)
    gifs = {"gif": save(pal, "GIF"), "gif_interlaced": save(pal, "GIF", interlace=True),
            "gif_transparent": save(pal, "GIF", transparency=3),
            "gif_two_frames": save(pal, "GIF", save_all=True, append_images=[grad.convert("P")])}
    tiffs = {"tiff_grey": save(grad, "TIFF"), "tiff_bilevel_fax": save(grad.convert("1"), "TIFF", compression="group4"),
             "tiff_grey16_lzw": save(grad.convert("I;16"), "TIFF", compression="tiff_lzw"),
             "tiff_rgb_deflate": save(rgb, "TIFF", compression="tiff_adobe_deflate"),
             "tiff_rgba_packbits": save(rgb.convert("RGBA"), "TIFF", compression="packbits"),
             "tiff_cmyk": save(rgb.convert("CMYK"), "TIFF"), "tiff_palette": save(pal, "TIFF"),
             "tiff_jpeg": save(rgb, "TIFF", compression="jpeg"), "tiff_ycbcr": save(rgb.convert("YCbCr"), "TIFF")}
    return gifs, tiffs


def pictures(root):
    seeds = {
        "bmp1": bmp(9, 5, 1), "bmp4": bmp(7, 3, 4), "bmp8": bmp(5, 4, 8), "bmp8_topdown": bmp(5, 4, 8, top_down=True),
        "bmp16": bmp(6, 3, 16), "bmp24": bmp(4, 4, 24), "bmp32": bmp(3, 2, 32),
        "bmp_rle8": bmp(4, 2, 8, pixels=bytes([4, 7, 0, 0, 2, 9, 0, 3, 1, 2, 3, 0, 0, 1]), compression=1),
        "bmp_big": bmp(130, 90, 8),
        "png": png(8, 8),
    }
    sample = os.path.join(root, "samples", "sample.jpg")
    if os.path.exists(sample):
        with open(sample, "rb") as f:
            seeds["jpeg"] = f.read()
    gifs, tiffs = pillow_seeds()
    seeds.update(gifs)
    seeds.update(tiffs)
    return seeds


def main():
    out = sys.argv[1]
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    pics = pictures(root)
    header = b"QPXEPD7730_A0100"
    cbw = lambda tag, length, flags, cdb: (struct.pack("<IIIBBB", 0x43425355, tag, length, flags, 0, 16) +
                                           cdb.ljust(16, b"\0"))
    inquiry = cbw(1, 40, 0x80, bytes([0x12, 0, 0, 0, 40]))
    sysinfo = cbw(2, 120, 0x80, bytes([0xFE, 0, ord("7"), ord("7"), ord("3"), ord("0"), 0x80, 0, 1, 0, 2]))
    write = cbw(3, 8, 0, bytes([0xFE, 0, 0, 0, 0x10, 0, 0x82, 0, 8]))
    csw = struct.pack("<IIIB", 0x53425355, 0x77307740, 0, 0)
    session = [inquiry, sysinfo, write, bytes(range(8)), cbw(4, 16, 0x80, bytes([0xFE, 0, 0, 0, 0x10, 0, 0x81, 0, 16]))]
    packets = lambda msgs: b"".join(struct.pack("<H", len(m)) + m for m in msgs)
    frames = lambda msgs: b"".join(struct.pack("<I", len(m)) + m for m in msgs)
    corpus = {
        "fuzz_bmp": {k: v for k, v in pics.items() if k.startswith("bmp")},
        "fuzz_load_image": pics,
        "fuzz_gif": {k: v for k, v in pics.items() if k.startswith("gif")},
        "fuzz_tiff": {k: v for k, v in pics.items() if k.startswith("tiff")},
        # step 0 builds a wrapper, 1 sends raw bytes, 2 and 4 read, 3 stalls
        # the last byte picks the view (odd: USB, even: the socket)
        "fuzz_emu_device": {name + view: data + last for name, data in {
            "raw_inquiry": b"\x01\x1f" + inquiry + b"\x02\x28\x00\x04",
            "raw_sysinfo": b"\x01\x1f" + sysinfo + b"\x02\x78\x00\x04",
            "raw_write": b"\x01\x1f" + write + b"\x01\x08" + bytes(8) + b"\x04",
            "stall": b"\x01\x1f" + write + b"\x03\x04"}.items()
            for view, last in (("_usb", b"\x01"), ("_socket", b"\x00"))},
        # form and fault count, (kind, command) per fault, exit-after, then the messages
        "fuzz_emu_socket": {"packets": b"\x00\x00" + packets(session), "tcp": b"\x01\x00" + frames(session),
                            "short_data": b"\x02\x03\x03\x00" + packets(session),
                            "no_answer_tcp": b"\x03\x02\x02\x00" + frames(session),
                            "exit_after": b"\x00\x02" + packets(session)},
        "fuzz_bulk_only": {"status": b"\x01" + b"\x01\x0d" + csw + b"\x00\x00",
                           "data_then_status": b"\x02\x00\x28" + bytes(40) + b"\x01\x0d" + csw + b"\x00\x01\x01\x28",
                           "empty": b""},
        "fuzz_dispatcher": {name: b"\0".join(words) for name, words in {
            "version": [b"-version"], "engine": [b"0xAD"], "lowspeed": [b"0xAC"], "readmem": [b"0x81"],
            "readflash": [b"0x97"], "load": [b"-load", b"a.bmp"], "fill": [b"-load", b"80", b"1", b"2", b"30", b"20"],
            "display": [b"-display", b"-wait", b"0", b"0", b"64", b"48", b"2"],
            "htfy": [b"-HTFY", b"0", b"0", b"64", b"48", b"2", b"1"], "fw": [b"-upgrade", b"1", b"f.bin"],
            "wf": [b"-upgrade", b"2", b"w.wbf"], "pmic0": [b"-pmic", b"0", b"1500"], "pmic1": [b"-pmic", b"1", b"1"],
            "pmic2": [b"-pmic", b"2", b"1500", b"1"], "none": [b"-nothing"]}.items()},
        "fuzz_upgrade": {"fw": b"\x02" + header + bytes(range(256)) * 3, "fw_bad_header": b"\x02" + b"X" * 40,
                         "wf": b"\x01" + bytes(range(200)), "wf_none": b"\x05" + bytes(10),
                         "wf_at_zero": b"\x0d" + header + bytes(300), "empty_fw": b"\x02"},
    }
    for target, seeds in corpus.items():
        d = os.path.join(out, target)
        os.makedirs(d, exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(d, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
