#!/usr/bin/python3
"""Runs the scaler benchmark and Pillow's BOX resize on the same sizes and windows, side by
side in one run, and prints our median, Pillow's median and the ratio.

Pillow works on a random 6000 x 4000 image in mode "RGBX" (4 bytes a pixel, like ours), one
thread. Usage: bench/scaler_vs_pillow.py [build folder]
"""
import json
import os
import statistics
import subprocess
import sys
import time

import numpy
from PIL import Image

BUILD = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "build")

# name in the benchmark, (destination size), window (x, y, width, height) or None for the whole
CASES = [
    ("BM_Shrink_6000x4000_to_1500x1000", (1500, 1000), None),
    ("BM_Shrink_6000x4000_to_1919x1279", (1919, 1279), None),
    ("BM_Shrink_6000x4000_to_1919x20", (1919, 20), None),
    ("BM_Window_zoom2_to_1920x1080", (1920, 1080), (100.5, 200.25, 1920 / 2.0, 1080 / 2.0)),
    ("BM_Window_zoom3_7_to_1920x1080", (1920, 1080), (100.5, 200.25, 1920 / 3.7, 1080 / 3.7)),
    ("BM_Scale1_offset_half_to_1920x1080", (1920, 1080), (0.5, 0.5, 1920.0, 1080.0)),
]


def ours():
    out = subprocess.run(
        [os.path.join(BUILD, "bin", "scaler_bench"), "--benchmark_format=json",
         "--benchmark_repetitions=7", "--benchmark_report_aggregates_only=true"],
        check=True, capture_output=True, text=True).stdout
    medians = {}
    for entry in json.loads(out)["benchmarks"]:
        if entry.get("aggregate_name") == "median":
            medians[entry["run_name"]] = entry["real_time"]  # milliseconds
    return medians


def pillow():
    pixels = numpy.random.default_rng(42).integers(0, 256, (4000, 6000, 4), dtype=numpy.uint8)
    image = Image.fromarray(pixels, "RGBA").convert("RGBX")
    times = {}
    for name, size, window in CASES:
        box = None if window is None else (window[0], window[1], window[0] + window[2],
                                           window[1] + window[3])
        samples = []
        for _ in range(7):
            start = time.perf_counter()
            image.resize(size, Image.BOX, box=box)
            samples.append((time.perf_counter() - start) * 1000)
        times[name] = statistics.median(samples)
    return times


def main():
    mine = ours()
    theirs = pillow()
    print(f"{'case':40} {'ours ms':>9} {'Pillow ms':>10} {'ratio':>7}")
    for name, _, _ in CASES:
        print(f"{name:40} {mine[name]:9.2f} {theirs[name]:10.2f} {mine[name] / theirs[name]:7.2f}")
    floor = mine["BM_MemoryFloor_read_96MB"]
    print(f"{'memory floor: read 96 MB once':40} {floor:9.2f}")
    for name in [case[0] for case in CASES[:2]] + ["BM_Shrink_6000x4000_to_1919x1279_avx2"]:
        if name in mine:
            print(f"{name:40} {mine[name] / floor:9.2f} x the memory floor")


if __name__ == "__main__":
    main()
