"""An Xvfb display for the cases whose message boxes are real windows, and
the xdotool and ImageMagick work on it: finding a box, answering it with a
key, taking its picture."""

import os
import select
import subprocess
import time

from wine_prefix import SetupError


class VirtualDisplay:
    """An Xvfb server on a display number it picks itself, so that cases can
    run side by side."""

    def __init__(self, log_path):
        self.log = open(log_path, "wb")
        read_end, write_end = os.pipe()
        try:
            self.process = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
                 "-nolisten", "tcp"], pass_fds=(write_end,), stdout=self.log,
                stderr=subprocess.STDOUT)
        except FileNotFoundError:
            os.close(read_end)
            self.log.close()
            raise SetupError("Xvfb not found: install xvfb (tools/install-deps.sh)")
        finally:
            os.close(write_end)
        number = _read_line(read_end, timeout=20)
        os.close(read_end)
        if not number.isdigit():
            self.close()
            raise SetupError("Xvfb did not start (see %s)" % log_path)
        self.name = ":" + number

    def close(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()

    def xdotool(self, *args):
        try:
            result = subprocess.run(["xdotool", *args], env=dict(os.environ, DISPLAY=self.name),
                                    timeout=20, stdout=subprocess.PIPE,
                                    stderr=subprocess.DEVNULL)
        except FileNotFoundError:
            raise SetupError("xdotool not found: install xdotool (tools/install-deps.sh)")
        return result.stdout.decode().split()

    def visible_windows(self, title):
        return self.xdotool("search", "--onlyvisible", "--name", "^%s$" % title)

    def answer_boxes(self, title, keys, program, timeout, screenshots=()):
        """Presses one key in each box titled `title` as the boxes appear,
        while `program` (a Popen) runs. screenshots: for each box in turn, a
        path to save its picture to, or None. Returns the problems met."""
        for index, key in enumerate(keys):
            deadline = time.monotonic() + timeout
            windows = []
            while not windows and program.poll() is None and time.monotonic() < deadline:
                windows = self.visible_windows(title)
                if not windows:
                    time.sleep(0.2)
            if not windows:
                return ["box %d, to be answered with %s, never appeared" % (index + 1, key)]
            window = windows[0]
            if index < len(screenshots) and screenshots[index]:
                time.sleep(0.5)  # let Wine finish painting the box
                self.screenshot(window, screenshots[index])
            self.xdotool("key", "--window", window, key)
            while window in self.visible_windows(title) and time.monotonic() < deadline:
                time.sleep(0.1)
        return []

    def screenshot(self, window, path):
        """Saves the window alone, cropped from a picture of the screen, as a
        small PNG without metadata."""
        geometry = dict(item.split("=", 1) for item in
                        self.xdotool("getwindowgeometry", "--shell", window) if "=" in item)
        crop = []
        if {"X", "Y", "WIDTH", "HEIGHT"} <= geometry.keys():
            crop = ["-crop", "%sx%s+%s+%s" % (geometry["WIDTH"], geometry["HEIGHT"],
                                              geometry["X"], geometry["Y"]), "+repage"]
        os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
        partial = path + ".part.png"
        subprocess.run(["import", "-display", self.name, "-window", "root", *crop, "-strip",
                        partial], timeout=30, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        if os.path.isfile(partial):
            os.replace(partial, path)
            print("screenshot: %s" % path)
        else:
            print("warning: no screenshot taken (ImageMagick's import failed)")


def _read_line(fd, timeout):
    text = b""
    deadline = time.monotonic() + timeout
    while not text.endswith(b"\n") and time.monotonic() < deadline:
        ready, _, _ = select.select([fd], [], [], 0.5)
        if ready:
            chunk = os.read(fd, 16)
            if not chunk:
                break
            text += chunk
    return text.strip().decode(errors="replace")
