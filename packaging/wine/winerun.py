"""Runs the Windows test programs under wine64 for the test suite.

usage:
  winerun.py prefix --prefix DIR
      makes a fresh 64-bit prefix (wineboot -i) in which windows are not
      handed to a window manager (there is none under Xvfb)
  winerun.py run --prefix DIR [--debug CHANNELS] [--shots DIR] [--log FILE]
                 [--forbid REGEX]... [--require REGEX]... -- PROGRAM ARG...
      runs PROGRAM with wine64 on an X server of its own and fails when the
      program fails, when Wine's output matches a --forbid pattern or when it
      lacks a --require pattern. With --shots the program may ask for
      screenshots (NAME.req holding "x y width height"); each is taken from
      the X server with ImageMagick's import as NAME.png, then NAME.done is
      written. Arguments of the form @unix-path are handed to the program as
      Windows paths (drive Z:).

Wine is called as /usr/lib/wine/wine64 and /usr/lib/wine/wineserver64 unless
--wine and --wineserver say otherwise."""

import argparse
import os
import re
import select
import shutil
import subprocess
import sys
import threading
import time

# Crashes and heap damage are findings in every run.
ALWAYS_FORBIDDEN = [
    r"(err|warn):heap:",
    r"Unhandled (page fault|exception|stack overflow)",
    r"err:seh:",
    r"wine: Call from .* to unimplemented function",
]


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def start_x_server():
    """An Xvfb on the first free display; returns (process, display)."""
    read_end, write_end = os.pipe()
    process = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
        pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    number = b""
    deadline = time.time() + 20
    while not number.endswith(b"\n") and time.time() < deadline:
        ready, _, _ = select.select([read_end], [], [], 0.5)
        if ready:
            chunk = os.read(read_end, 16)
            if not chunk:
                break
            number += chunk
    os.close(read_end)
    if not number.strip():
        process.kill()
        raise SystemExit("Xvfb did not start")
    return process, ":" + number.decode().strip()


