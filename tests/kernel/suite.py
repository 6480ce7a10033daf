#!/usr/bin/env python3
"""The kernel suite: qp7730 through a real Linux kernel's usb-storage, SCSI and usbfs.

One boot of this machine's Debian kernel under QEMU (TCG) runs every case of CASES. The
controller is qp7730-emu --usbredir on this side, attached to the guest's xHCI through QEMU's
monitor (QMP); an unrelated USB disk (QEMU's usb-storage) is attached before it. The guest
(init.sh) runs the tool and sends back what it printed; every guest run of the tool is
mirrored here on qp7730-emu's socket, whose output is what the guest must print.

  suite.py run --source DIR --work DIR --tool P --emu P --peek P
                                                     boots, runs the cases, writes WORK/results.json
  suite.py report --work DIR CASE                    one case: exit 0 passed, 1 failed, 77 skipped
  suite.py list                                      the case names
"""
import argparse
import base64
import ctypes
import difflib
import fcntl
import gzip
import hashlib
import json
import os
import re
import select
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import initramfs  # noqa: E402

SKIP = 77
BOOT_TIMEOUT = 300      # seconds from QEMU's start to "KT ready"; TCG on a busy machine is slow
RUN_TIMEOUT = 180       # one guest request
IDENTITY = "Generic Storage RamDisc 1.00"
TIME_LINE = re.compile(r"^(Decode|Send) image time = \d+ ", re.M)


class Failed(Exception):
    pass


class Skipped(Exception):
    pass


def diff(expected, actual, what):
    lines = list(difflib.unified_diff(expected.splitlines(True), actual.splitlines(True), "expected", "guest", n=1))
    shown = "".join(lines[:40]) + ("...\n" if len(lines) > 40 else "")
    return f"{what} differs:\n{shown}"


def die_with_parent():
    # QEMU and the emulators end with this script, also when ctest kills it at its timeout.
    ctypes.CDLL("libc.so.6", use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


class LineSocket:
    """Lines over a connected stream socket, each read bounded by a timeout."""

    def __init__(self, sock):
        self.sock, self.buf = sock, b""

    def send(self, line):
        self.sock.sendall(line.encode() + b"\n")

    def readline(self, timeout):
        deadline = time.monotonic() + timeout
        while b"\n" not in self.buf:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.sock], [], [], left)[0]:
                raise Failed(f"no answer within {timeout} s")
            chunk = self.sock.recv(65536)
            if not chunk:
                raise Failed("the connection ended")
            self.buf += chunk
        line, _, self.buf = self.buf.partition(b"\n")
        return line.decode(errors="replace")


def listen(path):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.bind(path)
    s.listen(1)
    return s


def accept(listener, proc, timeout, what):
    deadline = time.monotonic() + timeout
    while not select.select([listener], [], [], 0.5)[0]:
        if proc.poll() is not None:
            raise Failed(f"QEMU ended (status {proc.returncode}) before connecting its {what}")
        if time.monotonic() > deadline:
            raise Failed(f"QEMU did not connect its {what} within {timeout} s")
    return LineSocket(listener.accept()[0])


class Qmp:
    def __init__(self, conn):
        self.conn, self.events, self.lock = conn, [], threading.Lock()
        self._read(lambda m: "QMP" in m, 30)
        self.command("qmp_capabilities")

    def _read(self, want, timeout):
        deadline = time.monotonic() + timeout
        while True:
            message = json.loads(self.conn.readline(max(0.1, deadline - time.monotonic())))
            if want(message):
                return message
            if "event" in message:
                self.events.append(message)

    def command(self, name, **arguments):
        with self.lock:
            self.conn.send(json.dumps({"execute": name, "arguments": arguments}))
            reply = self._read(lambda m: "return" in m or "error" in m, 30)
        if "error" in reply:
            raise Failed(f"QMP {name}: {reply['error'].get('desc', reply['error'])}")
        return reply["return"]

    def wait_event(self, name, timeout, **data):
        match = lambda m: m.get("event") == name and all(m.get("data", {}).get(k) == v for k, v in data.items())
        with self.lock:
            for i, event in enumerate(self.events):
                if match(event):
                    return self.events.pop(i)
            return self._read(match, timeout)


