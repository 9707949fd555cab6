"""Writes initramfs archives in the kernel's "newc" cpio format, with no outside tool: directories,
files, symbolic links and device nodes, all owned by root, without needing root to make them."""
import stat

MAGIC = b"070701"


class Archive:
    def __init__(self):
        self.entries = []  # (name, mode, data, rdev major, rdev minor)
        self.dirs = set()

    def directory(self, name):
        name = name.strip("/")
        if not name or name in self.dirs:
            return
        self.directory(name.rpartition("/")[0])
        self.dirs.add(name)
        self.entries.append((name, stat.S_IFDIR | 0o755, b"", 0, 0))

    def file(self, name, data, mode=0o644):
        self.place(name, stat.S_IFREG | mode, data)

    def symlink(self, name, target):
        self.place(name, stat.S_IFLNK | 0o777, target.encode())

    def char_device(self, name, major, minor, mode=0o600):
        self.place(name, stat.S_IFCHR | mode, b"", major, minor)

    def place(self, name, mode, data, major=0, minor=0):
        name = name.strip("/")
        self.directory(name.rpartition("/")[0])
        self.entries.append((name, mode, data, major, minor))

    def bytes(self):
        out = bytearray()
        for ino, (name, mode, data, major, minor) in enumerate(self.entries + [("TRAILER!!!", 0, b"", 0, 0)], 1):
            encoded = name.encode() + b"\0"
            fields = (ino, mode, 0, 0, 1, 0, len(data), 0, 0, major, minor, len(encoded), 0)
            out += MAGIC + b"".join(b"%08X" % field for field in fields) + encoded
            out += b"\0" * (-len(out) % 4)
            out += data
            out += b"\0" * (-len(out) % 4)
        return bytes(out)
