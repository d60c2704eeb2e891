#!/usr/bin/env python3
"""Overhead of delivering a frame to Python (all streams, arrays touched) over the plain C fetch loop.

    PYTHONPATH=build/python /usr/bin/python3 bench/python/bench_frame_overhead.py build/sim/kvsim/kvsim

Starts kvsim on 127.0.6.98 (frames as fast as they are taken), then alternates rounds of the C loop
(fetch + enqueue, no Python per frame) and the Python loop (fetch, five array views, release), and
reports the best round of each as wall time and as CPU time of the calling thread (which excludes the
library's receive thread and does not depend on how the simulator paces its frames).
Target: Python at most 50 microseconds per frame above C.
"""

import subprocess
import sys
import time

import kvdepth

ADDRESS = "127.0.6.98"


def timed(run):
    wall, cpu = time.perf_counter(), time.thread_time()
    run()
    return time.perf_counter() - wall, time.thread_time() - cpu


def python_loop(cam, frames):
    for frame in cam.frames(frames, timeout=5.0):
        with frame:
            frame.depth, frame.infrared, frame.infrared_right, frame.color, frame.points


def main():
    kvsim = sys.argv[1]
    frames = int(sys.argv[2]) if len(sys.argv) > 2 else 200
    sim = subprocess.Popen([kvsim, "--listen", ADDRESS, "--fps", "0", "--scene", "wall"],
                           stdout=subprocess.PIPE, text=True)
    try:
        while "listening on" not in sim.stdout.readline():
            pass
        with kvdepth.open(ip=ADDRESS) as cam:
            cam.enable("depth", "infrared", "infrared_right", "color", "points")
            cam.start(buffers=4)
            for frame in cam.frames(20, timeout=5.0):  # warm-up
                frame.release()
            c_best = py_best = (float("inf"), float("inf"))
            for _ in range(5):
                c = timed(lambda: cam._device.fetch_loop_seconds(frames, 5.0))
                py = timed(lambda: python_loop(cam, frames))
                c_best = tuple(min(a, b / frames) for a, b in zip(c_best, c))
                py_best = tuple(min(a, b / frames) for a, b in zip(py_best, py))
            cam.stop()
        for label, (wall, cpu) in (("C fetch loop", c_best), ("Python frame loop", py_best)):
            print(f"{label:18} {wall * 1e6:9.1f} us/frame wall {cpu * 1e6:9.1f} us/frame caller CPU")
        print(f"{'overhead':18} {(py_best[0] - c_best[0]) * 1e6:9.1f} us/frame wall "
              f"{(py_best[1] - c_best[1]) * 1e6:9.1f} us/frame caller CPU (target <= 50)")
    finally:
        sim.terminate()
        sim.wait()


if __name__ == "__main__":
    main()