class Guest:
    """QEMU running the suite's initramfs, its request channel and its monitor."""

    def __init__(self, vmlinuz, initrd, work, sockets, other_disk):
        self.console = os.path.join(work, "console.log")
        channel, monitor = listen(f"{sockets}/channel.sock"), listen(f"{sockets}/qmp.sock")
        command = ["qemu-system-x86_64", "-accel", "tcg", "-m", "256", "-nographic", "-nodefaults",
                   "-no-user-config", "-no-reboot", "-kernel", vmlinuz, "-initrd", initrd,
                   # no_timer_check: on a busy host the emulated timer can miss the boot's IO-APIC
                   # check, which then panics the kernel ("IO-APIC + timer doesn't work!").
                   "-append", "console=ttyS0 quiet panic=-1 log_buf_len=1M no_timer_check",
                   "-serial", f"file:{self.console}",
                   "-chardev", f"socket,id=channel,path={sockets}/channel.sock", "-serial", "chardev:channel",
                   "-chardev", f"socket,id=qmp,path={sockets}/qmp.sock", "-mon", "chardev=qmp,mode=control",
                   "-device", "qemu-xhci,id=xhci",
                   "-drive", f"if=none,id=otherdisk,format=raw,file={other_disk}"]
        self.started = time.monotonic()
        self.proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=open(os.path.join(work, "qemu.err"), "wb"), preexec_fn=die_with_parent)
        self.requests = 0
        try:
            self.channel = accept(channel, self.proc, 60, "request channel")
            self.qmp = Qmp(accept(monitor, self.proc, 60, "monitor"))
            line = self.channel.readline(BOOT_TIMEOUT)
            if line != "KT ready":
                raise Failed(f"the guest said {line!r} instead of KT ready")
        except Failed as e:
            self.proc.kill()
            self.proc.wait()
            tail = ""
            for log in ("qemu.err", "console.log"):
                if os.path.exists(os.path.join(work, log)):
                    with open(os.path.join(work, log), errors="replace") as f:
                        tail += "".join(f.readlines()[-15:])
            raise Failed(f"{e}; the end of QEMU's messages and the console:\n{tail}") from None
        self.boot_seconds = time.monotonic() - self.started

    def run(self, command, timeout=RUN_TIMEOUT):
        """Runs a shell command in the guest: (status, {file name: bytes})."""
        self.requests += 1
        rid = str(self.requests)
        self.channel.send(f"RUN {rid} {command}")
        try:
            return self.answer(rid, timeout)
        except Failed as e:
            if not str(e).startswith("no answer"):
                raise
            # Twice on a busy host a request went unanswered with the guest idle. The guest
            # marks each request it takes (init.sh), so a request it never took is sent again;
            # one it took is not, since it may have done something already.
            seen = self.taken(rid)
            if seen is None:
                raise Failed(f"{e}, and none to a request after it: the guest is stuck") from None
            if seen:
                raise Failed(f"{e}: the guest took the request and is still at it, or its answer was lost") from None
            print(f"kernel suite: request {rid} never reached the guest; sent again: {command}", file=sys.stderr)
            self.channel.send(f"RUN {rid} {command}")
            return self.answer(rid, timeout)

    def taken(self, rid):
        """Whether the guest took request rid: True, False, or None when it does not answer."""
        self.requests += 1
        probe = str(self.requests)
        self.channel.send(f"RUN {probe} [ -e /tmp/kt-taken.{rid} ]")
        try:
            return self.answer(probe, 30)[0] == 0
        except Failed:
            return None

    def answer(self, rid, timeout):
        files = {}
        while True:
            words = self.channel.readline(timeout).split(" ", 4)
            if len(words) < 3 or words[:2] != ["KT", rid]:
                continue
            if words[2].startswith("rc="):
                return int(words[2][3:]), files
            if words[2] == "file" and len(words) == 5:
                files[words[3]] = gzip.decompress(base64.b64decode(words[4]))

    def check(self, command, timeout=RUN_TIMEOUT):
        rc, files = self.run(command, timeout)
        if rc != 0:
            out = files.get("command.out", b"").decode(errors="replace")
            raise Failed(f"in the guest, `{command}` ended with status {rc}: {out.strip()}")
        return files

    def stop(self):
        if self.proc.poll() is None:
            try:
                self.channel.send("OFF")
                self.proc.wait(30)
            except (OSError, subprocess.TimeoutExpired):
                pass
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


class Emulator:
    """qp7730-emu on this side, on its socket or as a USB device for QEMU (usbredir)."""

    def __init__(self, binary, directory, usbredir=False, options=()):
        os.makedirs(directory, exist_ok=True)
        self.dir, self.usbredir = directory, usbredir
        self.socket = os.path.join(directory, "emu.sock")
        self.flash, self.trace, self.png = (os.path.join(directory, n) for n in ("flash.bin", "trace.json", "panel.png"))
        command = [binary, "--usbredir" if usbredir else "--socket", self.socket, "--flash-file", self.flash,
                   "--trace", self.trace, "--png", self.png, *options]
        # Its ready line: "listening on" (standard output) on the socket, "usbredir on" (standard
        # error) as a USB device; both streams are read as one.
        self.proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, preexec_fn=die_with_parent)
        self.output = b""
        ready = f"qp7730-emu: {'usbredir on' if usbredir else 'listening on'} {self.socket}\n".encode()
        deadline, fd = time.monotonic() + 30, self.proc.stdout.fileno()
        while ready not in self.output:
            left = deadline - time.monotonic()
            chunk = os.read(fd, 65536) if left > 0 and select.select([fd], [], [], left)[0] else None
            if not chunk:
                self.proc.kill()
                raise Failed(f"qp7730-emu {'ended' if chunk == b'' else 'did not start within 30 s'}: "
                             f"{self.output.decode(errors='replace').strip()}")
            self.output += chunk
        threading.Thread(target=self._drain, daemon=True).start()

    def _drain(self):
        for chunk in iter(lambda: os.read(self.proc.stdout.fileno(), 65536), b""):
            self.output += chunk

    def trace_lines(self):
        """The trace so far; a line still being written is left out."""
        lines = []
        try:
            with open(self.trace) as f:
                for line in f:
                    try:
                        lines.append(json.loads(line))
                    except ValueError:
                        pass
        except FileNotFoundError:
            pass
        return lines

    def wait(self, timeout):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            if self.wait(10) is None:
                self.proc.kill()
        return self.proc.wait()


