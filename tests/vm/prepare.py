#!/usr/bin/env python3
"""Gets everything the guest needs and puts it together: QEMU and a static busybox (installed when
missing), a Debian kernel (downloaded and unpacked, never installed, and kept in a cache), the
project's programs built static from these sources, and the initramfs that carries them.

    prepare.py --source DIR --work DIR --kernel-cache DIR
"""
import argparse
import lzma
import os
import re
import shutil
import subprocess
import sys
import tarfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cpio import Archive  # noqa: E402

# The adapter's driver and the USB host controller it sits behind; the 16550's driver is built in.
WANTED_MODULES = ("xhci-pci", "ftdi_sio")
GUEST_TARGETS = ("quorvane", "vm_port_test", "vm_devstate")
# The ordinary user of the exclusive-use checks.
PASSWD = "root:x:0:0:root:/:/bin/sh\nnobody:x:65534:65534:nobody:/:/bin/false\n"
GROUP = "root:x:0:\nnogroup:x:65534:\n"


def log(text):
    print("prepare: " + text, flush=True)


def apt_install(packages):
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    log("installing " + " ".join(packages))
    subprocess.run(["apt-get", "update", "-q"], check=True, env=env, stdout=subprocess.DEVNULL)
    subprocess.run(["apt-get", "install", "-y", "-q", "--no-install-recommends"] + list(packages),
                   check=True, env=env, stdout=subprocess.DEVNULL)


def installed(package):
    query = subprocess.run(["dpkg-query", "-W", "-f=${Status}", package], capture_output=True, text=True)
    return query.returncode == 0 and query.stdout.endswith("installed")


def ensure_packages():
    missing = []
    if shutil.which("qemu-system-x86_64") is None:
        missing.append("qemu-system-x86")
    # The dynamic busybox has the same path: only the static one runs in a guest without libc.
    if not installed("busybox-static"):
        missing.append("busybox-static")
    if missing:
        apt_install(missing)


def kernel_package():
    """The versioned image package that linux-image-amd64 stands for today."""
    for attempt in range(2):
        depends = subprocess.run(["apt-cache", "depends", "linux-image-amd64"], capture_output=True, text=True)
        found = re.search(r"Depends: (linux-image-\S+-amd64)\b", depends.stdout)
        if found:
            return found.group(1)
        if attempt == 0:
            subprocess.run(["apt-get", "update", "-q"], check=True, stdout=subprocess.DEVNULL)
    raise SystemExit("prepare: apt-cache names no package for linux-image-amd64:\n"
                     + depends.stdout + depends.stderr)


def uncompressed_kernel(vmlinuz):
    """The ELF inside vmlinuz: QEMU boots it through its PVH entry in a third of the time."""
    with open(vmlinuz, "rb") as packed:
        data = packed.read()
    start = data.find(b"\xfd7zXZ\x00")
    if start < 0:
        raise SystemExit("prepare: no xz stream in " + vmlinuz)
    elf = lzma.LZMADecompressor().decompress(data[start:])
    if not elf.startswith(b"\x7fELF"):
        raise SystemExit("prepare: the xz stream in %s is not an ELF kernel" % vmlinuz)
    return elf


def module_depends(path):
    with open(path, "rb") as module:
        found = re.search(rb"\0depends=([^\0]*)\0", module.read())
    return [name.decode() for name in found.group(1).split(b",") if name] if found else []


def load_order(modules):
    """Every module after the modules it depends on (the unpacked package has no modules.dep)."""
    order = []

    def visit(name):
        if name in order:
            return
        for needed in module_depends(modules[name]):
            visit(needed)
        order.append(name)

    for name in WANTED_MODULES:
        visit(name)
    return order


