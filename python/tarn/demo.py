"""python3 -m tarn.demo: streams the simulated sensor into tarn, prints frames per second and
the measured plane angle each second, and saves the last frame's depth image as a PNG."""

from __future__ import annotations

import argparse
import time
from typing import Optional

import tarn

_LOCAL_PORT_ANY = 0


def _arguments() -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="python3 -m tarn.demo", description=__doc__)
    parser.add_argument("--tilt", type=float, default=12.0, help="the wall's tilt in degrees [12]")
    parser.add_argument("--fps", type=float, default=15.0, help="frames per second [15]")
    parser.add_argument("--seconds", type=float, default=5.0, help="how long to stream [5]")
    parser.add_argument("--address", default="127.0.0.1",
                        help="the loopback address the simulated sensor sends from [127.0.0.1]")
    parser.add_argument("--png", default="depth.png", help="where the depth image goes [depth.png]")
    return parser.parse_args()


def main() -> None:
    args = _arguments()
    with tarn.Stream(device=args.address, local_port=_LOCAL_PORT_ANY) as stream, \
            tarn.sim.Sensor(port=stream.local_port, source=args.address, tilt=args.tilt,
                            fps=args.fps), \
            tarn.PlaneAngle() as plane:
        print(f"streaming a wall at {args.tilt:g} degrees, {args.fps:g} fps, "
              f"to local port {stream.local_port} for {args.seconds:g} s")
        start = time.monotonic()
        second_start, frames_this_second = start, 0
        frame: Optional[tarn.Frame] = None
        angle = float("nan")
        for frame in stream.frames(timeout=1.0):
            measured, code, _ = plane.measure(frame)
            angle = measured if code == 0 else angle
            frames_this_second += 1
            now = time.monotonic()
            if now - second_start >= 1.0:
                print(f"{now - start:5.1f} s  {frames_this_second / (now - second_start):5.1f} fps  "
                      f"frame {frame.info.sequence}  angle {angle:6.2f} (true {args.tilt:g})")
                second_start, frames_this_second = now, 0
            if now - start >= args.seconds:
                break
        stats = stream.stats()
    print(f"frames decoded {stats['frames_decoded']}, incomplete {stats['frames_incomplete']}, "
          f"lost {stats['frames_lost_last'] + stats['frames_queue_full']}")
    if frame is not None:
        frame.save_depth_png(args.png)
        print(f"depth image of frame {frame.info.sequence} saved to {args.png}")


if __name__ == "__main__":
    main()
