"""Geometry helpers: points against the scene's truth, conversions both ways, registration, undistortion."""

import numpy as np
import pytest

import kvdepth

WALL_MM = 1500.0  # the wall scene: a flat wall facing the camera


@pytest.fixture
def wall_frame(cam):
    cam.enable("depth", "points")
    cam.start(buffers=2)
    frame = cam.fetch(timeout=5)
    yield cam, frame.depth.copy(), frame.points.copy()
    frame.release()
    cam.stop()


def test_points_lie_on_the_wall_within_a_millimetre(wall_frame):
    cam, depth, points = wall_frame
    fx, _, cx, _, fy, cy, *_ = cam.features["depth"]["depth intrinsic"].floats()
    valid = depth > 0
    valid[0, :8] = False  # the image stamp
    assert valid.mean() > 0.95
    p = points[valid]
    rows, cols = np.nonzero(valid)
    assert np.abs(p[:, 2] - WALL_MM).max() <= 1.0
    assert np.abs(p[:, 0] - (cols - cx) * WALL_MM / fx).max() <= 1.0
    assert np.abs(p[:, 1] - (rows - cy) * WALL_MM / fy).max() <= 1.0


def test_depth_and_world_convert_both_ways(wall_frame):
    cam, depth, points = wall_frame
    world = cam.depth_image_to_world(depth)
    assert world.shape == depth.shape + (3,) and world.dtype == np.float32
    valid = depth > 0
    assert np.abs(world[valid] - points[valid]).max() <= 1.0
    rows, cols = np.nonzero(valid)
    back = cam.world_to_depth(world[valid])
    assert np.abs(back - np.stack((cols, rows, depth[valid]), axis=-1)).max() <= 0.5
    with pytest.raises(ValueError):
        cam.depth_to_world(np.zeros((4, 2), np.float32))


def test_registration_renders_the_wall_into_the_colour_image(wall_frame):
    cam, depth, points = wall_frame
    image = cam.register_to_color(points[depth > 0])
    color = cam.features["color"]
    assert image.dtype == np.uint16
    assert image.shape == (color["image height"].value, color["image width"].value)
    covered = image[image > 0]
    assert covered.size > 0.5 * image.size
    assert abs(float(np.median(covered)) - WALL_MM) < 100


@pytest.mark.parametrize("shape,k1", [((60, 80), 0.0), ((60, 80, 3), 0.0), ((60, 80), 0.3)])
def test_undistort_keeps_the_image_only_without_distortion(shape, k1):
    image = np.random.default_rng(7).integers(0, 256, shape, dtype=np.uint8)
    k = [70.0, 0, 40.0, 0, 70.0, 30.0, 0, 0, 1]  # taken flat or as 3x3
    out = kvdepth.undistort(image, k if k1 else np.reshape(k, (3, 3)).tolist(), [k1] + [0.0] * 11)
    assert out.shape == image.shape and out.dtype == np.uint8
    # The last row and column sample past the edge and may come out black.
    difference = np.abs(out[:-1, :-1].astype(int) - image[:-1, :-1]).max()
    assert (difference <= 1) == (k1 == 0.0)
    with pytest.raises(ValueError):
        kvdepth.undistort(image, k[:8], np.zeros(12))
