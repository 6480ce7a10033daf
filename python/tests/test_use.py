"""The package as programs use it: fits for a frame, pictures upright, every Pillow mode,
Ctrl-C while waiting for the controller, the image library, and the object's manners."""
from __future__ import annotations

import fcntl
import importlib.metadata
import os
import select
import signal
import subprocess
import sys
import time

import numpy as np
import pytest
from PIL import Image, ImageOps

import qp7730
from conftest import IMAGE_BUFFER
from test_controller import H, W, colours, frame


def test_a_clear_grey_leaves_nothing_of_the_picture_before(tmp_path, emulator):
    with qp7730.Controller(emulator.socket) as panel:
        panel.show(colours(W, H))
        area = panel.show(np.full((30, 40), 7, np.uint8), 10, 20, clear=0xC0)
    assert area == (0, 0, W, H)
    got = frame(emulator).copy()
    assert (got[20:50, 10:50] == 7).all()
    got[20:50, 10:50] = 0xC0
    assert (got == 0xC0).all()


def panel_frame(emu, width: int, height: int) -> np.ndarray:
    return np.frombuffer(emu.read_memory(IMAGE_BUFFER, width * height), np.uint8).reshape(height, width)


def test_contain_fills_the_rest_of_its_box(tmp_path, emulator):
    Image.fromarray(colours(400, 100), "RGB").save(tmp_path / "wide.bmp")
    with qp7730.Controller(emulator.socket) as panel:
        panel.fill(0, 0, W, H, 0x33)
        assert panel.show(tmp_path / "wide.bmp", 20, 0, fit="contain", width=100) == (20, 0, 100, H)
    # 400 x 100 in a box of 100 x 150 at (20, 0): 100 x 25 at (20, 62), white above and below.
    got = frame(emulator)
    assert (got[:62, 20:120] == 255).all() and (got[87:, 20:120] == 255).all()
    assert (got[:, :20] == 0x33).all() and (got[:, 120:] == 0x33).all()
    assert len(np.unique(got[62:87, 20:120])) > 10


# Orientation 1 to 8 of a 30 x 20 grey PNG, each placed side by side, against Pillow's
# own turning of the same pictures.
def test_orient_turns_files_and_pillow_images_as_pillow_does(tmp_path, make_emulator):
    grey = (np.arange(20 * 30, dtype=np.uint32).reshape(20, 30) * 7 % 251).astype(np.uint8)
    pictures = []
    for orientation in range(1, 9):
        image = Image.fromarray(grey, "L")
        exif = image.getexif()
        exif[0x0112] = orientation
        path = tmp_path / f"o{orientation}.png"
        image.save(path, exif=exif)
        pictures.append(path)
    by_package = make_emulator("package", "--width", "260", "--height", str(H))
    with qp7730.Controller(by_package.socket) as panel:
        for i, path in enumerate(pictures):
            assert panel.load(path, 32 * i, 0, orient=True)[2:] == ((30, 20) if i < 4 else (20, 30))
            panel.load(Image.open(path), 32 * i, 40, orient=True)
            panel.load(path.read_bytes(), 32 * i, 80, orient=True)
            panel.load(path, 32 * i, 120)  # not asked: as stored
    reference = make_emulator("reference", "--width", "260", "--height", str(H))
    with qp7730.Controller(reference.socket) as panel:
        for i, path in enumerate(pictures):
            upright = np.asarray(ImageOps.exif_transpose(Image.open(path)))
            for y in (0, 40, 80):
                panel.load_pixels(upright, 32 * i, y)
            panel.load_pixels(grey, 32 * i, 120)
    assert np.array_equal(panel_frame(by_package, 260, H), panel_frame(reference, 260, H))


def pillow_modes(tmp_path):
    """(name, the picture as Pillow gives it, what it must show as: a path the library
    decodes itself, or an array of the expected grey)."""
    ramp16 = (np.arange(64 * 48, dtype=np.uint32).reshape(48, 64) * 21 % 65536).astype(np.uint16)
    png16 = tmp_path / "grey16.png"
    Image.fromarray(ramp16).save(png16)
    grey = (np.arange(48 * 64).reshape(48, 64) % 256).astype(np.uint8)
    rgba = np.zeros((48, 64, 4), np.uint8)
    rgba[..., 0] = 200
    rgba[:, 32:, 3] = 255  # left half transparent
    over_white = np.where(np.arange(64) < 32, 255, 60).astype(np.uint8)[None, :].repeat(48, 0)  # red 200: grey 60
    la = Image.fromarray(np.stack([grey, np.where(grey < 128, 0, 255).astype(np.uint8)], -1), "LA")
    la_seen = np.where(grey < 128, 255, grey).astype(np.uint8)
    palette = Image.fromarray(grey, "L").convert("P")
    palette.info["transparency"] = 0
    palette_seen = np.where(grey == 0, 255, grey).astype(np.uint8)
    return [
        ("I;16", Image.fromarray(ramp16), png16),
        ("I", Image.open(png16).convert("I"), png16),
        ("F", Image.fromarray(grey, "L").convert("F"), grey),
        ("1", Image.fromarray(grey, "L").convert("1", dither=Image.Dither.NONE), np.where(grey < 128, 0, 255)),
        ("RGBA over white", Image.fromarray(rgba, "RGBA"), over_white),
        ("LA over white", la, la_seen),
        ("P with transparency", palette, palette_seen),
        ("CMYK", Image.fromarray(grey, "L").convert("RGB").convert("CMYK"), grey),
        ("YCbCr", Image.fromarray(np.stack([grey] * 3, -1), "RGB").convert("YCbCr"), None),
        ("RGBX", Image.fromarray(np.stack([grey] * 3 + [np.zeros_like(grey)], -1), "RGBA").convert("RGBX"), grey),
    ]


