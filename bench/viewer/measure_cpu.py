"""Measures `kvdepth view --sim` with one headless Chromium page open: frames captured, encoded and sent to
the page, and the viewer's CPU use. Not a test (figures depend on the machine); run by hand:

    KVSIM=<build>/sim/kvsim/kvsim /usr/bin/python3 bench/viewer/measure_cpu.py <build>/tools/kvdepth [SECONDS]
"""

import os
import signal
import subprocess
import sys
import tempfile
import time

# The browser and process helpers of the viewer's browser test.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "viewer"))
from conftest import PAGE_ADDRESS, await_line, open_browser  # noqa: E402


def main(tool, seconds):
    command = [tool, "-v", "view", "--sim", "--sim-address", "127.0.8.20", "--address", PAGE_ADDRESS, "--port", "0",
               "--out", tempfile.mkdtemp(prefix="kvview-")]
    if os.environ.get("KVSIM"):
        command += ["--kvsim", os.environ["KVSIM"]]
    viewer = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    lines = []
    browser = open_browser(await_line(viewer, lines, r"open (http://\S+)", 30).group(1))
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        await_line(viewer, lines, r"^viewer: ", 10)  # a status line every 5 s
    browser.quit()
    viewer.send_signal(signal.SIGINT)
    await_line(viewer, lines, r"on average", 30)
    viewer.wait(timeout=30)
    print("".join(line for line in lines if line.startswith("viewer: ")), end="")


if __name__ == "__main__":
    main(sys.argv[1], float(sys.argv[2]) if len(sys.argv) > 2 else 30)
