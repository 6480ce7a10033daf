"""Drive a QP7730 e-paper display controller: open it once, then show pictures, fill,
refresh and upgrade on demand.

    import qp7730

    with qp7730.Controller() as panel:
        panel.show("photo.jpg")

The work is done by the qp7730 shared library (see qp7730._native for how it is found),
which runs the same code as the qp7730 command-line tool: a picture shown here is
decoded, fitted to the panel and turned to grey exactly as ``qp7730 -load`` does it.

One process holds at most one open Controller at a time. A Controller may be used from
several threads; its calls run one after another.
"""
from __future__ import annotations

import ctypes
import math
import numbers
import os
import threading
from typing import Any, Callable, NamedTuple, Optional, Union

from . import _native

__all__ = [
    "Controller",
    "Entry",
    "controllers",
    "Info",
    "Area",
    "Error",
    "ArgumentError",
    "NotFoundError",
    "BusyError",
    "CommandError",
    "FileError",
    "PictureError",
    "FileRefusedError",
    "UnsupportedError",
    "NoMemoryError",
    "VerifyError",
    "InternalError",
    "FIRMWARE",
    "WAVEFORM",
    "library_version",
]

FIRMWARE = 1
WAVEFORM = 2

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
Progress = Callable[[str, int, int], None]


class Error(Exception):
    """A failure reported by the library. ``code`` is the C result code (negative)."""

    code: int = 0

    def __init__(self, code: int, message: str) -> None:
        super().__init__(message)
        self.code = code


class ArgumentError(Error, ValueError):
    """An argument was refused (a negative or empty rectangle, an unknown upgrade type...)."""


class NotFoundError(Error):
    """No controller answered at the route (or on any route)."""


class BusyError(Error):
    """The controller is held: already open in this process, or by another program."""


class CommandError(Error):
    """A command failed on its way to or in the controller."""


class FileError(Error):
    """A file could not be opened or read."""


class PictureError(Error, ValueError):
    """A file or pixels gave no picture (not BMP, JPEG or PNG, damaged, size refused)."""


class FileRefusedError(Error, ValueError):
    """An upgrade file of the wrong kind, header or length."""


class UnsupportedError(Error):
    """The controller or the library cannot do this."""


class NoMemoryError(Error, MemoryError):
    """Host memory could not be had."""


class VerifyError(Error):
    """The flash did not read back as written during an upgrade."""


class InternalError(Error):
    """An unexpected failure inside the library."""


_ERRORS = {
    -1: ArgumentError,
    -2: NotFoundError,
    -3: BusyError,
    -4: CommandError,
    -5: FileError,
    -6: PictureError,
    -7: FileRefusedError,
    -8: UnsupportedError,
    -9: NoMemoryError,
    -10: VerifyError,
    -11: InternalError,
}


def _check(code: int) -> None:
    if code == 0:
        return
    lib = _native.library()
    text = lib.qp7730_strerror(code).decode()
    detail = lib.qp7730_last_message().decode(errors="replace")
    raise _ERRORS.get(code, Error)(code, f"{text}: {detail}" if detail else text)


def library_version() -> str:
    """Version of the C interface in use, "MAJOR.MINOR.PATCH"."""
    v = _native.library().qp7730_version()
    return f"{v // 10000}.{v // 100 % 100}.{v % 100}"


class Info(NamedTuple):
    panel_width: int
    panel_height: int
    image_buffer_address: int
    waveform_address: Optional[int]  # None: the firmware takes no waveform
    firmware_version: str
    lut_version: str
    location: str


class Area(NamedTuple):
    """A rectangle of the panel."""

    x: int
    y: int
    width: int
    height: int


class Entry(NamedTuple):
    """A controller attached to this machine, as controllers() finds it."""

    route: str  # what Controller() takes to open this one
    kind: str  # "usb", "drive" or "emulator"
    usb_bus: Optional[int]  # USB: the bus number
    usb_port: str  # USB: the ports from the root hub, "4.2"
    drive: str  # the disk the system made of it, "/dev/sdb"; "" when none
    identity: str  # the identity the system recorded; "" when not known

    def open(self, *, lock_wait: Optional[float] = None) -> "Controller":
        """Opens this controller (see Controller)."""
        return Controller(self.route, lock_wait=lock_wait)


