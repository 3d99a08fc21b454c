"""The far end that stops reading, for the stalled-write scenarios.

  farend.py fill PORT
      fills the driver's buffers of PORT until it holds bytes it cannot
      send; prints how many.
  farend.py dialog PORT PID CARTRIDGE STATE KEYS...
      stops the cartridge (SIGSTOP), fills PORT, and presses KEYS in the
      dialog PID, watching it every 10 ms until STATE (idle or end, at most
      40 s); prints the bytes held, whether the dialog held PORT at the
      keys ("held" or "free"), and the seconds until idle (the port let go,
      not inside a close, system call 3, that waits) and until the end
      ("never" where not reached). One process from the stop to the keys:
      a process started between them costs the machine's one CPU seconds
      under emulation, while the dialog's upload gives up on a silent
      cartridge by itself.
"""
import fcntl
import os
import signal
import struct
import subprocess
import sys
import termios
import time


def fill(port):
    fd = os.open(port, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    queued = 0
    end = time.monotonic() + 20
    while time.monotonic() < end:
        try:
            os.write(fd, b"\xff" * 4096)
        except BlockingIOError:
            time.sleep(0.2)
            queued = struct.unpack("i", fcntl.ioctl(fd, termios.TIOCOUTQ, b"\0" * 4))[0]
            if queued > 0:
                break
    os.close(fd)
    return queued


class Dialog:
    def __init__(self, pid, port):
        self.proc = "/proc/" + pid
        self.port = port

    def alive(self):
        try:
            return open(self.proc + "/stat").read().rsplit(")", 1)[1].split()[0] != "Z"
        except OSError:
            return False

    def holds(self):
        try:
            fds = os.listdir(self.proc + "/fd")
        except OSError:
            return False
        for fd in fds:
            try:
                if os.readlink(self.proc + "/fd/" + fd) == self.port:
                    return True
            except OSError:
                pass
        return False

    def in_close(self):
        try:
            return open(self.proc + "/syscall").read().split()[0] == "3"
        except OSError:
            return False

    def idle(self):
        return not self.alive() or not self.holds() and not self.in_close()


def press(port, pid, cartridge, state, keys):
    os.kill(int(cartridge), signal.SIGSTOP)
    stuck = fill(port)
    dialog = Dialog(pid, port)
    times = {}
    held = "held" if dialog.holds() else "free"
    subprocess.run(["xdotool", "key", "--delay", "30"] + keys, check=True)
    pressed = time.monotonic()
    while state not in times and time.monotonic() - pressed < 40:
        after = "%.2f" % (time.monotonic() - pressed)
        if dialog.idle():
            times.setdefault("idle", after)
        if not dialog.alive():
            times.setdefault("end", after)
        time.sleep(0.01)
    print(stuck, held, times.get("idle", "never"), times.get("end", "never"))


if __name__ == "__main__":
    if sys.argv[1] == "fill":
        print(fill(sys.argv[2]))
    else:
        press(sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5], sys.argv[6:])
