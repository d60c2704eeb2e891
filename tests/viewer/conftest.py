"""Fixtures: `kvdepth view` against a simulated camera on this suite's loopback addresses, and a headless
Chromium driven by Selenium looking at its page."""

import os
import re
import selectors
import shutil
import signal
import subprocess
import tempfile
import time

import pytest
from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.support.ui import WebDriverWait

PAGE_ADDRESS = "127.0.8.1"


def tool(*args, **kwargs):
    return subprocess.run([os.environ["KVDEPTH"], *args], capture_output=True, text=True, timeout=60, **kwargs)


def await_line(proc, lines, pattern, seconds):
    """The first output line of `proc` matching `pattern` within `seconds`; every line read goes to `lines`."""
    deadline = time.monotonic() + seconds
    with selectors.DefaultSelector() as sel:
        sel.register(proc.stdout, selectors.EVENT_READ)
        while sel.select(timeout=max(0.0, deadline - time.monotonic())):
            line = proc.stdout.readline()
            if not line:
                break
            lines.append(line)
            match = re.search(pattern, line)
            if match:
                return match
    raise AssertionError(f"no line matching {pattern!r}; output so far:\n{''.join(lines)}")


class Viewer:
    """One `kvdepth view` process; `camera_args` chooses the camera (--sim ..., or --ip ...)."""

    def __init__(self, camera_args):
        self.out = tempfile.mkdtemp(prefix="kvview-")
        self.proc = subprocess.Popen(
            [os.environ["KVDEPTH"], "view", *camera_args, "--address", PAGE_ADDRESS, "--port", "0", "--out",
             self.out, "--kvsim", os.environ["KVSIM"]], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.lines = []
        self.url = self.await_line(r"open (http://\S+) in a browser", 30).group(1)

    def await_line(self, pattern, seconds):
        return await_line(self.proc, self.lines, pattern, seconds)

    def stop(self):
        """Ends the viewer as Ctrl-C does and returns its last line (the CPU summary)."""
        self.proc.send_signal(signal.SIGINT)
        summary = self.await_line(r"CPU .* on average", 30).group(0)
        assert self.proc.wait(timeout=30) == 0
        self.proc.stdout.close()
        shutil.rmtree(self.out, ignore_errors=True)
        return summary


def open_browser(url):
    options = Options()
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1400,1000"):
        options.add_argument(arg)
    options.binary_location = shutil.which("chromium") or ""
    driver = webdriver.Chrome(service=Service(shutil.which("chromedriver")), options=options)
    driver.get(url)
    return driver


def wait_until(driver, condition, seconds=20, message=""):
    return WebDriverWait(driver, seconds, poll_frequency=0.1).until(lambda d: condition(), message)


@pytest.fixture(scope="module")
def viewer():
    v = Viewer(["--sim", "--sim-address", "127.0.8.10"])
    yield v
    v.stop()


@pytest.fixture(scope="module")
def browser(viewer):
    driver = open_browser(viewer.url)
    yield driver
    driver.quit()


@pytest.fixture
def artifacts():
    path = os.environ.get("KVDEPTH_VIEWER_ARTIFACTS") or tempfile.gettempdir()
    os.makedirs(path, exist_ok=True)
    return path