def controllers() -> list:
    """The controllers attached, in the order Controller() tries them. Nothing is sent to
    them and nothing is claimed, so one that another program uses is listed too."""
    lib = _native.library()
    count = ctypes.c_uint()
    _check(lib.qp7730_list(None, 0, ctypes.byref(count)))
    while True:
        capacity = count.value
        raw = (_native.Entry * max(capacity, 1))()
        _check(lib.qp7730_list(raw, capacity, ctypes.byref(count)))
        if count.value <= capacity:
            break  # a controller plugged in meanwhile is asked for again
    return [
        Entry(
            e.route.decode(errors="replace"),
            e.kind.decode(errors="replace"),
            e.usb_bus or None,
            e.usb_port.decode(errors="replace"),
            e.drive.decode(errors="replace"),
            e.identity.decode(errors="replace"),
        )
        for e in raw[: count.value]
    ]


_GREY8, _RGB24, _RGBA32 = 1, 2, 3
_FORMAT_BY_CHANNELS = {1: _GREY8, 3: _RGB24, 4: _RGBA32}
# Pillow modes whose pixels go to the library as they are, and those turned into one of
# these first without changing a colour (palette look-up, one bit to 0 or 255, alpha off).
_PILLOW_DIRECT = {"L": _GREY8, "RGB": _RGB24, "RGBA": _RGBA32, "RGBX": _RGBA32}
_PILLOW_EXACT = {"1": "L", "LA": "L", "P": "RGB", "PA": "RGBA", "La": "L"}


def _pixels(picture: Any):
    """(pointer, width, height, stride, format, keep-alive) for an in-memory picture."""
    if hasattr(picture, "mode") and hasattr(picture, "tobytes") and hasattr(picture, "size"):
        image = picture
        if image.mode in _PILLOW_EXACT:
            image = image.convert(_PILLOW_EXACT[image.mode])
        if image.mode not in _PILLOW_DIRECT:
            raise TypeError(f"Pillow images of mode {picture.mode!r} are not taken; convert to 'L' or 'RGB' first")
        data = image.tobytes()
        width, height = image.size
        return data, width, height, len(data) // max(height, 1), _PILLOW_DIRECT[image.mode], data

    interface = getattr(picture, "__array_interface__", None)
    if interface is not None:
        shape = tuple(interface["shape"])
        if interface["typestr"] not in ("|u1", "<u1", ">u1"):
            raise TypeError(f"arrays of 8-bit unsigned values are taken, not {interface['typestr']!r}")
        channels = 1 if len(shape) == 2 else shape[2] if len(shape) == 3 else 0
        if channels not in _FORMAT_BY_CHANNELS:
            raise TypeError(f"arrays of shape (h, w), (h, w, 1), (h, w, 3) or (h, w, 4) are taken, not {shape}")
        height, width = shape[0], shape[1]
        strides = interface.get("strides")
        data = interface.get("data")
        if strides is None:
            strides = (width * channels, channels, 1)[: len(shape)]
        pixel_packed = strides[1] == channels and (len(shape) == 2 or strides[2] == 1)
        if isinstance(data, tuple) and pixel_packed and strides[0] >= width * channels:
            return ctypes.c_void_p(data[0]), width, height, strides[0], _FORMAT_BY_CHANNELS[channels], picture
        # Pixels not side by side (a column slice, a transposed array): copied row-first.
        packed = memoryview(picture).tobytes(order="C")
        return packed, width, height, width * channels, _FORMAT_BY_CHANNELS[channels], packed

    try:
        view = memoryview(picture)
    except TypeError:
        raise TypeError("a picture is a path, a Pillow image, or an array of bytes shaped (h, w[, c])") from None
    if view.format not in ("B", "c") or view.ndim not in (2, 3):
        raise TypeError("buffers of unsigned bytes shaped (h, w) or (h, w, c) are taken")
    channels = 1 if view.ndim == 2 else view.shape[2]
    if channels not in _FORMAT_BY_CHANNELS:
        raise TypeError(f"buffers with 1, 3 or 4 channels are taken, not {channels}")
    packed = view.tobytes(order="C")
    height, width = view.shape[0], view.shape[1]
    return packed, width, height, width * channels, _FORMAT_BY_CHANNELS[channels], packed


