#!/usr/bin/env python3
"""Runs a Windows program under Wine with a serial line made of two pseudo-terminals.

Two pty pairs are bridged back to back: whatever the program writes on one COM port comes out
of the other. The program finds the two names in its environment, QUORVANE_PORT (the port
under test) and QUORVANE_FAR_PORT (the far end of the line, for the program to play the
target on), so one program can drive both ends.

    run_with_com_port.py --prefix DIR --arch win32|win64 --wine LOADER -- PROGRAM [ARGS...]
    run_with_com_port.py --prefix DIR --arch win32|win64 --wine LOADER --start-server

The Wine prefix is made on first use. The Wine server is started here when none runs: in the
foreground and without a session of its own, so that no pty ever becomes its controlling
terminal (closing one would then hang the server up). Exits with the program's status.

Now and then, under load, Wine fails to start a program: it ends with status 1 before printing
anything (seen about once in twenty full runs). Such a run, and no other, is made once more.
"""
import argparse
import errno
import fcntl
import glob
import os
import pty
import selectors
import subprocess
import sys
import threading
import time
import tty

FIRST_PORT = 10  # COM5 is left for the whole-upload test
LAST_PORT = 250
SERVER_LINGER_S = 10


def wine_environment(prefix, arch):
    env = dict(os.environ)
    # QUORVANE_WINEDEBUG (say "err+all") brings Wine's own messages back when a run fails oddly.
    env.update(WINEPREFIX=prefix, WINEARCH=arch, WINEDEBUG=os.environ.get("QUORVANE_WINEDEBUG", "-all"),
               WINEDLLOVERRIDES="mscoree,mshtml=")
    env.pop("DISPLAY", None)
    return env


class FileLock:
    """An exclusive lock on a file, released when the holder ends, however it ends."""

    def __init__(self, path, wait=True):
        self.fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o644)
        try:
            fcntl.flock(self.fd, fcntl.LOCK_EX | (0 if wait else fcntl.LOCK_NB))
        except OSError:
            os.close(self.fd)
            raise

    def release(self):
        os.close(self.fd)


def server_socket(prefix):
    st = os.stat(prefix)
    name = "server-%x-%x" % (st.st_dev, st.st_ino)
    bases = [os.environ.get("TMPDIR", "/tmp"), "/tmp"]
    candidates = ["%s/.wine-%d/%s/socket" % (base, os.getuid(), name) for base in bases]
    try:
        with open(os.path.join(prefix, "wineserver")) as f:  # where Debian's server lives
            candidates += [os.path.join(base, f.read().strip(), name, "socket") for base in bases]
    except OSError:
        pass
    candidates += glob.glob("/tmp/*wine*/%s/socket" % name)
    return next((c for c in candidates if os.path.exists(c)), None)


def ensure_server(wineserver, env, persistent):
    """Starts a Wine server unless one serves the prefix; True when this call started it."""
    prefix = env["WINEPREFIX"]
    if server_socket(prefix):
        return False
    linger = "-p" if persistent else "-p%d" % SERVER_LINGER_S
    server = subprocess.Popen([wineserver, "-f", linger], env=env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, close_fds=True)
    deadline = time.monotonic() + 20
    while not server_socket(prefix):
        if server.poll() is not None:
            return False  # exit status 2: another server got there first, and serves
        if time.monotonic() > deadline:
            sys.exit("run_with_com_port: the Wine server did not start")
        time.sleep(0.01)
    return True


