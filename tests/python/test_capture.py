"""Capture: zero-copy frames, buffer return, the callback form and an offline camera."""

import ctypes
import os
import struct
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import kvdepth
from kvdepth import _kvdepth

DEPTH, POINTS, LEFT_IR, RIGHT_IR, COLOR = 0x10000, 0x20000, 0x40000, 0x80000, 0x100000
# attribute, component, dtype, trailing shape
ARRAYS = [
    ("depth", DEPTH, np.uint16, ()),
    ("infrared", LEFT_IR, np.uint8, ()),
    ("infrared_right", RIGHT_IR, np.uint8, ()),
    ("color", COLOR, np.uint8, (3,)),
    ("points", POINTS, np.float32, (3,)),
]


@pytest.fixture
def streaming(cam):
    cam.enable("depth", "infrared", "infrared_right", "color", "points")
    yield cam
    if cam.capturing:
        cam.stop()


def test_frame_arrays_are_views_of_the_delivered_images(streaming):
    streaming.start(buffers=3)
    with streaming.fetch(timeout=5) as frame:
        records = {r["component"]: r for r in frame.records()}
        assert set(records) == {c for _, c, _, _ in ARRAYS}
        for attribute, component, dtype, tail in ARRAYS:
            array, record = getattr(frame, attribute), records[component]
            assert array.dtype == dtype
            assert array.shape == (record["height"], record["width"]) + tail
            assert array.ctypes.data == record["address"] and array.nbytes <= record["size"]
        assert frame.index == records[DEPTH]["index"] and frame.timestamp == records[DEPTH]["timestamp"]
    with pytest.raises(ValueError):
        frame.depth  # released


def _c_frame(cam):
    """One frame fetched through the C interface directly, into a buffer of our own."""
    lib = ctypes.CDLL(_kvdepth.__file__)  # resolves the library's symbols through the module
    h = ctypes.c_void_p(cam._device.handle)
    size = ctypes.c_uint32()
    assert lib.KVGetFrameBufferSize(h, ctypes.byref(size)) == 0
    buffer = ctypes.create_string_buffer(size.value)
    frame = ctypes.create_string_buffer(840)
    assert lib.KVClearBufferQueue(h) == 0
    assert lib.KVEnqueueBuffer(h, buffer, size.value) == 0
    assert lib.KVStartCapture(h) == 0
    try:
        assert lib.KVFetchFrame(h, frame, 5000) == 0
    finally:
        lib.KVStopCapture(h)
    images = {}
    for i in range(struct.unpack_from("<i", frame, 12)[0]):
        _, _, _, component, nbytes, address = struct.unpack_from("<QiiiiQ", frame, 40 + 80 * i)
        images[component] = ctypes.string_at(address, nbytes)
    return images


def test_frames_hold_the_same_bytes_as_the_c_interface(streaming):
    # The wall is static: frames differ only in the stamp (sequence and time) at the start of each image.
    expected = _c_frame(streaming)
    streaming.start(buffers=2)
    with streaming.fetch(timeout=5) as frame:
        got = {c: a.tobytes() for c, a in frame.images().items()}
    assert set(got) == set(expected)
    for component, data in expected.items():
        assert got[component][48:] == data[48:], hex(component)


def test_buffer_returns_only_after_the_last_array_is_gone(streaming):
    streaming.start(buffers=2)
    frame = streaming.fetch(timeout=5)
    held, address = frame.depth, frame.buffer_address
    snapshot = held.copy()
    frame.release()
    seen, stamps = [], []
    for f in streaming.frames(6, timeout=5):
        seen.append(f.buffer_address)
        stamps.append(f.timestamp)
        f.release()
    assert stamps == sorted(set(stamps))
    assert address not in seen and len(set(seen)) == 1
    assert np.array_equal(held, snapshot)  # nothing wrote into the held buffer
    del held
    seen = [f.buffer_address for f in streaming.frames(6, timeout=5)]  # frames go by garbage collection
    assert address in seen


