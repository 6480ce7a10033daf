"""Drive a QP7730 e-paper display controller: open it once, then show pictures, fill,
refresh and upgrade on demand.

    import qp7730

    with qp7730.Controller() as panel:
        panel.show("photo.jpg")

The work is done by the qp7730 shared library (see qp7730._native for how it is found),
which runs the same code as the qp7730 command-line tool: a picture shown here is
decoded, fitted to the panel and turned to grey exactly as ``qp7730 -load`` does it.

One process holds at most one open Controller at a time. A Controller may be used from
several threads; its calls run one after another. Ctrl-C reaches a Controller() that
waits for another program to let the controller go at once, and it then holds nothing.
"""
from __future__ import annotations

import ctypes
import enum
import math
import numbers
import operator
import os
import threading
from typing import Any, Callable, Iterable, List, NamedTuple, Optional, Sequence, Union

from . import _native

__version__ = "1.2.0"

__all__ = [
    "Controller",
    "DisplayMode",
    "Entry",
    "controllers",
    "Info",
    "Area",
    "LibraryImage",
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
    "__version__",
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
    """An argument was refused: a value of the wrong type or out of its range (the message
    names the parameter), a negative or empty rectangle, an unknown upgrade type..."""


class NotFoundError(Error):
    """No controller answered at the route (or on any route)."""


class BusyError(Error):
    """The controller is held: already open in this process, or by another program."""


class CommandError(Error):
    """A command failed on its way to or in the controller."""


class FileError(Error):
    """A file could not be opened or read."""


class PictureError(Error, ValueError):
    """A file or pixels gave no picture (not BMP, JPEG, PNG, GIF or TIFF, damaged, size refused)."""


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


def _message(code: int) -> str:
    """The text of the error `code` that the calling thread's last call ended with."""
    lib = _native.library()
    text = lib.qp7730_strerror(code).decode()
    detail = lib.qp7730_last_message().decode(errors="replace")
    return f"{text}: {detail}" if detail else text


def _raise(code: int, message: str) -> None:
    raise _ERRORS.get(code, Error)(code, message)


def _check(code: int) -> None:
    if code != 0:
        _raise(code, _message(code))


def _refuse(text: str) -> None:
    raise ArgumentError(-1, "invalid argument: " + text)


_INT32 = (-(2**31), 2**31 - 1)


def _whole(name: str, value: Any, low: int = _INT32[0], high: int = _INT32[1]) -> int:
    """value as an int when it is a whole number from low to high; ArgumentError naming
    the parameter otherwise (floats included: 1.0 is not taken for 1)."""
    try:
        if isinstance(value, float):
            raise TypeError
        number = operator.index(value)
    except TypeError:
        _refuse(f"{name} is a whole number, not {type(value).__name__} ({value!r})")
    if not low <= number <= high:
        _refuse(f"{name} = {number} is outside {low}..{high}")
    return number


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


class LibraryImage(NamedTuple):
    """One picture stored in the controller's image library."""

    index: int
    bits_per_pixel: int
    width: int
    height: int
    data_offset: int


class DisplayMode(enum.IntEnum):
    """The first display modes (Controller.display_modes says how many the controller has;
    qp7730-emu has 5: also 3, 16 levels without flashing, and 4, two levels, the quickest),
    with what qp7730-emu does with each image buffer byte v."""

    CLEAR = 0  # clears the rectangle to white (qp7730-emu: 255)
    MONO = 1  # two levels, the quick update for text and lines (qp7730-emu: v < 128 black, else white)
    GREY16 = 2  # 16 grey levels, the full update for pictures (qp7730-emu: (v >> 4) * 17); the default


_FITS = {"stretch": 0, "contain": 1, "cover": 2}
_DITHERS = {"none": 0, "ordered": 1, "diffusion": 2}


# qp7730_fit.orient: EXIF 1, the clockwise rotations 2, 4 and 6 (quarter turns x 2), mirror 8.
_ROTATIONS = {0: 0, 90: 2, 180: 4, 270: 6}


def _fit(
    fit: str,
    orient: bool,
    rotate: int,
    mirror: bool,
    clear: Optional[int],
    width: Optional[int],
    height: Optional[int],
) -> Any:
    if fit not in _FITS:
        _refuse(f"fit is one of {', '.join(map(repr, _FITS))}, not {fit!r}")
    if isinstance(rotate, bool) or not isinstance(rotate, numbers.Integral) or int(rotate) not in _ROTATIONS:
        _refuse(f"rotate is 0, 90, 180 or 270 (degrees clockwise), not {rotate!r}")
    return _native.Fit(
        _FITS[fit],
        (1 if orient else 0) | _ROTATIONS[int(rotate)] | (8 if mirror else 0),
        -1 if clear is None else _whole("clear", clear, 0, 255),
        0 if width is None else _whole("width", width, 1),
        0 if height is None else _whole("height", height, 1),
    )


_GREY8, _RGB24, _RGBA32 = 1, 2, 3
_FORMAT_BY_CHANNELS = {1: _GREY8, 3: _RGB24, 4: _RGBA32}
# Pillow modes whose pixels go to the library as they are; every other mode is turned into
# one of them first (the library lays alpha over white).
_PILLOW_DIRECT = {"L": _GREY8, "RGB": _RGB24, "RGBA": _RGBA32}


def _is_pillow(picture: Any) -> bool:
    return hasattr(picture, "mode") and hasattr(picture, "tobytes") and hasattr(picture, "size")


def _pillow_as_taken(image: Any) -> Any:
    """The Pillow image in "L", "RGB" or "RGBA", with the colours it stands for: 16-bit and
    32-bit integer grey scaled from 0..65535 as the PNG decoder scales 16-bit samples
    (v x 255 / 65535, rounded), floats taken as 0..255, CMYK through its inks, palettes
    and alpha modes with their transparency."""
    mode = image.mode
    if mode in _PILLOW_DIRECT:
        return image
    if mode.startswith("I;16") or mode == "I":
        wide = image if mode == "I" else image.convert("I")
        return wide.point(lambda v: v * (255 / 65535) + 0.5).convert("L")
    if mode in ("1", "F"):
        return image.convert("L")
    if mode in ("LA", "La", "PA", "RGBa") or (mode == "P" and "transparency" in image.info):
        return image.convert("RGBA")
    try:
        return image.convert("RGB")  # P, RGBX, CMYK, YCbCr, LAB, HSV, ...
    except (ValueError, OSError) as error:
        raise TypeError(f"Pillow images of mode {mode!r} cannot be turned into colours: {error}") from None


def _pixels(picture: Any):
    """(pointer, width, height, stride, format, keep-alive) for an in-memory picture."""
    if _is_pillow(picture):
        image = _pillow_as_taken(picture)
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
        raise TypeError(
            "a picture is a path, the bytes of a picture file (bytes, memoryview, a binary file object), a Pillow "
            "image, or an array of bytes shaped (h, w[, c])"
        ) from None
    if view.format not in ("B", "c") or view.ndim not in (2, 3):
        raise TypeError("buffers of unsigned bytes shaped (h, w) or (h, w, c) are taken")
    channels = 1 if view.ndim == 2 else view.shape[2]
    if channels not in _FORMAT_BY_CHANNELS:
        raise TypeError(f"buffers with 1, 3 or 4 channels are taken, not {channels}")
    packed = view.tobytes(order="C")
    height, width = view.shape[0], view.shape[1]
    return packed, width, height, width * channels, _FORMAT_BY_CHANNELS[channels], packed


def _encoded(picture: Any) -> Optional[bytes]:
    """The bytes of a picture file given as bytes, a one-dimensional buffer of bytes or a
    binary file object (read from where it stands); None for every other kind of picture."""
    if isinstance(picture, (bytes, bytearray)):
        return bytes(picture)
    if hasattr(picture, "read") and not _is_pillow(picture):
        data = picture.read()
        if not isinstance(data, (bytes, bytearray)):
            raise TypeError(f"file objects opened in binary mode are taken; this one reads {type(data).__name__}")
        return bytes(data)
    if isinstance(picture, memoryview) and picture.ndim == 1:
        if picture.format not in ("B", "b", "c"):
            raise TypeError(f"a memoryview of a picture file holds bytes, not {picture.format!r} items")
        return picture.tobytes()
    return None


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
    return isinstance(picture, str) or hasattr(picture, "__fspath__")


_CLOSED = "I/O operation on a closed controller"


class Controller:
    """An open QP7730 controller.

    route: None searches like the qp7730 tool (USB, the emulator, the drives); otherwise
      "usb", "usb:BUS-PORTS", a drive ("/dev/sdb", "B:"), "tcp:HOST:PORT" or an emulator
      socket path (an Entry's route from controllers()).
    lock_wait: seconds to wait while another program holds the controller (0 or less: fail
      at once with BusyError; float("inf"): wait without bound; None: the tool's rule,
      QP7730_LOCK_WAIT or 30). A fraction counts as a whole second; nan is refused with
      ArgumentError. Ctrl-C (KeyboardInterrupt) ends the wait at once, leaving nothing
      open and nothing held.
    """

    def __init__(self, route: Optional[PathLike] = None, *, lock_wait: Optional[float] = None) -> None:
        wait = _lock_wait_seconds(lock_wait)
        self._lib = _native.library()
        self._handle = ctypes.c_void_p()
        # Held around every use of the handle, so that close() never frees it under a call
        # of another thread. Re-entrant: a call from the progress callback reaches the
        # library, which refuses it with BusyError.
        self._use = threading.RLock()
        self._changes_only = False
        encoded = None if route is None else os.fsencode(route)
        self._handle = self._open(encoded, wait)
        raw = _native.Info()
        modes = ctypes.c_uint()
        try:
            _check(self._lib.qp7730_get_info(self._handle, ctypes.byref(raw)))
            _check(self._lib.qp7730_display_modes(self._handle, ctypes.byref(modes)))
        except BaseException:
            self.close()
            raise
        self._modes = modes.value
        self._info = Info(
            raw.panel_width,
            raw.panel_height,
            raw.image_buffer_address,
            None if raw.waveform_address == 0xFFFFFFFF else raw.waveform_address,
            raw.firmware_version.decode(errors="replace"),
            raw.lut_version.decode(errors="replace"),
            raw.location.decode(errors="replace"),
        )

    def _open(self, route: Optional[bytes], wait: int) -> ctypes.c_void_p:
        """Opens on a thread of its own while this one waits in short slices, so that a
        KeyboardInterrupt arrives here at once; it then cancels the library's wait for the
        lock and closes what the open may still have opened. (The slices wait on an event
        of its own: a Thread.join that an exception interrupts can leave is_alive() false
        while the thread still runs.)"""
        cancel = ctypes.c_int(0)
        handle = ctypes.c_void_p()
        outcome: list = []
        done = threading.Event()

        def run() -> None:
            try:
                code = self._lib.qp7730_open_cancellable(route, wait, ctypes.byref(cancel), ctypes.byref(handle))
                outcome.append((code, _message(code) if code else ""))
            finally:
                done.set()

        threading.Thread(target=run, name="qp7730 open", daemon=True).start()
        try:
            while not done.wait(0.05):
                pass
        except BaseException:
            cancel.value = 1
            while not done.is_set():
                try:
                    done.wait(0.05)
                except KeyboardInterrupt:  # a second Ctrl-C while the open gives up
                    pass
            if handle:
                self._lib.qp7730_close(handle)
            raise
        code, message = outcome[0]
        if code:
            _raise(code, message)
        return handle

    def __enter__(self) -> "Controller":
        if self.closed:
            raise ValueError(_CLOSED)
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass

    def __repr__(self) -> str:
        info = getattr(self, "_info", None)
        where = f" {info.location!r} {info.panel_width}x{info.panel_height}" if info else ""
        return f"<qp7730.Controller{where} {'closed' if self.closed else 'open'}>"

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
        return not getattr(self, "_handle", None)

    def _call(self, function: Callable[..., int], *args: Any) -> None:
        with self._use:
            if not self._handle:
                raise ValueError(_CLOSED)
            _check(function(self._handle, *args))

    @property
    def info(self) -> Info:
        """Panel size, addresses and version texts, as read when the controller was opened."""
        return self._info

    @property
    def display_modes(self) -> int:
        """How many display modes the controller has: display() takes modes 0 to this - 1."""
        return self._modes

    def load(
        self,
        picture: Any,
        x: int = 0,
        y: int = 0,
        *,
        fit: str = "stretch",
        orient: bool = False,
        rotate: int = 0,
        mirror: bool = False,
        clear: Optional[int] = None,
        width: Optional[int] = None,
        height: Optional[int] = None,
        dither: str = "none",
        dither_for: int = DisplayMode.GREY16,
    ) -> Area:
        """Writes a picture into the image buffer at (x, y) without refreshing the panel.

        picture: a file path (str or path object; BMP, JPEG, PNG, GIF or TIFF, by content), the bytes
        of such a file (bytes, bytearray, a one-dimensional memoryview, or a binary file
        object, read from where it stands), a Pillow image of any mode, or an array of
        8-bit values shaped (h, w) grey, (h, w, 3) RGB or (h, w, 4) RGBA. Alpha is laid
        over white for pixels; picture files are decoded as the tool decodes them.

        fit: "stretch" (the tool's rule: a picture larger than the panel is stretched to
        the panel's size, a smaller one keeps its size), "contain" (the whole picture,
        aspect kept, scaled up or down into the box and centred, the rest of the box
        filled with the clear grey or white) or "cover" (aspect kept, scaled to cover the
        box and cut to it around the centre). The box starts at (x, y) and is width x
        height, cut to the panel (None: to the panel's edge).
        orient: turn a picture file upright as its EXIF orientation says (Pillow images
        through PIL.ImageOps.exif_transpose).
        rotate: then turn the picture clockwise by 0, 90, 180 or 270 degrees, and mirror:
        then mirror it left to right (a panel mounted turned, or seen in a mirror). Both
        come before the fit, which fills its box with the turned picture.
        clear: a grey (0 black .. 255 white) for the rest of the panel: the whole panel is
        then written, so nothing of an earlier picture stays around this one.

        dither: "none" (the grey values as they are), "ordered" (4 x 4 Bayer) or
        "diffusion" (Floyd-Steinberg): the picture is dithered to the levels that display
        mode dither_for shows (two for MONO and mode 4, sixteen for GREY16 and mode 3, none
        for CLEAR; qp7730.h gives the exact rules). show() dithers for its own mode.

        What lies past the panel's right or bottom edge is not sent. Returns the rectangle
        written.
        """
        x, y = _whole("x", x), _whole("y", y)
        if dither not in _DITHERS:
            _refuse(f"dither is one of {', '.join(map(repr, _DITHERS))}, not {dither!r}")
        if dither != "none":
            # Held throughout, so that no other thread's load is dithered meanwhile.
            with self._use:
                self._call(self._lib.qp7730_set_dither, _DITHERS[dither], _whole("dither_for", dither_for))
                try:
                    return self.load(picture, x, y, fit=fit, orient=orient, rotate=rotate, mirror=mirror,
                                     clear=clear, width=width, height=height)
                finally:
                    if self._handle:
                        self._call(self._lib.qp7730_set_dither, 0, 0)
        options = _fit(fit, orient, rotate, mirror, clear, width, height)
        area = _native.Area()
        if _is_path(picture):
            self._call(self._lib.qp7730_load_file_fit, os.fsencode(picture), x, y, ctypes.byref(options),
                       ctypes.byref(area))
            return Area(area.x, area.y, area.width, area.height)
        data = _encoded(picture)
        if data is not None:
            self._call(self._lib.qp7730_load_encoded, data, len(data), x, y, ctypes.byref(options), ctypes.byref(area))
            return Area(area.x, area.y, area.width, area.height)
        if orient and _is_pillow(picture):
            from PIL import ImageOps

            picture = ImageOps.exif_transpose(picture)
        pointer, w, h, stride, form, keep = _pixels(picture)
        self._call(self._lib.qp7730_load_picture_fit, pointer, w, h, stride, form, x, y, ctypes.byref(options),
                   ctypes.byref(area))
        del keep
        return Area(area.x, area.y, area.width, area.height)

    def show(
        self,
        picture: Any,
        x: int = 0,
        y: int = 0,
        mode: int = DisplayMode.GREY16,
        wait: bool = True,
        **fitting: Any,
    ) -> Area:
        """load() the picture (fit, orient, rotate, mirror, clear, width, height, dither as
        there; dithered for this mode), then refresh the rectangle it was written to in the
        display mode."""
        fitting.setdefault("dither_for", mode)
        area = self.load(picture, x, y, **fitting)
        if area.width > 0 and area.height > 0:
            self.display(area.x, area.y, area.width, area.height, mode=mode, wait=wait)
        return area

    def load_pixels(self, pixels: Any, x: int = 0, y: int = 0) -> Area:
        """Writes 8-bit grey pixels as they are, without fitting or conversion: an array
        or buffer of bytes shaped (h, w), or a Pillow image of mode "L". What lies past the
        panel's right or bottom edge is not sent. Returns the rectangle written."""
        x, y = _whole("x", x), _whole("y", y)
        if _is_pillow(pixels) and pixels.mode != "L":
            raise TypeError(f"load_pixels takes grey pixels as they are: a Pillow image of mode 'L', not {pixels.mode!r}")
        pointer, w, h, stride, form, keep = _pixels(pixels)
        if form != _GREY8:
            raise TypeError("load_pixels takes grey pixels as they are, shaped (h, w); load() turns colours to grey")
        area = _native.Area()
        self._call(self._lib.qp7730_load_pixels, pointer, w, h, stride, x, y, ctypes.byref(area))
        del keep
        return Area(area.x, area.y, area.width, area.height)

    def fill(self, x: int, y: int, width: int, height: int, grey: int) -> None:
        """Fills a rectangle of the image buffer with one grey value (0 black .. 255 white)."""
        args = [_whole(n, v) for n, v in (("x", x), ("y", y), ("width", width), ("height", height))]
        self._call(self._lib.qp7730_fill, *args, _whole("grey", grey, 0, 255))

    def display(
        self,
        x: int = 0,
        y: int = 0,
        width: Optional[int] = None,
        height: Optional[int] = None,
        mode: int = DisplayMode.GREY16,
        wait: bool = True,
    ) -> None:
        """Refreshes a rectangle of the panel from the image buffer (default: from (x, y) to
        the panel's corner) in a display mode (DisplayMode; 0 to display_modes - 1). A
        rectangle reaching past the panel's edge is clipped there, never moved. wait: the
        controller finishes the refresh before it answers."""
        x, y = _whole("x", x), _whole("y", y)
        width = self._info.panel_width - x if width is None else width
        height = self._info.panel_height - y if height is None else height
        self._call(self._lib.qp7730_display, x, y, _whole("width", width), _whole("height", height),
                   _whole("mode", mode), 1 if wait else 0)

    @property
    def changes_only(self) -> bool:
        """Changed-area updates. When True, the controller object remembers what it put in
        the image buffer, and each load(), load_pixels() or fill() sends only the smallest
        rectangle holding every pixel that differs (nothing when none does): load() returns
        that rectangle, so show() refreshes only what changed. A picture the controller
        loads itself (library_load) or an upgrade makes it send the next load whole. It
        starts knowing nothing; False (the default) sends every load whole."""
        return self._changes_only

    @changes_only.setter
    def changes_only(self, on: bool) -> None:
        self._call(self._lib.qp7730_changes_only, 1 if on else 0)
        self._changes_only = bool(on)

    def display_changes(self, mode: int = DisplayMode.GREY16, wait: bool = True) -> Area:
        """Refreshes the smallest rectangle holding everything written to the image buffer
        since the last refresh that covered it (all of the panel after library_load or an
        upgrade); nothing when nothing was written. Returns the rectangle refreshed."""
        area = _native.Area()
        self._call(self._lib.qp7730_display_changes, _whole("mode", mode), 1 if wait else 0, ctypes.byref(area))
        return Area(area.x, area.y, area.width, area.height)

    def power(self, on: Optional[Union[bool, int]] = None, vcom: Optional[int] = None) -> int:
        """Switches the panel power (on: True/False, or a raw power state 0..255) and/or sets
        VCOM (0..65535), in one command. Returns the VCOM value the controller reports."""
        state = -1 if on is None else _whole("on", on, 0, 255)
        level = -1 if vcom is None else _whole("vcom", vcom, 0, 65535)
        reported = ctypes.c_uint()
        self._call(self._lib.qp7730_power, state, level, ctypes.byref(reported))
        return reported.value

    def library_list(self) -> List[LibraryImage]:
        """The pictures stored in the controller's image library (at most 255 are listed)."""
        count = ctypes.c_uint()
        self._call(self._lib.qp7730_library_list, None, 0, ctypes.byref(count))
        if count.value == 0:
            return []
        entries = (_native.LibraryImage * min(count.value, 255))()
        self._call(self._lib.qp7730_library_list, entries, len(entries), ctypes.byref(count))
        shown = min(count.value, len(entries))
        return [LibraryImage(e.index, e.bits_per_pixel, e.width, e.height, e.data_offset) for e in entries[:shown]]

    def library_load(
        self, index: int, word1: int = 0, word2: int = 0, word3: int = 0, width: int = 0, height: int = 0
    ) -> None:
        """Has the controller load stored picture `index` into its image buffer; show it
        with display(). word1 to word3 go to the controller as they are (qp7730-emu reads x,
        y and a reserved word); width and height give the size to load (qp7730-emu: 0 is
        the picture's own)."""
        words = [("index", index), ("word1", word1), ("word2", word2), ("word3", word3), ("width", width),
                 ("height", height)]
        self._call(self._lib.qp7730_library_load, *[_whole(n, v, 0, 65535) for n, v in words])

    def library_load_many(self, groups: Iterable[Sequence[int]]) -> None:
        """Has the controller load several stored pictures in one request: each group is
        (index, word1, word2), the words the controller's own (qp7730-emu reads x and y)."""
        flat: List[int] = []
        for number, group in enumerate(groups):
            group = tuple(group)
            if len(group) != 3:
                _refuse(f"groups[{number}] is (index, word1, word2), not {len(group)} values")
            for name, value in zip(("index", "word1", "word2"), group):
                flat.append(_whole(f"groups[{number}].{name}", value, 0, 65535))
        array = (ctypes.c_uint16 * max(len(flat), 1))(*flat)
        self._call(self._lib.qp7730_library_load_many, array, len(flat) // 3)

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
        kind = _whole("kind", kind)
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
