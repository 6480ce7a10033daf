"""Fixtures: a real qp7730-emu on a private socket, the qp7730 tool, and a small
bulk-only client that reads the emulator's memory once the library has let go of it."""
from __future__ import annotations

import json
import os
import signal
import socket
import struct
import subprocess
import time
from pathlib import Path
from typing import Iterator, List, Optional

import pytest

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("QP7730_BUILD", ROOT / "build" / "default"))
EMULATOR = Path(os.environ.get("QP7730_EMU", BUILD / "qp7730-emu"))
TOOL = Path(os.environ.get("QP7730_TOOL", BUILD / "qp7730"))
IMAGE_BUFFER = 0x00120000


class Emulator:
    """A qp7730-emu serving a socket in a temporary folder, with a trace of every command."""

    def __init__(self, folder: Path, *options: str) -> None:
        self.folder = folder
        self.socket = str(folder / "emu.sock")
        self.trace = folder / "trace.jsonl"
        self.flash = folder / "flash.bin"
        self.log = folder / "emu.log"
        with open(self.log, "wb") as log:
            self.process = subprocess.Popen(
                [str(EMULATOR), "--socket", self.socket, "--trace", str(self.trace), "--png", "",
                 "--flash-file", str(self.flash), *options],
                stdout=log, stderr=subprocess.STDOUT,
            )
        # It says so on standard output once it accepts connections.
        deadline = time.monotonic() + 10
        while b"qp7730-emu: listening on" not in self.log.read_bytes():
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("qp7730-emu did not start: " + self.log.read_text())
            time.sleep(0.01)

    def stop(self) -> None:
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            self.process.wait(10)

    def commands(self) -> List[dict]:
        """The trace so far, one record per command."""
        if not self.trace.exists():
            return []
        return [json.loads(line) for line in self.trace.read_text().splitlines() if line.strip()]

    def read_memory(self, address: int, length: int) -> bytes:
        """Controller memory through 0x81, in pieces (the library must be closed)."""
        out = bytearray()
        with socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET) as s:
            s.settimeout(6)
            s.connect(self.socket)
            while len(out) < length:
                n = min(0xFFFF, length - len(out))
                cdb = bytearray(16)
                cdb[0] = 0xFE
                struct.pack_into(">I", cdb, 2, address + len(out))
                cdb[6] = 0x81
                struct.pack_into(">H", cdb, 7, n)
                s.send(struct.pack("<IIIBBB", 0x43425355, 1, n, 0x80, 0, 16) + bytes(cdb))
                data = b""
                while len(data) < n:
                    data += s.recv(65536)
                status = s.recv(13)
                assert status[12] == 0, "memory read refused"
                out += data
        return bytes(out)


@pytest.fixture
def emulator(tmp_path: Path) -> Iterator[Emulator]:
    emu = Emulator(tmp_path, "--width", "200", "--height", "150")
    yield emu
    emu.stop()


@pytest.fixture
def make_emulator(tmp_path: Path):
    started: List[Emulator] = []

    def make(name: str, *options: str) -> Emulator:
        folder = tmp_path / name
        folder.mkdir()
        started.append(Emulator(folder, *options))
        return started[-1]

    yield make
    for emu in started:
        emu.stop()


def run_tool(emulator: Emulator, *args: str, cwd: Optional[Path] = None) -> subprocess.CompletedProcess:
    env = dict(os.environ, QP7730_EMULATOR=emulator.socket, QP7730_LOCK_WAIT="0")
    return subprocess.run([str(TOOL), *args], env=env, cwd=cwd, capture_output=True, timeout=60)