# The longest lock wait the library takes, in seconds (its bound is a C int): 68 years,
# a wait without bound to anyone.
_LONGEST_WAIT = 2**31 - 1


def _lock_wait_seconds(lock_wait: Optional[float]) -> int:
    """The library's lock_wait_seconds for a Controller's lock_wait."""
    if lock_wait is None:
        return -1
    if not isinstance(lock_wait, numbers.Real):
        raise TypeError(f"lock_wait takes seconds (a number) or None, not {type(lock_wait).__name__}")
    if math.isnan(lock_wait):
        raise ArgumentError(-1, "invalid argument: lock_wait is not a number of seconds (nan)")
    if lock_wait <= 0:
        return 0
    return _LONGEST_WAIT if lock_wait >= _LONGEST_WAIT else math.ceil(lock_wait)


def _is_path(picture: Any) -> bool:
    return isinstance(picture, (str, bytes)) or hasattr(picture, "__fspath__")


class Controller:
    """An open QP7730 controller.

    route: None searches like the qp7730 tool (USB, the emulator, the drives); otherwise
      "usb", "usb:BUS-PORTS", a drive ("/dev/sdb", "B:"), "tcp:HOST:PORT" or an emulator
      socket path (an Entry's route from controllers()).
    lock_wait: seconds to wait while another program holds the controller (0 or less: fail
      at once with BusyError; float("inf"): wait without bound; None: the tool's rule,
      QP7730_LOCK_WAIT or 30). A fraction counts as a whole second; nan is refused with
      ArgumentError.
    """

    def __init__(self, route: Optional[PathLike] = None, *, lock_wait: Optional[float] = None) -> None:
        wait = _lock_wait_seconds(lock_wait)
        self._lib = _native.library()
        self._handle = ctypes.c_void_p()
        # Held around every use of the handle, so that close() never frees it under a call
        # of another thread. Re-entrant: a call from the progress callback reaches the
        # library, which refuses it with BusyError.
        self._use = threading.RLock()
        encoded = None if route is None else os.fsencode(route)
        _check(self._lib.qp7730_open(encoded, wait, ctypes.byref(self._handle)))
        raw = _native.Info()
        try:
            _check(self._lib.qp7730_get_info(self._handle, ctypes.byref(raw)))
        except BaseException:
            self.close()
            raise
        self._info = Info(
            raw.panel_width,
            raw.panel_height,
            raw.image_buffer_address,
            None if raw.waveform_address == 0xFFFFFFFF else raw.waveform_address,
            raw.firmware_version.decode(errors="replace"),
            raw.lut_version.decode(errors="replace"),
            raw.location.decode(errors="replace"),
        )

    def __enter__(self) -> "Controller":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass

    def close(self) -> None:
        """Closes the controller and lets its lock go. Calling it again does nothing."""
        use = getattr(self, "_use", None)
        if use is None:
            return
        with use:
            handle = self._handle
            if handle:
                self._handle = ctypes.c_void_p()
                _check(self._lib.qp7730_close(handle))

    @property
    def closed(self) -> bool:
        return not self._handle

    def _call(self, function: Callable[..., int], *args: Any) -> None:
        with self._use:
            if not self._handle:
                raise ValueError("the controller is closed")
            _check(function(self._handle, *args))

    @property
    def info(self) -> Info:
        """Panel size, addresses and version texts, as read when the controller was opened."""
        return self._info

    def load(self, picture: Any, x: int = 0, y: int = 0) -> Area:
        """Writes a picture into the image buffer at (x, y) without refreshing the panel.

        picture: a file path (BMP, JPEG or PNG, by content), a Pillow image, or an array of
        8-bit values shaped (h, w) grey, (h, w, 3) RGB or (h, w, 4) RGBA (alpha dropped).
        Either way the library fits it to the panel (stretched to the panel's size when
        larger) and turns it to grey with its own rule. What lies past the panel's right or
        bottom edge is not sent. Returns the rectangle written.
        """
        area = _native.Area()
        if _is_path(picture):
            self._call(self._lib.qp7730_load_file, os.fsencode(picture), x, y, ctypes.byref(area))
        else:
            data, width, height, stride, form, keep = _pixels(picture)
            self._call(self._lib.qp7730_load_picture, data, width, height, stride, form, x, y, ctypes.byref(area))
            del keep
        return Area(area.x, area.y, area.width, area.height)

    def show(self, picture: Any, x: int = 0, y: int = 0, mode: int = 2, wait: bool = True) -> Area:
        """load() the picture, then refresh the rectangle it was written to."""
        area = self.load(picture, x, y)
        if area.width > 0 and area.height > 0:
            self.display(area.x, area.y, area.width, area.height, mode=mode, wait=wait)
        return area

    def fill(self, x: int, y: int, width: int, height: int, grey: int) -> None:
        """Fills a rectangle of the image buffer with one grey value (0 black .. 255 white)."""
        if not 0 <= grey <= 255:
            raise ValueError("grey is a value from 0 to 255")
        self._call(self._lib.qp7730_fill, x, y, width, height, grey)

    def display(
        self,
        x: int = 0,
        y: int = 0,
        width: Optional[int] = None,
        height: Optional[int] = None,
        mode: int = 2,
        wait: bool = True,
    ) -> None:
        """Refreshes a rectangle of the panel from the image buffer (default: from (x, y) to
        the panel's corner). wait: the controller finishes the refresh before it answers."""
        width = self._info.panel_width - x if width is None else width
        height = self._info.panel_height - y if height is None else height
        self._call(self._lib.qp7730_display, x, y, width, height, mode, 1 if wait else 0)

    def power(self, on: Optional[Union[bool, int]] = None, vcom: Optional[int] = None) -> int:
        """Switches the panel power (on: True/False, or a raw power state 0..255) and/or sets
        VCOM (0..65535), in one command. Returns the VCOM value the controller reports."""
        state = -1 if on is None else int(on)
        reported = ctypes.c_uint()
        self._call(self._lib.qp7730_power, state, -1 if vcom is None else vcom, ctypes.byref(reported))
        return reported.value

    def upgrade(self, path: PathLike, progress: Optional[Progress] = None, *, kind: Optional[int] = None) -> None:
        """Writes a firmware (".bin", to flash 0) or waveform (".wbf") file into the
        controller's flash and reads it back. kind: FIRMWARE or WAVEFORM; by default taken
        from the file's extension. progress(phase, done, total) is called as it goes
        ("erase", "write", "verify"); an exception it raises is raised again once the
        upgrade has finished (it cannot be stopped half way). Ctrl-C (SIGINT), SIGTERM and
        SIGHUP wait in the same way and reach their handlers when it is done. Reset the
        controller afterwards."""
        name = os.fsdecode(path)
        if kind is None:
            kind = {".bin": FIRMWARE, ".wbf": WAVEFORM}.get(os.path.splitext(name)[1])
            if kind is None:
                raise ArgumentError(-1, "invalid argument: say kind=FIRMWARE or kind=WAVEFORM for this file")
        raised: list = []

        def forward(_user: Any, phase: bytes, done: int, total: int) -> None:
            if progress is None or raised:
                return
            try:
                progress(phase.decode(), done, total)
            except BaseException as error:  # kept for after the C call
                raised.append(error)

        callback = _native.PROGRESS(forward)
        try:
            self._call(self._lib.qp7730_upgrade, kind, os.fsencode(path), callback, None)
        finally:
            if raised:
                raise raised[0]
