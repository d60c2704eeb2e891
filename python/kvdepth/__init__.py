"""kvdepth: structured-light depth cameras over USB and Ethernet, with frames as NumPy arrays.

    import kvdepth
    with kvdepth.open(ip="192.168.1.10") as cam:
        cam.enable("depth", "color")
        cam.start(buffers=4)
        for frame in cam.frames(10, timeout=2.0):
            with frame:
                print(frame.index, frame.depth.shape, frame.color.mean())

Frame arrays are views of the frame buffer, not copies: the buffer goes back to the camera once the
frame is released (``with frame:``, ``frame.release()`` or garbage collection) and no array of it is
alive any more. Copy an array (``frame.depth.copy()``) to keep the data without holding the buffer.
"""

import atexit
import weakref
from typing import NamedTuple

import numpy as np

from . import _kvdepth
from ._errors import *  # noqa: F401,F403  (the exception classes are part of the package interface)
from ._errors import Error, DeviceOfflineError, error_class  # noqa: F401
from ._features import Component, EnumEntry, Feature, FeatureTree  # noqa: F401

__all__ = ["Camera", "DeviceInfo", "Frame", "devices", "open", "undistort", "version", "error_string",
           "COMPONENTS", "Error", "DeviceOfflineError", "Feature", "Component", "FeatureTree", "EnumEntry"]

Frame = _kvdepth.Frame

COMPONENTS = {
    "device": -0x80000000,
    "depth": 0x00010000,
    "points": 0x00020000,
    "infrared": 0x00040000,
    "infrared_right": 0x00080000,
    "color": 0x00100000,
    "image_extra": 0x00200000,
    "laser": 0x00400000,
    "aux": 0x01000000,
}
_ALIASES = {"point3d": "points", "left_ir": "infrared", "leftir": "infrared", "right_ir": "infrared_right",
            "rightir": "infrared_right", "colour": "color"}


def _component_mask(components):
    mask = 0
    for c in components:
        if isinstance(c, str):
            key = c.lower()
            key = _ALIASES.get(key, key)
            if key not in COMPONENTS:
                raise ValueError(f"unknown component {c!r}; known: {sorted(COMPONENTS)}")
            mask |= COMPONENTS[key] & 0xffffffff
        else:
            mask |= int(c) & 0xffffffff
    return mask - (1 << 32) if mask & 0x80000000 else mask


class DeviceInfo(NamedTuple):
    """What the library knows of a camera before and after opening it."""
    id: str
    vendor: str
    model: str
    hardware_version: tuple
    firmware_version: tuple
    interface: str
    ip: str
    init_status: int


def version():
    """The library version as (major, minor, patch)."""
    return _kvdepth.version()


def error_string(code):
    """The library's message for a status code."""
    return _kvdepth.error_string(code)


def devices():
    """Information on every camera the library can see (USB, and network cameras already known)."""
    return [DeviceInfo(**d) for d in _kvdepth.device_list()]


def open(ip=None, serial=None, id=None):  # noqa: A001  (kvdepth.open is the natural name)
    """Opens a camera by IPv4 address, serial number or identifier; use it in a ``with`` block."""
    given = [x for x in (ip, serial, id) if x is not None]
    if len(given) != 1:
        raise TypeError("give exactly one of ip=, serial= or id=")
    device = _kvdepth.open_ip(ip) if ip is not None else _kvdepth.open_id(str(given[0]))
    return Camera(device)


def undistort(image, intrinsic, distortion, new_intrinsic=None):
    """Undistorts a uint8 image (H, W) or (H, W, 3); intrinsic: 3x3 (9 values), distortion: 12 values."""
    return _kvdepth.undistort(np.asarray(image), intrinsic, distortion, new_intrinsic)


_open_cameras = weakref.WeakSet()


class Camera:
    """An open camera. Close it with ``close()`` or by leaving a ``with`` block."""

    def __init__(self, device):
        self._device = device
        self._features = None
        _open_cameras.add(self)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __repr__(self):
        state = "closed" if self.closed else self.info.id
        return f"<kvdepth.Camera {state}>"

    def close(self):
        """Stops capture and closes the camera; frames already taken stay valid."""
        self._device.close()

    @property
    def closed(self):
        return self._device.closed

    @property
    def info(self):
        """DeviceInfo of this camera."""
        return DeviceInfo(**self._device.info())

    @property
    def firmware(self):
        """The firmware build text the camera reports, or None."""
        return _kvdepth.firmware_text(self.info.id)

    @property
    def descriptor(self):
        """The device descriptor XML."""
        return self._device.descriptor()

    @property
    def features(self):
        """Component/feature tree: ``cam.features["laser"]["power"].value = 60``."""
        if self._features is None:
            self._features = FeatureTree(self._device)
        return self._features

    @property
    def components(self):
        """Names of the camera's components (descriptor names)."""
        return list(self.features)

    @property
    def enabled(self):
        """Mask of the enabled components."""
        return self._device.enabled_components()

    def enable(self, *components):
        """Enables streams: names from COMPONENTS ("depth", "infrared", "color", "points", ...) or ids."""
        self._device.enable(_component_mask(components))

    def disable(self, *components):
        """Disables streams, as enable()."""
        self._device.disable(_component_mask(components))

    def start(self, buffers=4, callback=None):
        """Starts capture with `buffers` frame buffers. With a callback, each frame is passed to
        ``callback(frame)`` on a library thread (holding the interpreter lock only while it runs);
        an exception it raises is re-raised by stop()."""
        self._device.start(int(buffers), callback)

    def stop(self):
        """Stops capture."""
        self._device.stop()

    @property
    def capturing(self):
        return self._device.is_capturing()

    def trigger(self):
        """Sends a software trigger (the camera must be in trigger mode)."""
        self._device.trigger()

    def fetch(self, timeout=1.0):
        """Waits up to `timeout` seconds (None: no limit) for the next frame."""
        return self._device.fetch(-1.0 if timeout is None else float(timeout))

    def frames(self, count=None, timeout=1.0):
        """Yields `count` frames (None: until stopped); raises kvdepth.TimeoutError when none comes in
        `timeout` seconds and kvdepth.DeviceOfflineError when the camera goes away."""
        n = 0
        while count is None or n < count:
            yield self.fetch(timeout)
            n += 1

    def depth_to_world(self, points):
        """(..., 3) float (column, row, depth) to (..., 3) float32 world points (depth units)."""
        return self._device.depth_to_world(points)

    def world_to_depth(self, points):
        """(..., 3) world points to (..., 3) float32 (column, row, depth)."""
        return self._device.world_to_depth(points)

    def depth_image_to_world(self, depth):
        """A (H, W) depth image to (H, W, 3) float32 world points."""
        depth = np.asarray(depth)
        if depth.ndim != 2:
            raise ValueError("expected a depth image of shape (H, W)")
        rows, cols = np.indices(depth.shape, dtype=np.float32)
        return self._device.depth_to_world(np.stack((cols, rows, depth.astype(np.float32)), axis=-1))

    def register_to_color(self, world):
        """Renders (..., 3) world points into a uint16 depth image of the colour camera's size."""
        return self._device.register_to_color(world)


@atexit.register
def _close_all():
    # Library threads must be gone before the interpreter goes away.
    for cam in list(_open_cameras):
        try:
            cam.close()
        except Error:
            pass
    _kvdepth.deinit()
