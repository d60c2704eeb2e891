#!/usr/bin/python3
"""Reads a PLY file with meshio (an independent reader) and prints its vertices, one per line:
the vertex count first, then "x y z" or "x y z r g b"."""
import sys

import meshio


def main():
    mesh = meshio.read(sys.argv[1], file_format="ply")
    points = mesh.points
    colors = [mesh.point_data.get(c) for c in ("red", "green", "blue")]
    has_color = all(c is not None for c in colors)
    out = [str(len(points))]
    for i, p in enumerate(points):
        line = "%.4f %.4f %.4f" % (p[0], p[1], p[2])
        if has_color:
            # meshio reads binary uchar properties as signed bytes: take the bits as unsigned.
            line += " %d %d %d" % tuple(int(c[i]) & 0xFF for c in colors)
        out.append(line)
    sys.stdout.write("\n".join(out) + "\n")


if __name__ == "__main__":
    main()
