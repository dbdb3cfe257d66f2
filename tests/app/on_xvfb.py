#!/usr/bin/env python3
"""Runs a test program on a real X server: Xvfb on a free display with trayer
as the system tray (the start-up test's desktop), Qt on its X11 platform.

    python3 tests/app/on_xvfb.py build/default/bin/shell_tests [arguments...]
"""
import shutil
import subprocess
import sys

from startup_smoke import Desktop, desktop_env

# Bounds the program; CTest's own timeout is longer, so the desktop is
# always taken down.
RUN_TIMEOUT = 240


def main():
    if len(sys.argv) < 2:
        print("usage: on_xvfb.py PROGRAM [ARGUMENTS...]")
        return 2
    for tool in ("Xvfb", "trayer"):
        if not shutil.which(tool):
            print("SKIP: %s is not installed" % tool)
            return 0
    desktop = Desktop(with_tray=True)
    try:
        env = desktop_env(desktop.display, QT_QPA_PLATFORM="xcb")
        try:
            return subprocess.call(sys.argv[1:], env=env, timeout=RUN_TIMEOUT)
        except subprocess.TimeoutExpired:
            print("FAIL: %s ran longer than %d s" % (sys.argv[1], RUN_TIMEOUT))
            return 1
    finally:
        desktop.close()


if __name__ == "__main__":
    sys.exit(main())