def unpack_kernel(deb, into):
    """The kernel and the USB modules, out of the package; the other 400 MB stay packed."""
    fsys = subprocess.Popen(["dpkg-deb", "--fsys-tarfile", deb], stdout=subprocess.PIPE)
    modules, vmlinuz = {}, os.path.join(into, "vmlinuz")
    with tarfile.open(fileobj=fsys.stdout, mode="r|") as tar:
        for member in tar:
            base = os.path.basename(member.name)
            is_module = "/kernel/drivers/usb/" in member.name and base.endswith(".ko")
            if not (is_module or re.fullmatch(r"vmlinuz-.*", base)) or not member.isfile():
                continue
            target = os.path.join(into, "modules", base) if is_module else vmlinuz
            os.makedirs(os.path.dirname(target), exist_ok=True)
            with tar.extractfile(member) as source, open(target, "wb") as out:
                shutil.copyfileobj(source, out)
            if is_module:
                modules[base[:-3].replace("_", "-")] = target
                modules[base[:-3]] = target
    if fsys.wait() != 0:
        raise SystemExit("prepare: dpkg-deb could not read " + deb)
    if any(base.endswith((".ko.xz", ".ko.zst")) for base in os.listdir(os.path.join(into, "modules"))):
        raise SystemExit("prepare: this kernel's modules are compressed: busybox insmod cannot load them")
    return vmlinuz, modules


def ensure_kernel(cache):
    """vmlinux and the modules in load order, from the cache when a kernel has been unpacked before."""
    ready = os.path.join(cache, "ready")
    if not os.path.exists(ready):
        package = kernel_package()
        log("downloading and unpacking " + package)
        shutil.rmtree(cache, ignore_errors=True)
        os.makedirs(cache)
        subprocess.run(["apt-get", "download", package], cwd=cache, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        deb = next(os.path.join(cache, name) for name in os.listdir(cache) if name.endswith(".deb"))
        vmlinuz, modules = unpack_kernel(deb, cache)
        with open(os.path.join(cache, "vmlinux"), "wb") as out:
            out.write(uncompressed_kernel(vmlinuz))
        order = load_order(modules)
        with open(ready, "w") as out:
            out.write("".join(os.path.basename(modules[name]) + "\n" for name in order))
        os.remove(deb)
        os.remove(vmlinuz)
    with open(ready) as listing:
        order = listing.read().split()
    return os.path.join(cache, "vmlinux"), [os.path.join(cache, "modules", name) for name in order]


def build_guest_programs(source, build):
    """quorvane and the guest's own programs, static, from a build tree of their own."""
    log("building the guest's programs in " + build)
    subprocess.run(["cmake", "-S", source, "-B", build, "-DQUORVANE_VM_GUEST=ON", "-DQUORVANE_BENCH=OFF",
                    "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DCMAKE_EXE_LINKER_FLAGS=-static"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "-j2", "--target"] + list(GUEST_TARGETS), check=True,
                   stdout=subprocess.DEVNULL)
    programs = {}
    for target in GUEST_TARGETS:
        found = [os.path.join(root, target) for root, _, files in os.walk(build) if target in files]
        if not found:
            raise SystemExit("prepare: the guest build made no " + target)
        programs[target] = found[0]
    return programs


def read(path):
    with open(path, "rb") as source:
        return source.read()


def make_initramfs(source, modules, programs, out):
    archive = Archive()
    for name in ("proc", "sys", "dev", "tmp", "run"):
        archive.directory(name)
    archive.char_device("dev/console", 5, 1)
    archive.file("bin/busybox", read("/bin/busybox"), 0o755)
    archive.symlink("bin/sh", "busybox")
    archive.file("init", read(os.path.join(source, "tests/vm/guest/init.sh")), 0o755)
    archive.file("etc/passwd", PASSWD.encode())
    archive.file("etc/group", GROUP.encode())
    archive.file("etc/modules", "".join(os.path.basename(path) + "\n" for path in modules).encode())
    for path in modules:
        archive.file("lib/modules/" + os.path.basename(path), read(path))
    for name, path in programs.items():
        archive.file("bin/" + name, read(path), 0o755)
    archive.file("sample-image.txt", read(os.path.join(source, "examples/sample-image.txt")))
    with open(out + ".new", "wb") as image:
        image.write(archive.bytes())
    os.replace(out + ".new", out)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--kernel-cache", required=True)
    args = parser.parse_args()
    ensure_packages()
    _, modules = ensure_kernel(args.kernel_cache)
    programs = build_guest_programs(args.source, os.path.join(args.work, "guest-build"))
    make_initramfs(args.source, modules, programs, os.path.join(args.work, "initramfs.cpio"))
    log("guest ready in " + args.work)


if __name__ == "__main__":
    main()