class Suite:
    def __init__(self, args):
        self.source, self.work = args.source, args.work
        self.tool, self.emu, self.peek_program = (os.path.abspath(p) for p in (args.tool, args.emu, args.peek))
        self.files = os.path.join(self.work, "files")
        self.sockets = tempfile.mkdtemp(prefix="qp7730-kernel-")
        self.guest = self.controller = self.reference = None
        self.plugs = 0
        self.problems = []

    # ---- checks
    def expect(self, ok, message):
        if not ok:
            self.problems.append(message)
        return ok

    # ---- the guest's drives and the controller's USB device
    def drives(self):
        """{letter: identity} of the guest's SCSI disks."""
        out = self.guest.check("drives > drives")["drives"].decode()
        return {line[2]: line[4:] for line in out.splitlines() if line.startswith("sd")}

    def discovery(self, upto):
        """What the drive search prints up to and including the controller's letter. A disk
        that is not the controller is never opened: its DevName line is the identity the
        kernel recorded for it."""
        drives, text = self.drives(), ""
        for letter in "abcdefghijklmnopqrstuvwxyz":
            text += f"\nSearching for device in {letter.upper()}:// ...\n"
            if letter in drives:
                text += f"Device found.\nDevName: {drives[letter]}\n"
            else:
                text += "-1: No device connected.\n"
            if letter == upto:
                return text
        return text + "QP7730 not found!\n"

    def plug(self, options=(), name=None):
        """Starts a usbredir emulator, attaches it and waits until its disk is there: the letter."""
        self.plugs += 1
        emulator = Emulator(self.emu, os.path.join(self.work, name or f"controller{self.plugs}"), True, options)
        chardev = f"ur{self.plugs}"
        try:
            self.guest.qmp.command("chardev-add", id=chardev, backend={
                "type": "socket", "data": {"addr": {"type": "unix", "data": {"path": emulator.socket}}, "server": False}})
            self.guest.qmp.command("device_add", driver="usb-redir", chardev=chardev, bus="xhci.0", id="ctl")
            files = self.guest.check(f"waitfor 60 ctl_drive && ctl_drive > letter")
        except Failed:
            emulator.stop()
            raise
        emulator.chardev, emulator.letter = chardev, files["letter"].decode().strip()
        self.controller = emulator
        return emulator

    def unplug(self, emulator, pulled=False):
        """Detaches the controller (pulled: device_del was sent already); its emulator must then
        end with status 0."""
        if not pulled:
            self.guest.qmp.command("device_del", id="ctl")
        self.guest.qmp.wait_event("DEVICE_DELETED", 30, device="ctl")
        # QEMU closes a usb-redir device's chardev with the device; remove it where it does not.
        try:
            self.guest.qmp.command("chardev-remove", id=emulator.chardev)
        except Failed:
            pass
        status = emulator.wait(15)
        self.expect(status == 0, f"qp7730-emu --usbredir ended with {status} after QEMU let go "
                                 f"(expected 0): {emulator.output.decode(errors='replace').strip()}")
        emulator.stop()
        self.guest.check("waitfor 30 no_ctl_drive")
        self.controller = None

    # ---- the tool, in the guest and mirrored on the socket
    def guest_tool(self, runs, prefix="", suffix="", runner="tool"):
        """Runs (name, args) in the guest: {name: (out, err, status)}. runner "seat": as the
        user at the seat."""
        command = prefix + "; ".join(f"{runner} " + " ".join(shlex.quote(w) for w in [name, *args])
                                     for name, args in runs) + suffix
        files = self.guest.check(command)
        kept = os.path.join(self.work, "guest", self.current)
        os.makedirs(kept, exist_ok=True)
        for name, data in files.items():
            with open(os.path.join(kept, name), "wb") as f:
                f.write(data)
        result = {}
        for name, _ in runs:
            text = lambda ext: files.get(f"{name}.{ext}", b"").decode(errors="replace")
            result[name] = (text("out"), text("err"), int(text("rc") or -1))
        return result

    def host_tool(self, runs, emulator):
        result = {}
        env = dict(os.environ, QP7730_EMULATOR=emulator.socket)
        for name, args in runs:
            p = subprocess.run([self.tool, *args], cwd=self.files, env=env, stdin=subprocess.DEVNULL,
                               capture_output=True, timeout=RUN_TIMEOUT)
            result[name] = (p.stdout.decode(errors="replace"), p.stderr.decode(errors="replace"), p.returncode)
        return result

    def compare(self, runs, route, runner="tool"):
        """The runs in the guest on the route ("drive" or "usb") against the mirror's: problems
        noted. On the drive route the usbfs nodes are hidden for the runs: the USB route would
        take the interface from usb-storage."""
        guest = self.guest_tool(runs, *DRIVE_ONLY if route == "drive" else ("", ""), runner=runner)
        mirror = self.host_tool(runs, self.reference)
        search = self.discovery(self.controller.letter) if route == "drive" else ""
        for name, args in runs:
            out, err, rc = guest[name]
            prefix = "" if args == ["--help"] else search
            want_out, want_err, want_rc = mirror[name]
            what = f"qp7730 {' '.join(args)} over the {route} route"
            if not self.expect(out.startswith(prefix), diff(prefix, out[:len(prefix) + 200], f"{what}: the search")):
                continue
            out, want_out = TIME_LINE.sub(r"\1 image time = N ", out[len(prefix):]), TIME_LINE.sub(r"\1 image time = N ", want_out)
            self.expect(out == want_out, diff(want_out, out, f"{what}: standard output"))
            self.expect(err == want_err, diff(want_err, err, f"{what}: standard error"))
            self.expect(rc == want_rc, f"{what}: exit status {rc}, on the socket {want_rc}")
        return guest

    def image_buffer_sums(self, route):
        """sha256 of the image buffer through the guest's route and through the mirror's socket."""
        here = os.path.join(self.work, "buffer.bin")
        subprocess.run([self.peek_program, self.reference.socket, here], check=True, capture_output=True, timeout=RUN_TIMEOUT)
        with open(here, "rb") as f:
            want = hashlib.sha256(f.read()).hexdigest()
        got = self.guest.check(f"kernel_peek {route} /tmp/buffer.bin && sha256sum < /tmp/buffer.bin > sum; rm -f /tmp/buffer.bin")
        return got["sum"].decode().split()[0], want


