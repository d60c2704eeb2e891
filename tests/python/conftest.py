"""Fixtures: simulated cameras (kvsim child processes on our own loopback addresses) and open cameras."""

import itertools
import os
import re
import selectors
import subprocess
import time

import pytest

import kvdepth

# Loopback addresses reserved for this suite.
_addresses = (f"127.0.6.{n}" for n in itertools.count(1))


class Sim:
    """One kvsim process serving one camera on its own address and with its own serial."""

    def __init__(self, *args):
        self.ip = next(_addresses)
        if int(self.ip.rsplit(".", 1)[1]) > 90:
            raise RuntimeError("out of loopback addresses for the Python suite")
        kvsim = os.environ.get("KVSIM")
        if not kvsim:
            raise RuntimeError("KVSIM must name the kvsim executable (ctest sets it)")
        # A serial of its own: the library knows cameras by serial, and every sim stays registered.
        self.serial = f"KVPY{int(self.ip.rsplit('.', 1)[1]):08d}"
        self.proc = subprocess.Popen([kvsim, "--listen", self.ip, "--serial", self.serial, *args], stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, text=True)
        self._await_line(r"listening on", deadline=time.monotonic() + 20)

    def _await_line(self, pattern, deadline):
        seen = []
        with selectors.DefaultSelector() as sel:
            sel.register(self.proc.stdout, selectors.EVENT_READ)
            while time.monotonic() < deadline and sel.select(timeout=max(0.0, deadline - time.monotonic())):
                seen.append(self.proc.stdout.readline())
                if not seen[-1] or re.search(pattern, seen[-1]):
                    break
        if not seen or not re.search(pattern, seen[-1]):
            self.stop()
            raise RuntimeError(f"kvsim did not start: {''.join(seen)}")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()


@pytest.fixture
def start_sim():
    """Factory: start_sim("--scene", "wall") -> Sim; every sim is stopped after the test."""
    sims = []

    def start(*args):
        sims.append(Sim(*args))
        return sims[-1]

    yield start
    for sim in sims:
        sim.stop()


@pytest.fixture(scope="session")
def wall_sim():
    """A camera looking at a flat wall at 1500 mm, frames as fast as they are taken. Shared: the library
    keeps every network camera it has opened connected until it is shut down, and has four sockets."""
    sim = Sim("--scene", "wall", "--fps", "0")
    yield sim
    sim.stop()


@pytest.fixture
def cam(wall_sim):
    with kvdepth.open(ip=wall_sim.ip) as camera:
        yield camera

