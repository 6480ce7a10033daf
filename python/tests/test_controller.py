"""The Python package against a real qp7730-emu: pictures land as the tool's -load puts
them, arrays land where they are asked to, every refusal raises its error and sends
nothing, and the upgrade reports its progress."""
from __future__ import annotations

import fcntl
import io
import os
import re
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest
from PIL import Image

import qp7730
from conftest import IMAGE_BUFFER, ROOT, run_tool

W, H = 200, 150


def frame(emu) -> np.ndarray:
    return np.frombuffer(emu.read_memory(IMAGE_BUFFER, W * H), dtype=np.uint8).reshape(H, W)


def colours(width: int, height: int, seed: int = 7) -> np.ndarray:
    """A picture with smooth gradients and noise, so that fitting and grey both matter."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width]
    rgb = np.stack([x * 255 // max(width - 1, 1), y * 255 // max(height - 1, 1), (x + y) % 256], axis=-1)
    return (rgb + rng.integers(0, 40, rgb.shape)).clip(0, 255).astype(np.uint8)


# name, size, how the library gets the picture
PICTURES = [
    ("larger.bmp", (480, 310), "path"),
    ("smaller.bmp", (120, 90), "path"),
    ("larger.jpg", (640, 420), "path"),
    ("smaller.jpg", (150, 100), "path"),
    ("larger.bmp", (480, 310), "pillow"),
    ("smaller.bmp", (120, 90), "pillow"),
    ("larger.bmp", (480, 310), "array"),
    ("smaller.bmp", (120, 90), "array"),
    ("larger.jpg", (640, 420), "bytes"),
    ("smaller.bmp", (120, 90), "memoryview"),
    ("larger.bmp", (480, 310), "bytesio"),
    ("smaller.jpg", (150, 100), "file"),
]


def given_as(given: str, path: Path, pixels: np.ndarray):
    """The picture in `path` in the form a caller hands it over."""
    if given == "path":
        return str(path)
    if given == "pillow":
        return Image.open(path)
    if given == "array":
        return pixels
    if given == "bytes":
        return path.read_bytes()
    if given == "memoryview":
        return memoryview(bytearray(path.read_bytes()))
    if given == "bytesio":
        return io.BytesIO(path.read_bytes())
    return open(path, "rb")


@pytest.mark.parametrize("name,size,given", PICTURES, ids=[f"{p[2]}-{p[0]}" for p in PICTURES])
def test_shown_picture_is_what_the_tool_loads(tmp_path, make_emulator, name, size, given):
    pixels = colours(*size)
    path = tmp_path / name
    Image.fromarray(pixels, "RGB").save(path, quality=90)
    by_tool = make_emulator("tool", "--width", str(W), "--height", str(H))
    assert run_tool(by_tool, "-load", str(path)).returncode == 0
    by_library = make_emulator("library", "--width", str(W), "--height", str(H))

    picture = given_as(given, path, pixels)
    with qp7730.Controller(by_library.socket) as panel:
        area = panel.show(picture, mode=2)
    if given == "file":
        picture.close()

    assert area == (0, 0, min(size[0], W), min(size[1], H))
    assert by_library.commands()[-1]["cmd"] == "0x94"
    assert np.array_equal(frame(by_library), frame(by_tool))


def test_grey_array_lands_exactly_at_x_y(emulator):
    rng = np.random.default_rng(3)
    wide = rng.integers(1, 256, (40, 90), dtype=np.uint8)
    cases = [
        (wide[:20, :30], 17, 9),        # rows 90 bytes apart
        (wide[:25, ::3], 120, 60),      # pixels not side by side
        (np.ascontiguousarray(wide[:10, :10]), 0, 0),
    ]
    with qp7730.Controller(emulator.socket) as panel:
        for array, x, y in cases:
            assert panel.load(array, x, y) == (x, y, array.shape[1], array.shape[0])
    got = frame(emulator)
    expected = np.zeros((H, W), dtype=np.uint8)
    for array, x, y in cases:
        expected[y : y + array.shape[0], x : x + array.shape[1]] = array
    assert np.array_equal(got, expected)


def test_array_past_the_edge_is_cut_there(emulator):
    array = np.full((30, 40), 0x55, dtype=np.uint8)
    with qp7730.Controller(emulator.socket) as panel:
        assert panel.show(array, x=W - 15, y=H - 10) == (W - 15, H - 10, 15, 10)
        assert panel.show(array, x=W, y=0) == (W, 0, 0, 0)  # nothing on the panel, nothing shown
    got = frame(emulator)
    assert (got[H - 10 :, W - 15 :] == 0x55).all()
    assert got.sum() == 0x55 * 15 * 10  # nothing wrapped onto the next rows


def test_info_is_what_the_controller_reported(emulator):
    with qp7730.Controller(emulator.socket) as panel:
        info = panel.info
    assert (info.panel_width, info.panel_height) == (W, H)
    assert info.image_buffer_address == IMAGE_BUFFER
    assert info.waveform_address == 0x200000
    assert (info.firmware_version, info.lut_version) == ("FW 1.02 emu", "QP7730-LUT-EMU01")
    assert info.location == "emulator " + emulator.socket


def test_reading_the_versions_leaves_the_image_buffer_as_it_was(emulator):
    marks = np.arange(W, dtype=np.uint8).reshape(1, W)
    with qp7730.Controller(emulator.socket) as panel:
        panel.load(marks)
    with qp7730.Controller(emulator.socket):
        pass
    assert np.array_equal(frame(emulator)[0], marks[0])


def test_power_sends_what_the_tool_sends(make_emulator):
    by_tool = make_emulator("tool")
    assert run_tool(by_tool, "-pmic", "2", "1234", "1").returncode == 0
    by_library = make_emulator("library")
    with qp7730.Controller(by_library.socket) as panel:
        assert panel.power(on=True, vcom=1234) == 1234
        assert panel.power(vcom=1500) == 1500
    tool_pmic = [c for c in by_tool.commands() if c["cmd"] == "0xA3"]
    library_pmic = [c for c in by_library.commands() if c["cmd"] == "0xA3"]
    assert library_pmic[0]["cdb"] == tool_pmic[0]["cdb"]
    assert len(library_pmic) == 2


def firmware(tmp_path: Path, body: bytes = b"") -> Path:
    path = tmp_path / "new.bin"
    path.write_bytes(b"QPXEPD7730_A0100" + body)
    return path


def test_upgrade_reports_progress_and_writes_the_waveform(tmp_path, emulator):
    data = bytes(np.random.default_rng(5).integers(0, 256, 100_000, dtype=np.uint8))
    path = tmp_path / "new.wbf"
    path.write_bytes(data)
    seen = []
    with qp7730.Controller(emulator.socket) as panel:
        panel.upgrade(path, progress=lambda phase, done, total: seen.append((phase, done, total)))
    assert [s for s in seen if s[0] == "verify"][-1] == ("verify", len(data), len(data))
    assert {s[0] for s in seen} == {"erase", "write", "verify"}
    assert emulator.flash.read_bytes()[0x200000 : 0x200000 + len(data)] == data


def test_an_exception_in_the_progress_callback_comes_out_after_the_upgrade(tmp_path, emulator):
    def stop(phase, done, total):
        raise KeyboardInterrupt

    with qp7730.Controller(emulator.socket) as panel:
        with pytest.raises(KeyboardInterrupt):
            panel.upgrade(firmware(tmp_path, bytes(1000)), progress=stop)
        panel.fill(0, 0, 4, 4, 0x20)  # the controller is still usable


def test_ctrl_c_during_the_upgrade_comes_once_it_is_done(tmp_path, emulator):
    data = bytes(np.random.default_rng(6).integers(0, 256, 100_000, dtype=np.uint8))
    path = tmp_path / "new.wbf"
    path.write_bytes(data)
    phases = []

    def interrupt(phase, done, total):
        if not phases:
            os.kill(os.getpid(), signal.SIGINT)
        phases.append(phase)

    # Python raises KeyboardInterrupt only where SIGINT has its handler, which a shell takes
    # away from the programs it starts in the background.
    before = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        with qp7730.Controller(emulator.socket) as panel:
            with pytest.raises(KeyboardInterrupt):
                panel.upgrade(path, progress=interrupt)
    finally:
        signal.signal(signal.SIGINT, before)
    assert phases[-1] == "verify"  # every callback ran: nothing was raised inside them
    assert emulator.flash.read_bytes()[0x200000 : 0x200000 + len(data)] == data


def test_a_call_from_the_progress_callback_is_refused(tmp_path, emulator):
    codes = []

    def meddle(phase, done, total):
        try:
            panel.fill(0, 0, 1, 1, 0)
        except qp7730.BusyError as error:
            codes.append(error.code)

    with qp7730.Controller(emulator.socket) as panel:
        panel.upgrade(firmware(tmp_path, bytes(1000)), progress=meddle)
    assert codes and set(codes) == {-3}


# Each refusal: what is asked, the error it raises with its code, and a word of its message.
REFUSALS = [
    ("missing file", lambda c, d: c.show(d / "missing.bmp"), qp7730.FileError, -5,
     "missing.bmp: cannot open the file: No such file or directory (ENOENT, 2)"),
    ("not a picture", lambda c, d: c.show(d / "text.bmp"), qp7730.PictureError, -6, "not a BMP, JPEG or PNG picture"),
    ("bytes of no picture", lambda c, d: c.show(b"GIF89a"), qp7730.PictureError, -6, "the picture's 6 bytes"),
    ("text file object", lambda c, d: c.show(open(d / "text.bmp")), TypeError, None, "binary mode"),
    ("negative corner", lambda c, d: c.display(-1, 0, 10, 10), qp7730.ArgumentError, -1, "negative"),
    ("empty display", lambda c, d: c.display(0, 0, 0, 10), qp7730.ArgumentError, -1, "Too tiny"),
    ("negative mode", lambda c, d: c.display(0, 0, 10, 10, mode=-2), qp7730.ArgumentError, -1, "negative"),
    ("empty fill", lambda c, d: c.fill(5, 5, 10, 0, 0x80), qp7730.ArgumentError, -1, "Too tiny"),
    ("negative load", lambda c, d: c.load(np.zeros((2, 2), np.uint8), -1, 0), qp7730.ArgumentError, -1, "negative"),
    ("upgrade type", lambda c, d: c.upgrade(firmware(d), kind=3), qp7730.ArgumentError, -1, "Unknown upgrade type"),
    ("firmware header", lambda c, d: c.upgrade(d / "text.bin"), qp7730.FileRefusedError, -7, "Wrong FW Header"),
    ("firmware name", lambda c, d: c.upgrade(d / "text.wbf", kind=1), qp7730.FileRefusedError, -7, ".bin"),
    ("missing upgrade", lambda c, d: c.upgrade(d / "missing.wbf"), qp7730.FileError, -5, "Open file failed"),
    ("power", lambda c, d: c.power(), qp7730.ArgumentError, -1, "neither"),
    # Whole numbers in the range of their C type, or the parameter is named.
    ("x past 32 bits", lambda c, d: c.fill(2**32 + 100, 0, 2**32 + 50, 50, 0), qp7730.ArgumentError, -1, "x = "),
    ("width past 32 bits", lambda c, d: c.display(0, 0, 2**31, 10), qp7730.ArgumentError, -1, "width = "),
    ("float x", lambda c, d: c.fill(1.5, 0, 1, 1, 0), qp7730.ArgumentError, -1, "x is a whole number"),
    ("float mode", lambda c, d: c.display(0, 0, 4, 4, mode=2.0), qp7730.ArgumentError, -1, "mode is a whole"),
    ("grey", lambda c, d: c.fill(0, 0, 1, 1, 256), qp7730.ArgumentError, -1, "grey = 256"),
    ("load x", lambda c, d: c.load(np.zeros((2, 2), np.uint8), x=2**40), qp7730.ArgumentError, -1, "x = "),
    ("vcom", lambda c, d: c.power(vcom=2**32 + 5), qp7730.ArgumentError, -1, "vcom = "),
    ("library index", lambda c, d: c.library_load(70000), qp7730.ArgumentError, -1, "index = 70000"),
    ("fit", lambda c, d: c.load(np.zeros((2, 2), np.uint8), fit="fill"), qp7730.ArgumentError, -1, "fit is one"),
    ("clear", lambda c, d: c.load(np.zeros((2, 2), np.uint8), clear=300), qp7730.ArgumentError, -1, "clear = 300"),
    ("groups", lambda c, d: c.library_load_many([(1, 2)]), qp7730.ArgumentError, -1, "groups[0]"),
    # Display modes the controller has (qp7730-emu: 16), and refreshes with a pixel on the panel.
    ("mode 5", lambda c, d: c.display(0, 0, 4, 4, mode=5), qp7730.ArgumentError, -1, "modes 0 to 4"),
    ("mode 99", lambda c, d: c.display(0, 0, 4, 4, mode=99), qp7730.ArgumentError, -1, "modes 0 to 4"),
    ("off the panel", lambda c, d: c.display(W, 0, 4, 4), qp7730.ArgumentError, -1, "no pixel on the panel"),
]


@pytest.mark.parametrize("name,ask,error,code,word", REFUSALS, ids=[r[0] for r in REFUSALS])
def test_refusal_raises_its_error_and_sends_nothing(tmp_path, emulator, name, ask, error, code, word):
    for text in ("text.bmp", "text.bin", "text.wbf"):
        (tmp_path / text).write_text("not what it claims to be\n")
    with qp7730.Controller(emulator.socket) as panel:
        before = len(emulator.commands())
        with pytest.raises(error) as raised:
            ask(panel, tmp_path)
        assert len(emulator.commands()) == before
    if code is not None:
        assert raised.value.code == code
    assert word in str(raised.value)


def test_waveform_refused_when_the_firmware_has_none(tmp_path, make_emulator):
    emu = make_emulator("nowave", "--waveform-address", "0xFFFFFFFF")
    path = tmp_path / "new.wbf"
    path.write_bytes(bytes(100))
    with qp7730.Controller(emu.socket) as panel:
        assert panel.info.waveform_address is None
        before = len(emu.commands())
        with pytest.raises(qp7730.UnsupportedError) as raised:
            panel.upgrade(path)
        assert len(emu.commands()) == before
    assert raised.value.code == -8


def test_no_controller_raises_not_found_and_sends_nothing(tmp_path, emulator):
    with pytest.raises(qp7730.NotFoundError) as raised:
        qp7730.Controller(str(tmp_path / "nobody.sock"))
    assert raised.value.code == -2
    assert emulator.commands() == []


def test_second_controller_is_busy_until_the_first_closes(emulator):
    with qp7730.Controller(emulator.socket) as first:
        with pytest.raises(qp7730.BusyError):
            qp7730.Controller(emulator.socket)
        first.fill(0, 0, 2, 2, 0x10)
    with qp7730.Controller(emulator.socket) as again:
        again.fill(0, 0, 2, 2, 0x20)
    assert frame(emulator)[0, 0] == 0x20


# lock_wait values: refused before anything is sent, or taken as a bound (inf: none)
LOCK_WAITS = [
    ("nan", float("nan"), qp7730.ArgumentError),
    ("text", "5", TypeError),
    ("inf", float("inf"), None),
    ("-inf", -float("inf"), None),
    ("fraction", 0.25, None),
]


@pytest.mark.parametrize("name,lock_wait,error", LOCK_WAITS, ids=[w[0] for w in LOCK_WAITS])
def test_lock_wait_is_a_bound_or_refused_before_anything_is_sent(emulator, name, lock_wait, error):
    if error is None:
        with qp7730.Controller(emulator.socket, lock_wait=lock_wait) as panel:
            panel.fill(0, 0, 1, 1, 0x33)
        return
    with pytest.raises(error) as raised:
        qp7730.Controller(emulator.socket, lock_wait=lock_wait)
    assert "lock_wait" in str(raised.value)
    assert emulator.commands() == []


@pytest.mark.parametrize("lock_wait", [float("inf"), 1e300], ids=["inf", "beyond a C int"])
def test_endless_lock_wait_waits_for_the_program_holding_the_controller(emulator, lock_wait):
    with open(emulator.socket + ".run-lock", "r+b") as held:
        fcntl.flock(held, fcntl.LOCK_EX | fcntl.LOCK_NB)  # as another program holds it

        def release_once_the_controller_is_reached():
            deadline = time.monotonic() + 10
            while not emulator.commands() and time.monotonic() < deadline:
                time.sleep(0.005)
            fcntl.flock(held, fcntl.LOCK_UN)

        releaser = threading.Thread(target=release_once_the_controller_is_reached)
        releaser.start()
        try:
            with qp7730.Controller(emulator.socket, lock_wait=lock_wait) as panel:
                panel.fill(0, 0, 1, 1, 0x44)
        finally:
            releaser.join()
    assert frame(emulator)[0, 0] == 0x44


def test_closed_controller_refuses_calls(emulator):
    panel = qp7730.Controller(emulator.socket)
    panel.close()
    panel.close()
    assert panel.closed
    with pytest.raises(ValueError):
        panel.fill(0, 0, 1, 1, 0)


def test_threads_take_turns(emulator):
    with qp7730.Controller(emulator.socket) as panel:
        def paint(value):
            for _ in range(20):
                panel.fill(value * 10, 0, 10, 10, value)
                panel.load(np.full((5, 10), value, np.uint8), value * 10, 20)

        threads = [threading.Thread(target=paint, args=(v,)) for v in range(1, 6)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    got = frame(emulator)
    for v in range(1, 6):
        assert (got[0:10, v * 10 : v * 10 + 10] == v).all()
        assert (got[20:25, v * 10 : v * 10 + 10] == v).all()


def test_library_is_found_through_qp7730_library(tmp_path):
    code = "import qp7730\ntry:\n    qp7730.Controller()\nexcept OSError as e:\n    print(e)\n"
    env = dict(os.environ, QP7730_LIBRARY=str(tmp_path / "none.so"))
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)
    assert "QP7730_LIBRARY" in out.stdout and "none.so" in out.stdout


def test_library_is_found_by_name_without_qp7730_library(tmp_path):
    library = os.environ.get("QP7730_LIBRARY")
    if not library:
        pytest.skip("the library's folder is known only through QP7730_LIBRARY")
    code = (
        "import qp7730\ntry:\n    qp7730.Controller(%r)\nexcept qp7730.NotFoundError as e:\n    print(e.code)\n"
        % str(tmp_path / "nobody.sock")
    )
    env = {k: v for k, v in os.environ.items() if k != "QP7730_LIBRARY"}
    env["LD_LIBRARY_PATH"] = os.path.dirname(library)
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == "-2", out.stderr


def test_readme_example_runs(tmp_path, make_emulator):
    text = (ROOT / "README.md").read_text()
    example = re.search(r"```python\n(.*?)```", text, re.S).group(1)
    emu = make_emulator("readme")
    Image.fromarray(colours(300, 200), "RGB").save(tmp_path / "photo.jpg")
    env = dict(os.environ, QP7730_EMULATOR=emu.socket)
    run = subprocess.run([sys.executable, "-c", example], cwd=tmp_path, env=env, capture_output=True, text=True,
                         timeout=60)
    assert run.returncode == 0, run.stderr
    assert any(c["cmd"] == "0x94" for c in emu.commands())


def test_listed_emulator_opens_from_its_entry(emulator, monkeypatch):
    monkeypatch.setenv("QP7730_EMULATOR", emulator.socket)
    entries = [e for e in qp7730.controllers() if e.kind == "emulator"]
    assert entries == [qp7730.Entry(emulator.socket, "emulator", None, "", "", "")]
    with entries[0].open(lock_wait=0) as panel:
        assert panel.info.location == "emulator " + emulator.socket
    monkeypatch.setenv("QP7730_EMULATOR", emulator.socket + ".absent")
    assert [e for e in qp7730.controllers() if e.kind == "emulator"] == []
