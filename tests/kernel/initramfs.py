#!/usr/bin/env python3
"""Builds the kernel suite's initramfs (cpio newc, gzip) from this machine's own files.

It holds busybox (static), the modules of the installed Debian kernel that a USB
mass-storage device needs (with what they depend on, from modules.dep, decompressed here
when they are stored compressed), the given programs with the shared libraries ldd names,
extra files, and the guest's /init.

    initramfs.py --output FILE [--program PATH]... [--file SRC=DEST]... --init SCRIPT
    initramfs.py --kernel      prints the kernel release and its vmlinuz path
"""
import argparse
import glob
import gzip
import lzma
import os
import re
import shutil
import subprocess
import sys
import tempfile
import zlib

# What the guest loads, in any order: the USB host controller QEMU's qemu-xhci presents,
# the SCSI disk and generic drivers, and usb-storage.
MODULES = ["usb-common", "usbcore", "xhci-hcd", "xhci-pci", "scsi_common", "scsi_mod", "sd_mod", "sg",
           "usb-storage"]


class Error(Exception):
    pass


def find_kernel():
    """(release, vmlinuz): the newest release with both /boot/vmlinuz-R and /lib/modules/R/modules.dep."""
    found = []
    for vmlinuz in glob.glob("/boot/vmlinuz-*"):
        release = vmlinuz[len("/boot/vmlinuz-"):]
        if os.path.isfile(f"/lib/modules/{release}/modules.dep") and os.access(vmlinuz, os.R_OK):
            found.append(release)
    if not found:
        raise Error("no kernel: /boot/vmlinuz-* with its /lib/modules/*/modules.dep (package linux-image-amd64)")
    key = lambda r: [int(p) if p.isdigit() else p for p in re.split(r"[.-]", r)]
    release = sorted(found, key=key)[-1]
    return release, f"/boot/vmlinuz-{release}"


def uncompressed_kernel(release, vmlinuz, directory):
    """The kernel's ELF image, unpacked here, when the kernel can start from it (PVH entry):
    QEMU then loads it directly and the guest does not spend its first seconds unpacking
    itself under TCG. Else vmlinuz as it is."""
    try:
        with open(f"/boot/config-{release}") as f:
            if "CONFIG_PVH=y\n" not in f.read():
                return vmlinuz
        with open(vmlinuz, "rb") as f:
            packed = f.read()
    except OSError:
        return vmlinuz
    stamp = f"{vmlinuz} {len(packed)} {os.stat(vmlinuz).st_mtime_ns}\n"
    path, stamp_path = os.path.join(directory, "vmlinux"), os.path.join(directory, "vmlinux.stamp")
    if os.path.exists(path) and os.path.exists(stamp_path) and open(stamp_path).read() == stamp:
        return path
    for magic, unpack in ((b"\xfd7zXZ\x00", lambda d: lzma.LZMADecompressor().decompress(d)),
                          (b"\x1f\x8b\x08", lambda d: zlib.decompressobj(31).decompress(d))):
        at = packed.find(magic)
        while at >= 0:
            try:
                elf = unpack(packed[at:])
            except (lzma.LZMAError, zlib.error):
                elf = b""
            if elf.startswith(b"\x7fELF"):
                with open(path + ".part", "wb") as f:
                    f.write(elf)
                os.replace(path + ".part", path)
                with open(stamp_path, "w") as f:
                    f.write(stamp)
                return path
            at = packed.find(magic, at + 1)
    return vmlinuz


def module_name(path):
    return re.sub(r"\.ko(\.(gz|xz|zst))?$", "", os.path.basename(path)).replace("-", "_")


def module_load_order(release, wanted):
    """Paths under /lib/modules/RELEASE of the wanted modules and their dependencies, each after
    the ones it needs. Modules built into the kernel are left out."""
    base = f"/lib/modules/{release}"
    deps = {}
    with open(f"{base}/modules.dep") as f:
        for line in f:
            path, _, rest = line.partition(":")
            deps[path.strip()] = rest.split()
    by_name = {module_name(p): p for p in deps}
    builtin = set()
    if os.path.exists(f"{base}/modules.builtin"):
        with open(f"{base}/modules.builtin") as f:
            builtin = {module_name(line.strip()) for line in f}
    order = []

    def visit(path, chain):
        if path in order:
            return
        if path in chain:
            raise Error(f"modules.dep: a dependency loop through {path}")
        for dep in deps.get(path, []):
            visit(dep, chain + [path])
        order.append(path)

    for name in wanted:
        key = name.replace("-", "_")
        if key in by_name:
            visit(by_name[key], [])
        elif key not in builtin:
            raise Error(f"module {name} is neither in {base}/modules.dep nor built in")
    return order


