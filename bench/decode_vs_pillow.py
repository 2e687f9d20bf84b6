#!/usr/bin/python3
"""Decodes the 6000 x 4000 sample JPEG with our ReadImage (decode, 8-bit export, free, through
framekit-tool bench) and with Pillow, side by side, and prints both medians and the ratio.

Usage: bench/decode_vs_pillow.py [build folder]
"""
import os
import re
import statistics
import subprocess
import sys
import time

from PIL import Image

BUILD = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "build")
SAMPLE = os.path.join(BUILD, "samples", "images", "large 6000x4000.jpg")


def pillow_ms():
    samples = []
    for _ in range(5):
        start = time.perf_counter()
        with Image.open(SAMPLE) as image:
            image.load()
        samples.append((time.perf_counter() - start) * 1000)
    return statistics.median(samples)


def main():
    report = subprocess.run([os.path.join(BUILD, "bin", "framekit-tool"), "bench", SAMPLE],
                            check=True, capture_output=True, text=True).stdout
    print(report, end="")
    ours = float(re.search(r"ReadImage \(all of it\)\s+([\d.]+) ms", report).group(1))
    theirs = pillow_ms()
    print(f"Pillow full decode         {theirs:.1f} ms (median of 5)")
    print(f"ReadImage / Pillow         {ours / theirs:.2f}")


if __name__ == "__main__":
    main()
