#!/usr/bin/env python3
"""Captures a few frames from a network camera (or kvsim) and saves the last one:
depth as depth.npy (uint16, millimetres) and its point cloud as points.ply (binary, valid points only).

    kvsim --listen 127.0.0.1 --scene room &
    python3 capture_to_files.py --ip 127.0.0.1 --out /tmp/capture
"""

import argparse
import pathlib

import numpy as np

import kvdepth


def save_ply(path, points):
    """Writes (N, 3) float32 points as a binary little-endian PLY file."""
    points = np.ascontiguousarray(points, dtype="<f4")
    header = ("ply\nformat binary_little_endian 1.0\n"
              f"element vertex {len(points)}\n"
              "property float x\nproperty float y\nproperty float z\nend_header\n")
    with open(path, "wb") as out:
        out.write(header.encode("ascii"))
        out.write(points.tobytes())


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--ip", required=True, help="IPv4 address of the camera")
    parser.add_argument("--out", default=".", help="output folder")
    parser.add_argument("--frames", type=int, default=5, help="frames to capture")
    args = parser.parse_args()
    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)

    with kvdepth.open(ip=args.ip) as cam:
        print(f"{cam.info.model} {cam.info.id}, firmware {cam.firmware}")
        cam.enable("depth", "points")
        cam.start(buffers=4)
        depth = points = None
        for frame in cam.frames(args.frames, timeout=5.0):
            with frame:
                # Copies: the arrays would otherwise keep the frame buffer from the camera.
                depth, points = frame.depth.copy(), frame.points.copy()
                print(f"frame {frame.index}: {np.count_nonzero(depth)} valid depth pixels")
        cam.stop()

    np.save(out / "depth.npy", depth)
    valid = points[np.isfinite(points).all(axis=-1) & (depth > 0)]
    save_ply(out / "points.ply", valid)
    print(f"saved {out / 'depth.npy'} and {len(valid)} points to {out / 'points.ply'}")


if __name__ == "__main__":
    main()