def module_bytes(path):
    with open(path, "rb") as f:
        data = f.read()
    if path.endswith(".xz"):
        return lzma.decompress(data)
    if path.endswith(".gz"):
        return gzip.decompress(data)
    if path.endswith(".zst"):
        if not shutil.which("zstd"):
            raise Error(f"{path} is zstd-compressed and zstd is not installed")
        return subprocess.run(["zstd", "-dc", path], check=True, capture_output=True).stdout
    return data


def program_bytes(path):
    """The program without its debugging information, which the guest does not need."""
    if shutil.which("strip"):
        with tempfile.TemporaryDirectory() as d:
            stripped = os.path.join(d, "program")
            if subprocess.run(["strip", "--strip-debug", "-o", stripped, path], capture_output=True).returncode == 0:
                with open(stripped, "rb") as f:
                    return f.read()
    with open(path, "rb") as f:
        return f.read()


def shared_libraries(program):
    """Absolute paths of the shared libraries (and the loader) that program needs."""
    result = subprocess.run(["ldd", program], capture_output=True, text=True)
    libs = []
    for line in result.stdout.splitlines():
        line = line.strip()
        if "not found" in line:
            raise Error(f"{program}: {line}")
        m = re.match(r"(?:\S+ => )?(/\S+) \(0x", line)
        if m:
            libs.append(m.group(1))
    return libs


class Cpio:
    """A cpio archive in the newc format the kernel unpacks."""

    def __init__(self):
        self.data = bytearray()
        self.inode = 1
        self.paths = set()

    def _entry(self, path, mode, body=b""):
        name = path.lstrip("/").encode() + b"\0"
        fields = (self.inode, mode, 0, 0, 1, 0, len(body), 0, 0, 0, 0, len(name), 0)
        self.inode += 1
        self.data += b"070701" + "".join(f"{v:08X}" for v in fields).encode() + name
        self.data += b"\0" * (-len(self.data) % 4) + body
        self.data += b"\0" * (-len(self.data) % 4)
        self.paths.add(path)

    def directory(self, path):
        if path in ("", "/") or path in self.paths:
            return
        self.directory(os.path.dirname(path))
        self._entry(path, 0o040755)

    def file(self, path, body, mode=0o644):
        self.directory(os.path.dirname(path))
        if path in self.paths:
            return
        self._entry(path, 0o100000 | mode, body)

    def gzipped(self):
        self._entry("TRAILER!!!", 0)
        return gzip.compress(bytes(self.data), compresslevel=1)


def build(output, programs, files, init, release):
    archive = Cpio()
    for d in ("/dev", "/proc", "/sys", "/tmp", "/run/lock", "/bin"):
        archive.directory(d)
    busybox = shutil.which("busybox")
    if not busybox:
        raise Error("busybox is not installed (package busybox-static)")
    archive.file("/bin/busybox", open(busybox, "rb").read(), 0o755)
    with open(init, "rb") as f:
        archive.file("/init", f.read(), 0o755)

    order = []
    for path in module_load_order(release, MODULES):
        name = module_name(path) + ".ko"
        archive.file(f"/lib/modules/{name}", module_bytes(f"/lib/modules/{release}/{path}"))
        order.append(name)
    archive.file("/lib/modules/order", ("\n".join(order) + "\n").encode())

    for program in programs:
        archive.file(f"/bin/{os.path.basename(program)}", program_bytes(program), 0o755)
        # Libraries where ldd found them, so that the loader and any run path find them.
        for lib in shared_libraries(program):
            with open(os.path.realpath(lib), "rb") as f:
                archive.file(lib, f.read(), 0o755)
    for pair in files:
        source, _, dest = pair.partition("=")
        with open(source, "rb") as f:
            archive.file(dest, f.read(), 0o644)
    data = archive.gzipped()
    with open(output + ".part", "wb") as f:
        f.write(data)
    os.replace(output + ".part", output)
    return order


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output")
    parser.add_argument("--program", action="append", default=[])
    parser.add_argument("--file", action="append", default=[], help="SRC=DEST")
    parser.add_argument("--init")
    parser.add_argument("--kernel", action="store_true")
    args = parser.parse_args()
    try:
        release, vmlinuz = find_kernel()
        if args.kernel:
            print(release, vmlinuz)
            return 0
        if not args.output or not args.init:
            parser.error("--output and --init are needed")
        build(args.output, args.program, args.file, args.init, release)
    except (Error, OSError, subprocess.CalledProcessError) as e:
        print(f"initramfs: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
