#!/usr/bin/python3
"""The kestrelfetch window end to end: a private X server (Xvfb) with a window manager and a tray,
the real engine, and scripts/lab. The window is driven as a user would, with xdotool clicks at the
skin's coordinates (app/window/Layout.h) and keys in its dialogs: a full run ends with the
installer started; the window closes to the tray and comes back from it; a speed limit set in the
settings dialog holds the download back (through a pause and continue) until it is lifted. A screenshot of each state seen goes
to the --screens folder.

usage: window_lab_test.py --kestrelfetch PATH --screens DIR [unittest arguments]
Exit status 77 (skipped) when a program the desktop or the lab needs is missing.
"""
import argparse
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "app_lab"))
import app_lab_test as labkit  # noqa: E402  (the lab helpers of the console tests)
import xwd  # noqa: E402

LAYOUT_H = os.path.join(HERE, "..", "..", "app", "window", "Layout.h")
LSAN_SUPPRESSIONS = os.path.join(HERE, "lsan.supp")
TITLE = "Vormhal下载器"
KEY_COLOUR = (232, 5, 246)
APP = None
SCREENS = None


def layout():
    """The skin's rectangles, by their names in Layout.h: (x, y, width, height)."""
    with open(LAYOUT_H) as f:
        text = f.read()
    return {m.group(1): tuple(int(v) for v in m.group(2, 3, 4, 5)) for m in
            re.finditer(r"QRect (k\w+)\{(\d+), (\d+), (\d+), (\d+)\}", text)}


def centre(rect):
    x, y, w, h = rect
    return x + w // 2, y + h // 2