# ---- the cases ------------------------------------------------------------------------

ACTIONS = [  # every row of the tool's command table, in an order that leaves traces for the next
    ("help", ["--help"]),
    ("version", ["-version"]),
    ("engine", ["0xAD"]),
    ("lowspeed", ["0xAC"]),
    ("flashtexts", ["0x97"]),
    ("fill", ["-load", "5A", "10", "20", "300", "40"]),
    ("dump", ["0x81"]),
    ("direct", ["-HTFY", "0", "0", "640", "480", "3", "1"]),
    ("display", ["-display", "-wait", "0", "0", "400", "300", "2"]),
    ("nowait", ["-display", "-nowait", "100", "100", "64", "64", "1"]),
    ("vcom", ["-pmic", "0", "1750"]),
    ("power", ["-pmic", "1", "1"]),
    ("both", ["-pmic", "2", "1600", "0"]),
    ("waveform", ["-upgrade", "2", "wf.wbf"]),
    ("amount", ["-load", "1", "2", "3", "4"]),
]
USB_ACTIONS = [a for a in ACTIONS if a[0] in ("version", "engine", "flashtexts", "fill", "display", "both")]


def case_other_disk(s):
    """c: QEMU's USB disk attached: the search reports it at A: and finds no controller, as it
    finds none with no disk at all."""
    runs = [("version", ["-version"])]
    alone = s.guest_tool(runs)["version"]
    s.guest.qmp.command("device_add", driver="usb-storage", bus="xhci.0", drive="otherdisk", id="otherdisk")
    s.guest.check("waitfor 60 [ -b /dev/sda ]")
    out, err, rc = s.guest_tool(runs)["version"]
    drives = s.drives()
    s.expect(list(drives) == ["a"] and drives["a"] != IDENTITY, f"the other disk is not the only one, /dev/sda: {drives}")
    search, nothing = s.discovery(None), "".join(
        f"\nSearching for device in {c}:// ...\n-1: No device connected.\n" for c in "ABCDEFGHIJKLMNOPQRSTUVWXYZ")
    if s.expect(alone[0].startswith(nothing), diff(nothing, alone[0], "the search with no disk")):
        want = search + alone[0][len(nothing) + len("QP7730 not found!\n"):]
        s.expect(out == want, diff(want, out, "the output with the other disk"))
    s.expect((err, rc) == alone[1:], f"standard error and status {(err, rc)}, with no disk {alone[1:]}")


def case_controller_after_other_disk(s):
    """c: the controller plugged after the other disk is /dev/sdb, and the search finds it there."""
    s.expect(s.controller.letter == "b", f"the controller is /dev/sd{s.controller.letter}, not /dev/sdb")
    s.compare([("version", ["-version"])], "drive")


def case_drive_actions(s):
    """a: every action through usb-storage and SG_IO prints what it prints on the socket."""
    s.compare(ACTIONS, "drive")
    # Each emulator replaces its PNG shortly after the last refresh: the two are compared
    # until they agree, as long as either still changes within a few seconds.
    deadline, same = time.monotonic() + 10, False
    while not same and time.monotonic() < deadline:
        with open(s.controller.png, "rb") as a, open(s.reference.png, "rb") as b:
            same = a.read() == b.read()
        if not same:
            time.sleep(0.05)  # polled: the files are compared again, until the deadline
    s.expect(same, "the panel PNG differs from the socket route's")


def case_drive_picture(s):
    """a: a picture load leaves the same image buffer bytes as on the socket."""
    s.compare([("picture", ["-load", "sample.jpg"])], "drive")
    got, want = s.image_buffer_sums(f"/dev/sd{s.controller.letter}")
    s.expect(got == want, f"image buffer sha256 {got}, on the socket {want}")


def case_drive_upgrade(s):
    """a: a 256 KiB firmware upgrade lands byte for byte in the emulator's flash file."""
    s.compare([("upgrade", ["-upgrade", "1", "fw.bin"])], "drive")
    with open(os.path.join(s.files, "fw.bin"), "rb") as f:
        firmware = f.read()
    with open(s.controller.flash, "rb") as f:
        flash = f.read()
    with open(s.reference.flash, "rb") as f:
        s.expect(flash == f.read(), "the flash file differs from the socket route's")
    s.expect(flash[:len(firmware)] == firmware, "the firmware in the flash file differs from fw.bin")


def case_usbfs_route(s):
    """b: with usb-storage unbound, the tool takes the USB route through usbfs."""
    s.guest.check("ctl_unbind")
    s.compare(USB_ACTIONS, "usb")
    s.guest.check("ctl_bind && waitfor 30 ctl_drive")