class Session:
    """One X server and the Wine environment of one prefix."""

    def __init__(self, args, debug="-all"):
        self.args = args
        self.x_server, self.display = start_x_server()
        self.env = dict(os.environ)
        self.env.update({
            "WINEPREFIX": os.path.abspath(args.prefix),
            "WINEDEBUG": debug,
            "DISPLAY": self.display,
            # No prompts to install Mono or Gecko in a fresh prefix.
            "WINEDLLOVERRIDES": "mscoree,mshtml=",
        })
        self.env.pop("WAYLAND_DISPLAY", None)
        self.hung = False  # set when the session's processes did not end

    def wine(self, command, timeout, capture=True):
        return subprocess.run([self.args.wine] + command, env=self.env, timeout=timeout,
                              stdout=subprocess.PIPE if capture else None,
                              stderr=subprocess.PIPE if capture else None)

    def close(self):
        # Ends every process of the prefix (services, the desktop), so that the
        # next run starts on its own X server.
        try:
            subprocess.run([self.args.wineserver, "-k"], env=self.env, timeout=60,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            subprocess.run([self.args.wineserver, "-w"], env=self.env, timeout=60,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        except subprocess.TimeoutExpired:
            self.hung = True
        finally:
            self.x_server.terminate()
            self.x_server.wait()


def make_prefix(args):
    if os.path.exists(args.prefix):
        shutil.rmtree(args.prefix)
    os.makedirs(os.path.dirname(os.path.abspath(args.prefix)), exist_ok=True)
    session = Session(args)
    try:
        started = time.time()
        result = session.wine(["wineboot", "-i"], timeout=300)
        if result.returncode != 0:
            sys.stderr.buffer.write(result.stderr)
            raise SystemExit("wineboot -i failed with %d" % result.returncode)
        # Without a window manager, a managed window waits for one when it is
        # hidden; unmanaged windows are drawn and hidden by Wine itself.
        result = session.wine(["reg", "add", "HKCU\\Software\\Wine\\X11 Driver", "/v", "Managed",
                               "/t", "REG_SZ", "/d", "N", "/f"], timeout=60)
        if result.returncode != 0:
            sys.stderr.buffer.write(result.stderr)
            raise SystemExit("reg add failed with %d" % result.returncode)
        # A crash ends the program with a backtrace instead of a dialog that
        # waits for a user.
        result = session.wine(["reg", "add", "HKCU\\Software\\Wine\\WineDbg", "/v",
                               "ShowCrashDialog", "/t", "REG_DWORD", "/d", "0", "/f"], timeout=60)
        print("prefix %s made in %.1f s" % (args.prefix, time.time() - started))
    finally:
        session.close()
    return 0


def take_screenshots(session, directory, stop):
    """Answers the program's screenshot requests until stop is set."""
    while not stop.is_set():
        for name in sorted(os.listdir(directory)):
            if not name.endswith(".req"):
                continue
            base = os.path.join(directory, name[:-4])
            with open(base + ".req") as handle:
                x, y, width, height = (int(v) for v in handle.read().split())
            os.remove(base + ".req")
            subprocess.run(["import", "-display", session.display, "-window", "root",
                            "-crop", "%dx%d+%d+%d" % (width, height, x, y), "+repage",
                            base + ".png"], timeout=60, check=False)
            with open(base + ".done", "w"):
                pass
        stop.wait(0.1)


def run_program(args):
    program = []
    for item in args.command:
        program.append(windows_path(item[1:]) if item.startswith("@") else item)
    shots = None
    if args.shots:
        os.makedirs(args.shots, exist_ok=True)
        for name in os.listdir(args.shots):
            if name.endswith((".req", ".done", ".png")):
                os.remove(os.path.join(args.shots, name))
        shots = args.shots
        program.append(windows_path(shots))

    session = Session(args, debug=args.debug)
    stop = threading.Event()
    shooter = None
    if shots:
        shooter = threading.Thread(target=take_screenshots, args=(session, shots, stop))
        shooter.start()
    started = time.time()
    timed_out = False
    try:
        result = session.wine(program, timeout=args.timeout)
    except subprocess.TimeoutExpired as expired:
        timed_out = True
        result = subprocess.CompletedProcess(program, -1, expired.stdout or b"",
                                             expired.stderr or b"")
    finally:
        stop.set()
        if shooter:
            shooter.join()
        session.close()
    elapsed = time.time() - started

    output = result.stdout.decode("latin-1")
    log = result.stderr.decode("latin-1")
    sys.stdout.write(output)
    if args.log:
        with open(args.log, "w") as handle:
            handle.write(log)
    failures = []
    if session.hung:
        failures.append("the Wine session did not end after the program")
    if timed_out:
        failures.append("the program did not end within %d s" % args.timeout)
    elif result.returncode != 0:
        failures.append("the program exited with %d" % result.returncode)
    for pattern in ALWAYS_FORBIDDEN + args.forbid:
        for line in log.splitlines():
            if re.search(pattern, line):
                failures.append("Wine reported: %s" % line.strip())
    for pattern in args.require:
        if not re.search(pattern, log, re.MULTILINE):
            failures.append("Wine's output lacks /%s/" % pattern)
    print("ran %s in %.1f s (WINEDEBUG=%s)" % (os.path.basename(args.command[0]), elapsed,
                                             args.debug))
    for failure in failures[:40]:
        print("FAIL " + failure)
    if failures and not args.log:
        sys.stdout.write("--- Wine's output ---\n" + log[-20000:])
    return 1 if failures else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("action", choices=["prefix", "run"])
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--wine", default="/usr/lib/wine/wine64")
    parser.add_argument("--wineserver", default="/usr/lib/wine/wineserver64")
    parser.add_argument("--debug", default="-all", help="WINEDEBUG for the program")
    parser.add_argument("--shots", help="directory for screenshots")
    parser.add_argument("--log", help="file for Wine's output")
    parser.add_argument("--timeout", type=int, default=240)
    parser.add_argument("--forbid", action="append", default=[])
    parser.add_argument("--require", action="append", default=[])
    argv = sys.argv[1:]
    command = []
    if "--" in argv:
        command = argv[argv.index("--") + 1:]
        argv = argv[:argv.index("--")]
    args = parser.parse_args(argv)
    args.command = command
    if args.action == "prefix":
        return make_prefix(args)
    if not args.command:
        parser.error("run needs a program")
    return run_program(args)


if __name__ == "__main__":
    sys.exit(main())