def test_every_pillow_mode_shows_the_colours_it_stands_for(tmp_path, make_emulator):
    for name, image, expected in pillow_modes(tmp_path):
        emu = make_emulator(name.replace(" ", "_").replace(";", ""), "--width", "64", "--height", "48")
        with qp7730.Controller(emu.socket) as panel:
            panel.load(image)
        got = panel_frame(emu, 64, 48)
        if expected is None:  # through Pillow's own conversion: close to the grey it holds
            expected = np.asarray(image.convert("L"))
            assert np.abs(got.astype(int) - expected).max() <= 2, name
            continue
        if isinstance(expected, os.PathLike):
            ref = make_emulator(name.replace(";", "") + "_file", "--width", "64", "--height", "48")
            with qp7730.Controller(ref.socket) as panel:
                panel.load(expected)
            expected = panel_frame(ref, 64, 48)
        assert np.array_equal(got, np.asarray(expected, np.uint8)), name


def test_ctrl_c_ends_the_wait_for_the_lock_at_once_and_holds_nothing(emulator):
    code = (
        "import signal, sys, time, qp7730\n"
        "signal.signal(signal.SIGINT, signal.default_int_handler)  # even when started in the background\n"
        "try:\n"
        "    qp7730.Controller(sys.argv[1], lock_wait=30)\n"
        "except KeyboardInterrupt:\n"
        "    print('interrupted', flush=True)\n"
        "sys.stdin.readline()\n"
        "with qp7730.Controller(sys.argv[1], lock_wait=0) as panel:\n"
        "    panel.fill(0, 0, 1, 1, 0x66)\n"
        "print('reopened', flush=True)\n"
    )
    with open(emulator.socket + ".run-lock", "r+b") as held:
        fcntl.flock(held, fcntl.LOCK_EX | fcntl.LOCK_NB)  # as another program holds it
        child = subprocess.Popen([sys.executable, "-c", code, emulator.socket], stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, text=True)
        try:
            # It waits for the lock once it has identified the controller.
            deadline = time.monotonic() + 10
            while not emulator.commands() and time.monotonic() < deadline:
                time.sleep(0.005)
            asked = time.monotonic()
            child.send_signal(signal.SIGINT)
            ready, _, _ = select.select([child.stdout], [], [], 5)
            line = child.stdout.readline() if ready else ""
            waited = time.monotonic() - asked
        finally:
            fcntl.flock(held, fcntl.LOCK_UN)
        try:
            child.stdin.write("\n")
            child.stdin.flush()
            rest = child.communicate(timeout=30)[0]
        finally:
            child.kill()
    assert line == "interrupted\n"
    assert waited < 0.5, waited
    assert rest == "reopened\n"
    assert frame(emulator)[0, 0] == 0x66


def test_image_library_lists_and_loads_where_asked(make_emulator):
    emu = make_emulator("library", "--width", "800", "--height", "600")
    with qp7730.Controller(emu.socket) as panel:
        stored = panel.library_list()
        panel.fill(0, 0, 800, 600, 0x5A)
        panel.library_load(1, 0, 100)
        panel.library_load_many([(3, 500, 300)])
        with pytest.raises(qp7730.CommandError):
            panel.library_load(9)
    assert [(p.index, p.width, p.height) for p in stored] == [(0, 800, 480), (1, 400, 400), (2, 640, 480),
                                                               (3, 256, 256)]
    got = panel_frame(emu, 800, 600)
    placed = np.zeros_like(got, bool)
    placed[100:500, 0:400] = placed[300:556, 500:756] = True
    assert (got[~placed] == 0x5A).all()
    assert (got[100:500, 0:400] != 0x5A).any() and (got[300:556, 500:756] != 0x5A).any()


def test_grey_pixels_load_as_they_are(emulator):
    rng = np.random.default_rng(9)
    grey = rng.integers(0, 256, (20, 30), dtype=np.uint8)
    with qp7730.Controller(emulator.socket) as panel:
        assert panel.load_pixels(grey, 5, 6) == (5, 6, 30, 20)
        assert panel.load_pixels(Image.fromarray(grey, "L"), 50, 6) == (50, 6, 30, 20)
        with pytest.raises(TypeError):
            panel.load_pixels(colours(4, 4))
    got = frame(emulator)
    assert np.array_equal(got[6:26, 5:35], grey) and np.array_equal(got[6:26, 50:80], grey)


def test_version_repr_and_with_on_a_closed_controller(emulator):
    assert qp7730.__version__ == importlib.metadata.version("qp7730")
    panel = qp7730.Controller(emulator.socket)
    assert repr(panel) == f"<qp7730.Controller 'emulator {emulator.socket}' {W}x{H} open>"
    assert panel.display_modes == 5
    panel.close()
    assert repr(panel).endswith(" closed>")
    with pytest.raises(ValueError, match="closed controller"):
        with panel:
            pass