class Desktop:
    """Xvfb on a display number of its own, openbox, and trayer as the system tray."""

    def __init__(self, folder):
        self.folder = folder
        self.procs = []
        read_end, write_end = os.pipe()
        with open(os.path.join(folder, "xvfb.log"), "wb") as log:
            self.procs.append(subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-br",
                 "-nolisten", "tcp", "-noreset"], pass_fds=(write_end,), stdout=log, stderr=log,
                start_new_session=True))
        os.close(write_end)
        # The number comes as digits and a newline, maybe in two writes; the pipe stays open
        # until the newline, or Xvfb dies of the broken pipe.
        answer = b""
        deadline = time.monotonic() + 20
        while not answer.endswith(b"\n") and len(answer) < 16 and time.monotonic() < deadline:
            ready, _, _ = select.select([read_end], [], [], max(0, deadline - time.monotonic()))
            chunk = os.read(read_end, 16) if ready else b""
            if not chunk:
                break
            answer += chunk
        os.close(read_end)
        number = answer.decode().strip()
        if not number.isdigit():
            self.close()
            raise AssertionError("Xvfb did not start")
        self.display = ":" + number
        self.env = dict(os.environ, DISPLAY=self.display)
        for name in ("WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "DBUS_SESSION_BUS_ADDRESS"):
            self.env.pop(name, None)
        self.start(["openbox", "--sm-disable"], "openbox.log")
        labkit.wait_for("the window manager", lambda: self.xdo(
            "search", "--class", "openbox").returncode == 0 or self.has_wm(), 15, 0.1)
        self.start(["trayer", "--edge", "bottom", "--align", "right", "--widthtype", "pixel",
                    "--width", "64", "--heighttype", "pixel", "--height", "32",
                    "--SetDockType", "true", "--transparent", "false"], "trayer.log")
        labkit.wait_for("the tray", lambda: self.xdo("search", "--class", "trayer").returncode
                        == 0, 15, 0.1)

    def has_wm(self):
        out = subprocess.run(["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], env=self.env,
                             capture_output=True, text=True, timeout=10).stdout
        return "window id" in out

    def start(self, command, log):
        with open(os.path.join(self.folder, log), "wb") as out:
            self.procs.append(subprocess.Popen(command, env=self.env, stdout=out, stderr=out,
                                               start_new_session=True))

    def xdo(self, *args):
        return subprocess.run(["xdotool", *map(str, args)], env=self.env, capture_output=True,
                              text=True, timeout=20)

    def geometry(self, window):
        out = self.xdo("getwindowgeometry", "--shell", window).stdout
        values = dict(line.split("=", 1) for line in out.split() if "=" in line)
        return tuple(int(values[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))

    def windows(self, pid, name=None, visible=True):
        # Every condition must hold (xdotool's default is any of them).
        args = ["search", "--all"] + (["--onlyvisible"] if visible else []) + ["--pid", pid]
        args += ["--name", name] if name else []
        return self.xdo(*args).stdout.split()

    def click(self, window, point):
        self.xdo("mousemove", "--window", window, point[0], point[1], "click", "1")

    def keys(self, window, *keys):
        self.xdo("windowactivate", "--sync", window)
        for key in keys:
            self.xdo("key", "--clearmodifiers", key)

    def type(self, window, text):
        self.xdo("windowactivate", "--sync", window)
        self.xdo("type", "--delay", "20", text)

    def dump(self, window=None):
        command = ["xwd", "-silent"] + (["-id", window] if window else ["-root"])
        data = subprocess.run(command, env=self.env, capture_output=True, check=True,
                              timeout=20).stdout
        return xwd.read(data)

    def close(self):
        for proc in reversed(self.procs):
            if proc.poll() is None:
                os.killpg(proc.pid, signal.SIGTERM)
                try:
                    proc.wait(10)
                except subprocess.TimeoutExpired:
                    os.killpg(proc.pid, signal.SIGKILL)
                    proc.wait(10)


class WindowRun:
    """One kestrelfetch process in window mode with its own data home, save folder and TMPDIR."""

    def __init__(self, case, root, extra_args=()):
        self.case = case
        self.root = root
        self.save = os.path.join(root, "save")
        self.data = os.path.join(root, "data")
        os.makedirs(os.path.join(root, "tmp"), exist_ok=True)
        self.out_path = os.path.join(root, "out.log")
        runtime = os.path.join(root, "runtime")
        os.makedirs(runtime, mode=0o700)
        env = dict(case.desktop.env, KESTRELFETCH_DATA_HOME=self.data,
                   TMPDIR=os.path.join(root, "tmp"), HOME=os.path.join(root, "home"),
                   XDG_RUNTIME_DIR=runtime, LSAN_OPTIONS=f"suppressions={LSAN_SUPPRESSIONS}")
        # libxcb hands strndup strings without a terminator, which the strict string checks
        # of a sanitizer build take for overflows: they are off for the X client libraries'
        # sake (a later option wins).
        if "ASAN_OPTIONS" in env:
            env["ASAN_OPTIONS"] += ":strict_string_checks=0"
        self.out = open(self.out_path, "wb")
        self.proc = subprocess.Popen(
            [APP, "--product", case.env["LAB_PRODUCT_DIR"], "--save", self.save, *extra_args],
            cwd=root, env=env, stdin=subprocess.DEVNULL, stdout=self.out, stderr=self.out,
            start_new_session=True)
        self.pid = self.proc.pid
        case.addCleanup(self.kill)

    def output(self):
        with open(self.out_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def states(self):
        return re.findall(r"^kestrelfetch: state: (\S+)$", self.output(), re.M)

    def wait_state(self, state, seconds=120):
        labkit.wait_for(f"state {state}:\n{self.output()[-2000:]}",
                        lambda: state in self.states() or self.proc.poll() is not None,
                        seconds, 0.1)
        self.case.assertIn(state, self.states(), self.output()[-2000:])

    def wait(self, seconds=60):
        try:
            return self.proc.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            self.kill()
            raise AssertionError(f"no end within {seconds} s:\n{self.output()[-3000:]}")

    def written(self):
        with open(f"/proc/{self.pid}/io") as f:
            return int(re.search(r"^wchar: (\d+)$", f.read(), re.M).group(1))

    def kill(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait(10)
        self.out.close()


class WindowAgainstLab(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="kf-window-lab-")
        cls.dir = os.path.join(cls.tmp, "lab")
        up = subprocess.run([labkit.LAB, "up", cls.dir], capture_output=True, text=True,
                            timeout=180)
        if up.returncode != 0:
            shutil.rmtree(cls.tmp, ignore_errors=True)
            raise AssertionError(f"lab up failed: {up.stderr}")
        cls.env = labkit.load_env(cls.dir)
        try:
            cls.desktop = Desktop(cls.tmp)
        except BaseException:
            subprocess.run([labkit.LAB, "down", cls.dir], capture_output=True, timeout=60)
            shutil.rmtree(cls.tmp, ignore_errors=True)
            raise
        cls.layout = layout()
        cls.shots = 0

    @classmethod
    def tearDownClass(cls):
        try:
            cls.desktop.close()
            down = subprocess.run([labkit.LAB, "down", cls.dir], capture_output=True, text=True,
                                  timeout=60)
            assert down.returncode == 0, down.stderr
        finally:
            shutil.rmtree(cls.tmp, ignore_errors=True)

    def folder(self):
        return tempfile.mkdtemp(dir=self.tmp, prefix=self.id().rsplit(".", 1)[1][:24] + "-")

    def main_window(self, run, seconds=30):
        """The downloader's window: its title, at the skin's width."""
        def find():
            for window in self.desktop.windows(run.pid, f"^{TITLE}$"):
                if self.desktop.geometry(window)[2] == self.layout_width():
                    return window
            return None
        try:
            return labkit.wait_for("the window", find, seconds, 0.1)
        except AssertionError as e:
            raise AssertionError(f"{e}:\n{run.output()[-2000:]}") from None

    def layout_width(self):
        with open(LAYOUT_H) as f:
            return int(re.search(r"kWidth = (\d+);", f.read()).group(1))

    def dialog(self, run, title, seconds=20):
        """A box or dialog of the program, once it has painted itself and has the focus (keys
        sent to a window that was only just mapped are lost)."""
        def find():
            for window in self.desktop.windows(run.pid, f"^{title}$"):
                if title != TITLE or self.desktop.geometry(window)[2] != self.layout_width():
                    return window
            return None

        def ready():
            window = find()
            if window is None:
                return None
            self.desktop.xdo("windowactivate", "--sync", window)
            _, _, rows = self.desktop.dump(window)
            painted = any(p != (0, 0, 0) for p in rows[len(rows) // 2])
            active = self.desktop.xdo("getactivewindow").stdout.strip() == window
            return window if painted and active else None
        try:
            return labkit.wait_for(f"the dialog {title}", ready, seconds, 0.1)
        except AssertionError as e:
            raise AssertionError(f"{e}:\n{run.output()[-2000:]}") from None

    def shot(self, window, name):
        width, height, rows = self.desktop.dump(window)
        os.makedirs(SCREENS, exist_ok=True)
        type(self).shots += 1
        with open(os.path.join(SCREENS, f"{self.shots:02d}-{name}.png"), "wb") as f:
            f.write(xwd.png(width, height, rows))

    def assert_shape(self, window):
        """On the root window: the key colour never shows, the corners are the root's black and
        the middle is the skin's."""
        x, y, width, height = self.desktop.geometry(window)
        _, _, rows = self.desktop.dump()
        area = [row[x:x + width] for row in rows[y:y + height]]
        self.assertFalse(any(p == KEY_COLOUR for row in area for p in row),
                         "no pixel of the key colour on the screen")
        self.assertEqual(area[0][0], (0, 0, 0), "the top left corner is cut out")
        self.assertNotEqual(area[height // 2][width // 2], (0, 0, 0))

    # -- the scenarios ----------------------------------------------------------------------

    def test_a_full_run_in_the_window_ends_with_the_installer_started(self):
        record = self.env["LAB_INSTALLER_RECORD"]
        record_at = os.path.getsize(record)
        run = WindowRun(self, self.folder())
        window = self.main_window(run)
        self.assertEqual(self.desktop.geometry(window)[2:], (411, 307))
        self.assert_shape(window)
        self.shot(window, "ready")

        # The file list opens and closes by a click in its toggle area.
        toggle = (200, 290)
        self.desktop.click(window, toggle)
        labkit.wait_for("the list open", lambda: self.desktop.geometry(window)[3] == 385, 10)
        self.shot(window, "list-open")
        self.desktop.click(window, toggle)
        labkit.wait_for("the list closed", lambda: self.desktop.geometry(window)[3] == 307, 10)

        self.desktop.click(window, centre(self.layout["kMainButton"]))
        run.wait_state("finished")
        self.shot(window, "finished")
        self.desktop.click(window, centre(self.layout["kMainButton"]))  # install
        box = self.dialog(run, TITLE)
        self.shot(box, "verify-question")
        self.desktop.keys(box, "Return")  # yes: verify, then install
        run.wait_state("md5checking")
        runs = labkit.wait_for("the installer's record", lambda: [
            r for r in self.installer_runs(record, record_at) if r.rstrip().endswith("end")], 60)
        self.assertEqual(len(runs), 1, runs)
        self.assertEqual(run.wait(), 0, run.output()[-2000:])
        self.assertIn("checkfinished", run.states())

    def installer_runs(self, record, since):
        with open(record) as f:
            f.seek(since)
            return f.read().split("run pid=")[1:]

    def test_the_window_closes_to_the_tray_and_comes_back_from_it(self):
        run = WindowRun(self, self.folder())
        window = self.main_window(run)
        close = centre(self.layout["kCloseButton"])
        self.desktop.click(window, close)
        dialog = self.dialog(run, "关闭")
        self.shot(dialog, "close-choice")
        self.desktop.keys(dialog, "Return")  # the default: to the tray
        labkit.wait_for("the window hidden", lambda: not self.desktop.windows(
            run.pid, f"^{TITLE}$"), 10, 0.1)
        # The tray icon: the program's one small window inside the tray.
        icon = labkit.wait_for("the tray icon", lambda: next(
            (w for w in self.desktop.windows(run.pid) if self.desktop.geometry(w)[2] < 64),
            None), 10, 0.1)
        self.desktop.click(icon, (4, 4))
        window = self.main_window(run, 10)
        self.shot(window, "back-from-tray")

        # Dragged by its caption strip (the window manager moves it: startSystemMove).
        x, y = self.desktop.geometry(window)[:2]
        self.desktop.xdo("mousemove", "--window", window, 150, 20, "mousedown", "1")

        def dragged():  # the manager takes over the pointer a moment after the press
            self.desktop.xdo("mousemove_relative", "--", 4, 3)
            return self.desktop.geometry(window)[:2] != (x, y)
        labkit.wait_for("the window moving", dragged, 10, 0.05)
        self.desktop.xdo("mouseup", "1")
        moved_x, moved_y = self.desktop.geometry(window)[:2]
        self.assertGreater(moved_x, x)
        self.assertGreater(moved_y, y)

        # Closed again, this time to exit.
        self.desktop.click(window, close)
        dialog = self.dialog(run, "关闭")
        self.desktop.keys(dialog, "Down", "Return")
        self.assertEqual(run.wait(), 0, run.output()[-2000:])

    def test_a_speed_limit_from_the_settings_dialog_holds_the_download_back(self):
        run = WindowRun(self, self.folder())
        window = self.main_window(run)

        def settings(*keys):
            self.desktop.click(window, centre(self.layout["kSettingsButton"]))
            dialog = self.dialog(run, "下载设置")
            self.desktop.keys(dialog, *keys)
            return dialog

        # Limit on (the check box has the focus), 100 KB/s, accept.
        dialog = settings("space", "Tab", "ctrl+a")
        self.desktop.type(dialog, "100")
        self.shot(dialog, "settings-limit")
        self.desktop.keys(dialog, "Return")
        labkit.wait_for("the dialog closed", lambda: not self.desktop.windows(
            run.pid, "^下载设置$"), 10, 0.1)
        self.desktop.click(window, centre(self.layout["kMainButton"]))
        run.wait_state("preparing")
        time.sleep(3)  # the measured stretch: the limit must hold over it
        before = run.written()
        time.sleep(5)
        written = run.written() - before
        self.shot(window, "limited")
        self.assertLess(written, 5 * 300 * 1024, "100 KB/s hold (with room for bursts)")
        self.assertNotIn("finished", run.states())

        # Pause and continue share the main button's place.
        self.desktop.click(window, centre(self.layout["kMainButton"]))
        run.wait_state("pause", 20)
        self.shot(window, "paused")
        self.desktop.click(window, centre(self.layout["kMainButton"]))
        labkit.wait_for("the download going on", lambda: run.states()[-1] != "pause", 20, 0.1)

        settings("space", "Return")  # limit off
        run.wait_state("finished", 60)
        os.kill(run.pid, signal.SIGTERM)
        self.assertEqual(run.wait(), 130, run.output()[-2000:])


def main():
    global APP, SCREENS
    parser = argparse.ArgumentParser()
    parser.add_argument("--kestrelfetch", required=True)
    parser.add_argument("--screens", required=True)
    args, rest = parser.parse_known_args()
    APP = os.path.abspath(args.kestrelfetch)
    SCREENS = os.path.abspath(args.screens)
    shutil.rmtree(SCREENS, ignore_errors=True)
    tools = ("Xvfb", "openbox", "trayer", "xdotool", "xwd", "xprop", "nginx", "opentracker")
    missing = [t for t in tools if shutil.which(t) is None]
    if missing or subprocess.run([sys.executable, "-c", "import libtorrent"]).returncode != 0:
        print(f"skipped: {missing or 'python3-libtorrent'} missing (scripts/install-deps)")
        return 77
    return 0 if unittest.main(argv=[sys.argv[0]] + rest, exit=False).result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
