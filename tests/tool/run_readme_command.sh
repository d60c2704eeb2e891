#!/usr/bin/env bash
# The README's first command as CI runs it (no terminal, no input), against this build directory: it must
# leave 30 complete frames in the capture directory and say so.
set -euo pipefail
root="$1" build="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
KVDEPTH_BUILD_DIR="$build" CI=true "$root/scripts/run" </dev/null >"$work/out.txt" 2>&1 || { cat "$work/out.txt"; exit 1; }
cat "$work/out.txt"
grep -q "^done: 30 frames written to captures" "$work/out.txt"
for suffix in .json _depth.png _depth_colormap.png _ir_left.png _ir_right.png _color.png _points.ply; do
  count=$(find captures -name "frame_[0-9][0-9][0-9][0-9][0-9][0-9]$suffix" | wc -l)
  [ "$count" -eq 30 ] || { echo "expected 30 files *$suffix, found $count"; exit 1; }
done
if find captures -name '*.part' | grep -q .; then echo "partial files left"; exit 1; fi
head -c 8 captures/frame_000001_depth.png | od -An -c | grep -q "P   N   G"
head -n 2 captures/frame_000001_points.ply | grep -q "format binary_little_endian 1.0"
echo "README command: 30 frames of every stream written"