def ensure_prefix_and_server(wine, wineserver, env, persistent=False):
    prefix = env["WINEPREFIX"]
    os.makedirs(prefix, exist_ok=True)  # Wine fills it in; a dosdevices made here would stop that
    lock = FileLock(prefix + ".lock")
    try:
        started = ensure_server(wineserver, env, persistent)
        if started or not os.path.isdir(os.path.join(prefix, "drive_c")):
            # Makes the prefix if needed and starts Wine's background services with no pipe of
            # ours: services started by the program itself would hold its output open (and a
            # test runner waiting on that output) until the server ends.
            subprocess.run([wine, "cmd", "/c", "exit"], env=env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
    finally:
        lock.release()


class ComPort:
    """One pty pair with its slave linked as a free COMn of the prefix."""

    def __init__(self, prefix):
        self.master, self.slave = pty.openpty()
        for fd in (self.master, self.slave):
            tty.setraw(fd)
        os.set_blocking(self.master, False)
        self.number, self.lock = self._claim_number(prefix)
        self.link = os.path.join(prefix, "dosdevices", "com%d" % self.number)
        temporary = self.link + ".new"
        if os.path.lexists(temporary):
            os.unlink(temporary)
        os.symlink(os.ttyname(self.slave), temporary)
        os.replace(temporary, self.link)
        self.name = "\\\\.\\COM%d" % self.number

    @staticmethod
    def _claim_number(prefix):
        for number in range(FIRST_PORT, LAST_PORT + 1):
            path = os.path.join(prefix, "dosdevices", ".quorvane-com%d.lock" % number)
            try:
                return number, FileLock(path, wait=False)
            except OSError as error:
                if error.errno not in (errno.EWOULDBLOCK, errno.EAGAIN):
                    raise
        sys.exit("run_with_com_port: no free COM port number")

    def close(self):
        try:
            os.unlink(self.link)
        except OSError:
            pass
        os.close(self.master)
        os.close(self.slave)
        self.lock.release()


class Bridge(threading.Thread):
    """Copies bytes both ways between two pty masters, holding what the other side has not
    taken yet, so neither end ever blocks on the other."""

    def __init__(self, a, b):
        super().__init__(daemon=True)
        self.ends = (a, b)
        self.pending = {a: bytearray(), b: bytearray()}  # bytes waiting to be written to the key
        self.stopping = threading.Event()

    def run(self):
        a, b = self.ends
        other = {a: b, b: a}
        with selectors.DefaultSelector() as selector:
            for fd in self.ends:
                selector.register(fd, selectors.EVENT_READ)
            while not self.stopping.is_set():
                for fd in self.ends:
                    want = selectors.EVENT_READ | (selectors.EVENT_WRITE if self.pending[fd] else 0)
                    selector.modify(fd, want)
                for key, events in selector.select(timeout=0.05):
                    fd = key.fd
                    if events & selectors.EVENT_READ:
                        try:
                            self.pending[other[fd]] += os.read(fd, 65536)
                        except OSError:  # no slave open (EIO): nothing to pass on
                            pass
                    if events & selectors.EVENT_WRITE and self.pending[fd]:
                        try:
                            del self.pending[fd][:os.write(fd, self.pending[fd])]
                        except OSError:
                            pass

    def stop(self):
        self.stopping.set()
        self.join()


def run_and_relay(command, env):
    """Runs command, passing its output on as it comes; returns its status and whether it
    printed anything."""
    program = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    relay = {program.stdout: sys.stdout.buffer, program.stderr: sys.stderr.buffer}
    printed = False
    with selectors.DefaultSelector() as selector:
        for stream in relay:
            selector.register(stream, selectors.EVENT_READ)
        while selector.get_map():
            ready = selector.select(timeout=0.1)
            for key, _ in ready:
                data = os.read(key.fd, 65536)
                if not data:
                    selector.unregister(key.fileobj)
                    continue
                printed = True
                relay[key.fileobj].write(data)
                relay[key.fileobj].flush()
            # A Wine service the program started can hold the pipes open after it has ended.
            if not ready and program.poll() is not None:
                break
    status = program.wait()
    for stream in relay:
        stream.close()
    return status, printed


def run_program(command, env):
    status, printed = run_and_relay(command, env)
    if status == 1 and not printed:
        print("run_with_com_port: status 1 before any output, as when Wine fails to start a program;"
              " running it once more", file=sys.stderr)
        status, printed = run_and_relay(command, env)
    return status


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--arch", choices=("win32", "win64"), required=True)
    parser.add_argument("--wine", required=True, help="the Wine loader for the program")
    parser.add_argument("--wineserver", default="wineserver")
    parser.add_argument("--start-server", action="store_true",
                        help="only make the prefix and start a server that stays until killed")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    env = wine_environment(os.path.abspath(args.prefix), args.arch)
    if args.start_server:
        ensure_prefix_and_server(args.wine, args.wineserver, env, persistent=True)
        return
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        parser.error("no program to run")

    ensure_prefix_and_server(args.wine, args.wineserver, env)
    port = ComPort(env["WINEPREFIX"])
    far = ComPort(env["WINEPREFIX"])
    bridge = Bridge(port.master, far.master)
    bridge.start()
    try:
        env.update(QUORVANE_PORT=port.name, QUORVANE_FAR_PORT=far.name)
        status = run_program([args.wine] + command, env)
    finally:
        bridge.stop()
        port.close()
        far.close()
    if status != 0:
        print("run_with_com_port: exit status %d" % status, file=sys.stderr)
    sys.exit(status)


if __name__ == "__main__":
    main()