# Runs back to back at the seat: usb-storage, given the interface back at the end of one run,
# is still probing the disk when the next run takes the interface again, and the kernel logs
# the probe's last commands as cut short. Nothing is lost: the next run has the controller.
PROBE_CUT_SHORT = [r"Read Capacity\(10\) failed: Result: hostbyte=DID_ERROR", r"Assuming drive cache",
                   r"Asking for cache data failed"]


def case_usbfs_takes_from_usb_storage(s):
    """b: with usb-storage bound again, the USB route takes the interface from it for each run
    and gives it back: the disk is there again after every run."""
    s.allowed_kernel_lines[s.current] = PROBE_CUT_SHORT
    s.compare([("version", ["-version"]), ("flashtexts", ["0x97"])], "usb")
    s.guest.check("waitfor 30 ctl_drive")


def case_seat_user(s):
    """g: the user at the seat (not root, no group, no capability), given only the USB node
    as the udev rule's uaccess gives it, runs every action on a controller that usb-storage
    had bound; usb-storage has it back after the runs."""
    s.allowed_kernel_lines[s.current] = PROBE_CUT_SHORT
    s.guest.check("seat_node")
    try:
        s.compare(ACTIONS + [("picture", ["-load", "sample.jpg"]), ("upgrade", ["-upgrade", "1", "fw.bin"])],
                  "usb", runner="seat")
        s.guest.check("waitfor 30 ctl_drive")
    finally:
        s.guest.check("root_node")


def case_seat_user_after_sigkill(s):
    """g: a run of the user at the seat killed with SIGKILL in the middle of a load leaves the
    interface without a driver; the next run of that user works, on USB."""
    s.allowed_kernel_lines[s.current] = PROBE_CUT_SHORT
    s.guest.check("seat_node")
    try:
        # Killed once it has the interface (the disk is gone), in the middle of the load; its
        # status file is written once the killed run has been reaped and its usbfs node closed.
        s.guest.check("(seat killed -load FF 0 0 1872 1404 &); waitfor 20 no_ctl_drive && "
                      "kill -9 $(pidof qp7730) && waitfor 20 [ -s $KT/killed.rc ] && no_ctl_drive")
        s.compare([("version", ["-version"]), ("fill", ["-load", "5A", "10", "20", "300", "40"])], "usb",
                  runner="seat")
    finally:
        s.guest.check("root_node; ctl_bind; waitfor 30 ctl_drive")


def case_seat_user_told_why(s):
    """g: the user at the seat without the udev rule (the USB node and the disk root's): the
    search finds nothing, prints what it prints with no controller, and says once on standard
    error for each node why and what to do; the exit status is the one without a controller."""
    out, err, rc = s.guest_tool([("version", ["-version"])], runner="seat")["version"]
    mirror = Emulator(s.emu, os.path.join(s.work, "told-why-none"), options=[])
    mirror.stop()
    want_out, _, want_rc = s.host_tool([("version", ["-version"])], mirror)["version"]
    search = s.discovery(None)
    s.expect(out.startswith(search.replace(
        f"\nSearching for device in {s.controller.letter.upper()}:// ...\nDevice found.\nDevName: {IDENTITY}\n",
        f"\nSearching for device in {s.controller.letter.upper()}:// ...\n-1: No device connected.\n")),
        diff(search, out, "the search of the user at the seat"))
    s.expect(rc == want_rc, f"exit status {rc}, with no controller {want_rc}")
    lines = err.splitlines()
    s.expect(any("/dev/bus/usb/" in l and "70-qp7730.rules" in l for l in lines), f"no USB hint: {err!r}")
    s.expect(any(f"/dev/sd{s.controller.letter}" in l and "70-qp7730.rules" in l for l in lines),
             f"no drive hint: {err!r}")
    s.expect(len(lines) == len(set(lines)), f"a hint said twice: {err!r}")


def case_unplug_mid_load(s):
    """d: the controller pulled out while a full-panel load runs: the run ends within seconds."""
    emulator = s.plug(name="unplugged")
    pulled, done = {}, threading.Event()

    def pull():
        # The trace file grows as the load goes: look at it until the load has started.
        while not done.wait(0.02):
            if any(line.get("cmd", "").lower() in ("0xa2", "0xa5") for line in emulator.trace_lines()):
                pulled["at"] = time.monotonic()
                s.guest.qmp.command("device_del", id="ctl")
                return

    watcher = threading.Thread(target=pull)
    watcher.start()
    started = time.monotonic()
    try:
        out, err, rc = s.guest_tool([("load", ["-load", "FF", "0", "0", "1872", "1404"])], *DRIVE_ONLY)["load"]
    finally:
        ended = time.monotonic()
        done.set()
        watcher.join()
    if not s.expect("at" in pulled, f"the trace ({len(emulator.trace_lines())} lines) never showed the load, "
                                    f"which ended with status {rc}: {err.strip()}"):
        return
    s.unplug(emulator, pulled=True)
    print(f"  unplugged {pulled['at'] - started:.1f} s into the run, which ended {ended - pulled['at']:.1f} s later")
    s.expect(ended - pulled["at"] < 20, f"the run went on {ended - pulled['at']:.0f} s after the unplug")
    s.expect(rc in (0, 255), f"exit status {rc}")
    s.expect(f"/dev/sd{emulator.letter}" in err and "[FAIL]" in err, f"no clear message on standard error: {err!r}")


