"""The shared library and its C declarations (ctypes).

The library is looked for in this order:
  1. the file named by the environment variable QP7730_LIBRARY;
  2. the library the system finds by name (ctypes.util.find_library("qp7730"): the
     loader cache, then LD_LIBRARY_PATH);
  3. "libqp7730.so.1" through the dynamic loader's own search.
"""
from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
import threading
from typing import Optional

EXPECTED_MAJOR = 1
# The functions this package calls came with interface 1.1; the rotation and mirror flags
# of qp7730_fit.orient, the changed-area updates and dithering with 1.2 (1.1 took any non-zero orient
# as EXIF).
LEAST_MINOR = 2

c_int32 = ctypes.c_int32
c_uint32 = ctypes.c_uint32


class Info(ctypes.Structure):
    _fields_ = [
        ("panel_width", c_uint32),
        ("panel_height", c_uint32),
        ("image_buffer_address", c_uint32),
        ("waveform_address", c_uint32),
        ("firmware_version", ctypes.c_char * 17),
        ("lut_version", ctypes.c_char * 17),
        ("location", ctypes.c_char * 256),
    ]


class Entry(ctypes.Structure):
    _fields_ = [
        ("route", ctypes.c_char * 256),
        ("kind", ctypes.c_char * 16),
        ("usb_bus", ctypes.c_int),
        ("usb_port", ctypes.c_char * 32),
        ("drive", ctypes.c_char * 32),
        ("identity", ctypes.c_char * 29),
    ]


class Area(ctypes.Structure):
    _fields_ = [("x", c_int32), ("y", c_int32), ("width", c_int32), ("height", c_int32)]


class Fit(ctypes.Structure):
    _fields_ = [
        ("fit", ctypes.c_int),
        ("orient", ctypes.c_int),
        ("clear", ctypes.c_int),
        ("width", c_int32),
        ("height", c_int32),
    ]


class LibraryImage(ctypes.Structure):
    _fields_ = [
        ("index", ctypes.c_uint16),
        ("bits_per_pixel", ctypes.c_uint16),
        ("width", ctypes.c_uint16),
        ("height", ctypes.c_uint16),
        ("data_offset", c_uint32),
    ]


PROGRESS = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_char_p, c_uint32, c_uint32)

_lock = threading.Lock()
_library: Optional[ctypes.CDLL] = None


def _candidates() -> list:
    named = os.environ.get("QP7730_LIBRARY")
    if named:
        return [named]
    found = ctypes.util.find_library("qp7730")
    names = [found] if found else []
    names.append("qp7730.dll" if sys.platform == "win32" else "libqp7730.so.1")
    return names


def _declare(lib: ctypes.CDLL) -> None:
    handle = ctypes.c_void_p
    area = ctypes.POINTER(Area)
    fit = ctypes.POINTER(Fit)
    u16 = ctypes.c_uint16
    signatures = {
        "qp7730_version": ([], ctypes.c_int),
        "qp7730_strerror": ([ctypes.c_int], ctypes.c_char_p),
        "qp7730_last_message": ([], ctypes.c_char_p),
        "qp7730_list": ([ctypes.POINTER(Entry), ctypes.c_uint, ctypes.POINTER(ctypes.c_uint)], ctypes.c_int),
        "qp7730_open": ([ctypes.c_char_p, ctypes.c_int, ctypes.POINTER(handle)], ctypes.c_int),
        "qp7730_open_cancellable": (
            [ctypes.c_char_p, ctypes.c_int, ctypes.POINTER(ctypes.c_int), ctypes.POINTER(handle)],
            ctypes.c_int,
        ),
        "qp7730_close": ([handle], ctypes.c_int),
        "qp7730_get_info": ([handle, ctypes.POINTER(Info)], ctypes.c_int),
        "qp7730_load_file": ([handle, ctypes.c_char_p, c_int32, c_int32, area], ctypes.c_int),
        "qp7730_load_file_fit": ([handle, ctypes.c_char_p, c_int32, c_int32, fit, area], ctypes.c_int),
        "qp7730_load_encoded": (
            [handle, ctypes.c_void_p, ctypes.c_size_t, c_int32, c_int32, fit, area],
            ctypes.c_int,
        ),
        "qp7730_load_picture_fit": (
            [handle, ctypes.c_void_p, c_int32, c_int32, ctypes.c_size_t, ctypes.c_int, c_int32, c_int32, fit, area],
            ctypes.c_int,
        ),
        "qp7730_load_picture": (
            [handle, ctypes.c_void_p, c_int32, c_int32, ctypes.c_size_t, ctypes.c_int, c_int32, c_int32, area],
            ctypes.c_int,
        ),
        "qp7730_load_pixels": (
            [handle, ctypes.c_void_p, c_int32, c_int32, ctypes.c_size_t, c_int32, c_int32, area],
            ctypes.c_int,
        ),
        "qp7730_fill": ([handle, c_int32, c_int32, c_int32, c_int32, ctypes.c_uint8], ctypes.c_int),
        "qp7730_display_modes": ([handle, ctypes.POINTER(ctypes.c_uint)], ctypes.c_int),
        "qp7730_library_list": (
            [handle, ctypes.POINTER(LibraryImage), ctypes.c_uint, ctypes.POINTER(ctypes.c_uint)],
            ctypes.c_int,
        ),
        "qp7730_library_load": ([handle, u16, u16, u16, u16, u16, u16], ctypes.c_int),
        "qp7730_library_load_many": ([handle, ctypes.POINTER(u16), ctypes.c_uint], ctypes.c_int),
        "qp7730_display": ([handle, c_int32, c_int32, c_int32, c_int32, ctypes.c_int, ctypes.c_int], ctypes.c_int),
        "qp7730_changes_only": ([handle, ctypes.c_int], ctypes.c_int),
        "qp7730_set_dither": ([handle, ctypes.c_int, ctypes.c_int], ctypes.c_int),
        "qp7730_display_changes": ([handle, ctypes.c_int, ctypes.c_int, area], ctypes.c_int),
        "qp7730_power": ([handle, ctypes.c_int, ctypes.c_int, ctypes.POINTER(ctypes.c_uint)], ctypes.c_int),
        "qp7730_upgrade": ([handle, ctypes.c_int, ctypes.c_char_p, PROGRESS, ctypes.c_void_p], ctypes.c_int),
    }
    for name, (args, result) in signatures.items():
        function = getattr(lib, name, None)
        if function is None:
            raise OSError(f"the qp7730 library lacks {name}: it is older than interface {EXPECTED_MAJOR}.{LEAST_MINOR}")
        function.argtypes = args
        function.restype = result


def library() -> ctypes.CDLL:
    """The loaded library; raises OSError saying where it looked when there is none."""
    global _library
    with _lock:
        if _library is not None:
            return _library
        tried = []
        for name in _candidates():
            try:
                lib = ctypes.CDLL(name)
            except OSError as error:
                tried.append(f"{name} ({error})")
                continue
            lib.qp7730_version.restype = ctypes.c_int
            version = lib.qp7730_version()
            if version // 10000 != EXPECTED_MAJOR or version // 100 % 100 < LEAST_MINOR:
                raise OSError(
                    f"{name} has interface version {version}; this package needs {EXPECTED_MAJOR}.{LEAST_MINOR} or a "
                    f"later {EXPECTED_MAJOR}.x"
                )
            _declare(lib)
            _library = lib
            return lib
        where = "; ".join(tried) if tried else "nothing found by name"
        raise OSError(
            "the qp7730 shared library was not found (set QP7730_LIBRARY to its path, or install it): " + where
        )