def test_arrays_outlive_the_camera(wall_sim):
    with kvdepth.open(ip=wall_sim.ip) as cam:
        cam.enable("depth")
        cam.start(buffers=2)
        depth = cam.fetch(timeout=5).depth
        snapshot = depth.copy()
    assert np.array_equal(depth, snapshot)


def test_trigger_mode_waits_without_holding_the_interpreter(streaming):
    mode = streaming.features["device"]["trigger mode"]
    mode.value = True
    try:
        streaming.start(buffers=2)
        stamps, waited = [0.0], threading.Event()

        def run_python():
            while not waited.is_set():
                if time.monotonic() - stamps[-1] > 0.01:
                    stamps.append(time.monotonic())

        other = threading.Thread(target=run_python)
        other.start()
        began = time.monotonic()
        try:
            with pytest.raises(kvdepth.TimeoutError):
                streaming.fetch(timeout=0.5)  # no trigger, no frame
        finally:
            ended = time.monotonic()
            waited.set()
            other.join()
        # Python ran in the middle of the wait: the fetch did not hold the interpreter lock.
        assert any(began + 0.1 < t < ended - 0.1 for t in stamps)
        streaming.trigger()
        assert streaming.fetch(timeout=5).depth is not None
        streaming.stop()
    finally:
        mode.value = False


def test_callback_form_delivers_frames_on_a_library_thread(streaming):
    got, kept, enough = [], [], threading.Event()

    def on_frame(frame):
        got.append((frame.index, threading.get_ident()))
        if not kept:
            kept.append(frame)
        if len(got) >= 4:
            enough.set()

    streaming.start(buffers=3, callback=on_frame)
    with pytest.raises(kvdepth.WrongModeError):
        streaming.fetch(timeout=1)
    assert enough.wait(timeout=10)
    streaming.stop()
    indices = [i for i, _ in got]
    assert indices == sorted(set(indices))
    assert threading.get_ident() not in {t for _, t in got}
    assert kept[0].depth.shape == (480, 640)  # a frame kept from the callback stays valid


def test_callback_closing_its_own_camera_raises_instead_of_deadlocking(streaming):
    # Closing waits for the callback thread; from that thread it would wait for itself.
    called = threading.Event()

    def on_frame(frame):
        called.set()
        streaming.close()

    streaming.start(buffers=2, callback=on_frame)
    assert called.wait(timeout=10)
    with pytest.raises(RuntimeError, match="own frame callback"):  # the callback's error, from stop()
        streaming.stop()
    assert not streaming.closed


def test_offline_camera_raises_in_the_loop_instead_of_hanging(start_sim):
    sim = start_sim("--scene", "wall", "--fault", "close-after-frames=3")
    with kvdepth.open(ip=sim.ip) as cam:
        cam.enable("depth")
        cam.start(buffers=2)
        began = time.monotonic()
        with pytest.raises(kvdepth.DeviceOfflineError):
            for _ in cam.frames(timeout=120):
                pass
        assert time.monotonic() - began < 60  # well before the loop's own limit


def test_example_saves_depth_and_point_cloud(start_sim, tmp_path):
    # A camera of its own: the library of this process keeps its connections to the others.
    sim = start_sim("--scene", "wall")
    example = os.path.join(os.path.dirname(__file__), "..", "..", "python", "examples", "capture_to_files.py")
    subprocess.run([sys.executable, example, "--ip", sim.ip, "--out", str(tmp_path), "--frames", "2"],
                   check=True, timeout=120, capture_output=True)
    depth = np.load(tmp_path / "depth.npy")
    assert depth.dtype == np.uint16 and depth.shape == (480, 640)
    ply = (tmp_path / "points.ply").read_bytes()
    header, _, body = ply.partition(b"end_header\n")
    count = int(header.split(b"element vertex ")[1].split()[0])
    assert count > 0.9 * 480 * 640 and len(body) == count * 12