# Each fault kind on the first 0x81 read of 0x97 (the tool's fourth command; a 0x97 and a
# 0x81 follow in the same run), on the drive route (usb-storage, SG_IO) and the USB route
# (usbfs): what the tool prints beside what it prints on the socket for the same fault (the
# commands after the fault must work as there: the recovery left the device usable), the
# kernel lines the fault may cause, and a -version after it that must run as a sound one.
RESET = r"reset high-speed USB device"
# The shell around runs that must take the drive route (see compare).
DRIVE_ONLY = ("no_usb; ", "; usb_back")
FAULTS = [
    # kind, route, expected difference from the socket route (None: none; "stderr: ..." when only
    # standard error differs, "outcome: ..." when standard output may too), kernel lines allowed
    # The kernel retries a command that ends with HARDWARE ERROR sense (which fail-status
    # leaves), and the retry succeeds: the run prints what a sound run prints.
    ("fail-status", "drive", "outcome: the SCSI layer retries the failed command once and the retry succeeds", []),
    ("fail-status", "usb", None, []),
    ("bad-signature", "drive", "stderr: usb-storage treats the bad status wrapper as a transport error and resets "
                               "the device; the tool reports the SG_IO host status", [RESET]),
    ("bad-signature", "usb", None, []),
    ("no-answer", "drive", "stderr: SG_IO times out after 5 s and the kernel resets the device; the tool reports "
                           "the SG_IO host status", [RESET]),
    ("no-answer", "usb", "stderr: the [FAIL] lines carry libusb's LIBUSB_ERROR_TIMEOUT (-7) where the socket gives "
                         "ETIMEDOUT (110)", []),
    ("short-data", "drive", None, []),
    ("short-data", "usb", None, []),
    ("flip-bit", "drive", None, []),
    ("flip-bit", "usb", None, []),
    # usb-storage clears the stalled pipe, reads the failed status and its HARDWARE ERROR
    # sense, and the SCSI layer retries as for fail-status.
    ("stall-data", "drive", "outcome: the SCSI layer retries the failed command once and the retry succeeds", []),
    ("stall-data", "usb", "stderr: the stalled data phase adds its [FAIL] DATA line with libusb's LIBUSB_ERROR_PIPE "
                          "(-9); the socket has no stall", []),
    ("stall-status", "drive", None, []),
    ("stall-status", "usb", None, []),
    ("phase-error", "drive", "stderr: usb-storage treats the phase error as a transport error and resets the "
                             "device; the tool reports the SG_IO host status", [RESET]),
    ("phase-error", "usb", None, []),
]
FAULT_COMMAND = 4
# Standard error on the USB route for a "stderr:" row, from the socket's.
USB_STDERR = {
    "no-answer": lambda err: err.replace("(110)", "(-7)"),
    "stall-data": lambda err: "[FAIL] DATA (-9)\n" + err,
}


def fault_case(kind, route, difference, allowed):
    def case(s):
        s.allowed_kernel_lines[s.current] = allowed
        runs = [("texts", ["0x97"]), ("again", ["-version"])]
        offset = s.fault_offsets.get(route)
        if offset is None:
            emulator = s.plug(name=f"calibrate-{route}")
            s.guest_tool(runs, *(("ctl_unbind; ", "") if route == "usb" else DRIVE_ONLY))
            # The tool's commands: vendor blocks, and its INQUIRY (allocation length 0, where
            # the kernel's asks for 36 bytes or more).
            tool = [line["seq"] for line in emulator.trace_lines()
                    if line.get("cdb", "").startswith("fe") or line.get("cdb", "").startswith("1200000000")]
            s.unplug(emulator)
            if len(tool) < FAULT_COMMAND:
                raise Failed(f"the calibration run sent {len(tool)} of the tool's commands")
            offset = s.fault_offsets[route] = tool[FAULT_COMMAND - 1] - FAULT_COMMAND
        emulator = s.plug([f"--fault={kind}@{offset + FAULT_COMMAND}"], name=f"fault-{kind}-{route}")
        guest_runs = s.guest_tool(runs, *(("ctl_unbind; ", "") if route == "usb" else DRIVE_ONLY))
        guest = guest_runs["texts"]
        hit = [line for line in emulator.trace_lines() if line.get("fault")]
        # The drive search as it was while the controller was there.
        prefix = s.discovery(emulator.letter) if route == "drive" else ""
        s.unplug(emulator)
        mirror_emu = Emulator(s.emu, os.path.join(s.work, f"fault-{kind}-socket"), options=[f"--fault={kind}@{FAULT_COMMAND}"])
        try:
            mirror = s.host_tool(runs, mirror_emu)
        finally:
            mirror_emu.stop()
        want = mirror["texts"]
        again, want_again = guest_runs["again"], mirror["again"]
        again_out = again[0][len(prefix):] if again[0].startswith(prefix) else again[0]
        s.expect((again_out, again[1], again[2]) == want_again and want_again[1:] == ("", 0),
                 diff(f"{want_again[0]}--stderr--\n{want_again[1]}status {want_again[2]}\n",
                      f"{again_out}--stderr--\n{again[1]}status {again[2]}\n", "the run after the fault"))
        s.expect(len(hit) == 1 and hit[0].get("cmd") == "0x81", f"the fault hit {hit}, not the tool's 0x81")
        out = guest[0][len(prefix):] if guest[0].startswith(prefix) else guest[0]
        same = (out, guest[1], guest[2]) == want
        print(f"  {kind} on the socket: {want[1:]!r}; over the {route} route: {guest[1:]!r}")
        if difference is None:
            s.expect(same, diff(f"{want[0]}--stderr--\n{want[1]}status {want[2]}\n",
                                f"{out}--stderr--\n{guest[1]}status {guest[2]}\n", "the outcome"))
        else:
            s.expect(not same, f"the expected difference ({difference}) did not show: the outcome is the socket's")
            if difference.startswith("stderr:"):
                s.expect(out == want[0], diff(want[0], out, "standard output"))
                if route == "usb" and kind in USB_STDERR:
                    s.expect(guest[1] == USB_STDERR[kind](want[1]), diff(USB_STDERR[kind](want[1]), guest[1],
                                                                        "standard error"))
    case.__doc__ = f"e: fault {kind} over the {route} route" + (f" (expected: {difference})" if difference else "")
    return case


PROBLEM_LINE = re.compile(r"reset \S+ USB device|I/O error|device descriptor read|not accepting address|"
                          r"error -\d+|Assuming drive cache|hostbyte=(?!DID_OK)")


def case_kernel_log(s):
    """f: the guest's kernel log: the controller binds, no resets, no I/O errors, but where a fault case allows."""
    log = s.guest.check("dmesg > dmesg")["dmesg"].decode(errors="replace")
    with open(os.path.join(s.work, "dmesg.txt"), "w") as f:
        f.write(log)
    current = "boot"
    for line in log.splitlines():
        if "KT mark case " in line:
            current = line.split("KT mark case ", 1)[1].strip()
        elif PROBLEM_LINE.search(line) and not any(re.search(p, line) for p in s.allowed_kernel_lines.get(current, [])):
            s.expect(False, f"during {current}: {line.strip()}")
    if s.usbredir:
        s.expect(re.search(r"idVendor=3a7c, idProduct=7730", log), "the controller never enumerated")
        s.expect(re.search(r"\[sdb\] Attached SCSI", log), "no disk was attached for the controller")


def case_other_disk_unchanged(s):
    """c: the other disk's image file is unchanged (sha256 after QEMU ended)."""
    s.guest.stop()
    with open(s.other_disk, "rb") as f:
        s.expect(hashlib.sha256(f.read()).hexdigest() == s.other_disk_sum, "the other disk's image file changed")


# name, needs the usbredir front, needs the controller plugged, function. other_disk attaches
# the other disk first, so that it is /dev/sda and the controller /dev/sdb.
CASES = [
    ("other_disk", False, False, case_other_disk),
    ("controller_after_other_disk", True, True, case_controller_after_other_disk),
    ("drive_actions", True, True, case_drive_actions),
    ("drive_picture", True, True, case_drive_picture),
    ("drive_upgrade", True, True, case_drive_upgrade),
    ("usbfs_route", True, True, case_usbfs_route),
    ("usbfs_takes_from_usb_storage", True, True, case_usbfs_takes_from_usb_storage),
    ("seat_user", True, True, case_seat_user),
    ("seat_user_after_sigkill", True, True, case_seat_user_after_sigkill),
    ("seat_user_told_why", True, True, case_seat_user_told_why),
    ("unplug_mid_load", True, False, case_unplug_mid_load),
    *[(f"fault_{kind.replace('-', '_')}_{route}", True, False, fault_case(kind, route, diff_, allowed))
      for kind, route, diff_, allowed in FAULTS],
    ("kernel_log", False, False, case_kernel_log),
    ("other_disk_unchanged", False, False, case_other_disk_unchanged),
]


def make_files(s):
    """The picture, firmware and waveform files the cases load, here and in the guest's /kt."""
    os.makedirs(s.files, exist_ok=True)
    shutil.copy(os.path.join(s.source, "samples", "sample.jpg"), os.path.join(s.files, "sample.jpg"))
    firmware = bytearray(hashlib.sha256(b"fw%d" % i).digest()[j] for i in range(8192) for j in range(32))
    firmware[:16] = b"QPXEPD7730_A0100"
    firmware[0x120:0x130] = b"FW 2.00 kernel\0\0"
    waveform = bytes((i * 7) & 0xFF for i in range(4096))
    for name, data in (("fw.bin", firmware), ("wf.wbf", waveform)):
        with open(os.path.join(s.files, name), "wb") as f:
            f.write(data)
    # The other USB disk: 1 MiB of a pattern, no partition table.
    s.other_disk = os.path.join(s.work, "other-disk.img")
    disk = b"".join(hashlib.sha256(b"disk%d" % i).digest() for i in range(32768))
    disk = bytes(512) + disk[512:]
    with open(s.other_disk, "wb") as f:
        f.write(disk)
    s.other_disk_sum = hashlib.sha256(disk).hexdigest()


def run_cases(s, results, save):
    for index, (name, needs_usbredir, needs_plug, function) in enumerate(CASES):
        started = time.monotonic()
        s.current, s.problems = name, []
        status = None
        try:
            if needs_usbredir and not s.usbredir:
                raise Skipped("needs qp7730-emu --usbredir, which this build does not have")
            if s.guest.proc.poll() is not None and name != "other_disk_unchanged":
                raise Failed("QEMU has ended")
            if name != "other_disk_unchanged":
                s.guest.check(f"mark case {name}")
            if needs_plug and s.controller is None:
                if s.reference is not None:
                    s.reference.stop()
                s.reference = Emulator(s.emu, os.path.join(s.work, "socket"))
                s.plug(name="controller")
            function(s)
        except Skipped as e:
            status, s.problems = "skipped", [str(e)]
        except Failed as e:
            s.problems.append(str(e))
        except Exception as e:  # a fault of the suite itself: reported with the case
            s.problems.append(f"{type(e).__name__}: {e}")
        # The controller stays attached from one case to the next that needs it; a case that
        # plugs its own leaves it attached only when it failed half-way.
        later = CASES[index + 1:]
        if not (needs_plug and later and later[0][2]):
            try:
                if s.controller is not None:
                    s.unplug(s.controller)
            except Failed as e:
                s.problems.append(f"detaching the controller: {e}")
            if needs_plug and s.reference is not None:
                s.reference.stop()
        status = status or ("failed" if s.problems else "passed")
        seconds = time.monotonic() - started
        results[name] = {"status": status, "message": "\n".join(s.problems), "seconds": round(seconds, 1),
                         "doc": function.__doc__}
        print(f"kernel.{name}: {status} ({seconds:.1f} s)", flush=True)
        save()


def run(args):
    results_path = os.path.join(args.work, "results.json")
    os.makedirs(args.work, exist_ok=True)
    # One run at a time in a work folder: a second one would take its files from under it.
    lock = open(os.path.join(args.work, "lock"), "w")
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        print(f"kernel suite: another run uses {args.work}")
        return 1
    if os.path.exists(results_path):
        os.remove(results_path)
    results = {}

    def save(**extra):
        results.update(extra)
        with open(results_path + ".part", "w") as f:
            json.dump(results, f, indent=1)
        os.replace(results_path + ".part", results_path)

    def skip_all(reason):
        print(f"kernel suite skipped: {reason}")
        for name, *_ in CASES:
            results[name] = {"status": "skipped", "message": reason, "seconds": 0}
        save()
        return SKIP

    try:
        release, vmlinuz = initramfs.find_kernel()
    except initramfs.Error as e:
        return skip_all(str(e))
    for program, package in (("qemu-system-x86_64", "qemu-system-x86"), ("busybox", "busybox-static")):
        if not shutil.which(program):
            return skip_all(f"{program} is not installed (package {package})")
    accelerators = subprocess.run(["qemu-system-x86_64", "-accel", "help"], capture_output=True, text=True).stdout
    if "tcg" not in accelerators.split():
        return skip_all("this qemu-system-x86_64 has no TCG (software emulation)")

    s = Suite(args)
    help_text = subprocess.run([s.emu, "--help"], capture_output=True, text=True).stdout
    s.usbredir = "--usbredir" in help_text
    s.fault_offsets, s.allowed_kernel_lines = {}, {}
    try:
        make_files(s)
        started = time.monotonic()
        initrd = os.path.join(args.work, "initrd.gz")
        initramfs.build(initrd, [s.tool, s.emu, s.peek_program],
                        [f"{os.path.join(s.files, n)}=/kt/{n}" for n in sorted(os.listdir(s.files))],
                        os.path.join(os.path.dirname(os.path.abspath(__file__)), "init.sh"), release)
        built = time.monotonic() - started
        try:
            kernel = initramfs.uncompressed_kernel(release, vmlinuz, args.work)
            s.guest = Guest(kernel, initrd, args.work, s.sockets, s.other_disk)
        except Failed as e:
            print(f"kernel suite: the guest did not come up: {e}")
            return 1
        print(f"kernel suite: {release}, initramfs {built:.1f} s, boot {s.guest.boot_seconds:.1f} s "
              f"({os.path.basename(kernel)}); usbredir front: {'yes' if s.usbredir else 'no'}", flush=True)
        save(_boot={"seconds": round(s.guest.boot_seconds, 1), "initramfs": round(built, 1)})
        run_cases(s, results, save)
    except (Failed, initramfs.Error, OSError, subprocess.SubprocessError) as e:
        print(f"kernel suite: {e}")
        return 1
    finally:
        for emulator in (s.controller, s.reference):
            if emulator is not None:
                emulator.stop()
        if s.guest is not None:
            s.guest.stop()
        shutil.rmtree(s.sockets, ignore_errors=True)
    return 0


def report(args):
    try:
        with open(os.path.join(args.work, "results.json")) as f:
            result = json.load(f).get(args.case)
    except (OSError, ValueError):
        result = None
    if result is None:
        print(f"kernel.{args.case}: no result (kernel.boot did not run this case; see its output)")
        return 1
    print(f"kernel.{args.case}: {result['status']} after {result['seconds']} s - {result.get('doc') or ''}")
    if result["message"]:
        print(result["message"])
    return {"passed": 0, "skipped": SKIP}.get(result["status"], 1)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="what", required=True)
    r = sub.add_parser("run")
    for option in ("--source", "--work", "--tool", "--emu", "--peek"):
        r.add_argument(option, required=True)
    p = sub.add_parser("report")
    p.add_argument("--work", required=True)
    p.add_argument("case")
    sub.add_parser("list")
    args = parser.parse_args()
    if args.what == "list":
        print(";".join(name for name, *_ in CASES))
        return 0
    return run(args) if args.what == "run" else report(args)


if __name__ == "__main__":
    sys.exit(main())
