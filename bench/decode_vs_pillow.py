#!/usr/bin/python3
"""Decodes large photos with our decoder and with Pillow, side by side in one run, and prints
decode times, whole-process times and peak resident memory of both.

Usage: /usr/bin/python3 bench/decode_vs_pillow.py [BUILD] [--no-gigapixel] [--runs N]
                                                  [--gigapixel-runs N] [--no-rgba]

BUILD is the build folder (default: build/ beside bench/); it must hold bin/framekit-tool and
samples/images/. Needs Pillow and numpy (Debian: python3-pil, python3-numpy).

Cases: the 6000 x 4000 sample JPEG of the build; a 45 MP (8256 x 5504) and a 100 MP
(12240 x 8160) photo-like JPEG (quality 90, 4:2:0); the 24 MP photo-like picture as a PNG, as
an LZW TIFF and as a lossy WebP (quality 85); a 1 gigapixel (32768 x 32768) smooth RGB PNG.
The made files are kept in BUILD/bench-data/ and made again only when missing (the first run
takes a few minutes more). --no-gigapixel leaves the 1 GP case out.

Every decode runs in a child process of its own, ours and Pillow's taking turns:
- ours: `framekit-tool decode FILE`; "ours ms" is the DECODE_MS + EXPORT_MS it prints (8-bit
  BGRA out);
- Pillow: a child of this script that times Image.open(FILE).load() (its native mode, RGB: the
  comparison "ratio" makes) and, in separate runs, .convert("RGBA") after it (4 bytes a pixel,
  like ours: the fairer but slower peer, in the second table; not on the 1 GP case);
- "wall" is the child's whole life seen from here: start-up and library set-up are part of
  what a user waits for (exit is in it too);
- peak memory is the child's ru_maxrss from wait4, the largest over the runs. A child
  inherits its parent's high-water mark at exec, so this script never loads numpy or Pillow
  itself (the files are made in a child too) and prints the floor that a do-nothing child
  reports.
Times are medians. MB are 2^20 bytes; the memory budget is 4.5 bytes a pixel + 80 MB.
"""
import argparse
import os
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time
import zlib
from dataclasses import dataclass, field

HERE = os.path.dirname(os.path.abspath(__file__))
MB = 1024 * 1024
# Bump when the recipe of a made file changes, so cached files from the old recipe are not used.
RECIPE = 1
CHILD_TIMEOUT_S = 900


@dataclass
class Case:
    name: str
    path: str
    width: int
    height: int
    runs: int
    made_by: str = ""  # the child mode that makes the file, "" for a file of the build
    # Pillow's conversion to RGBA doubles its memory: about 8 GB for the gigapixel case.
    with_rgba: bool = True

    @property
    def pixels(self):
        return self.width * self.height


@dataclass
class ChildRun:
    status: int
    out: str
    err: str
    wall_ms: float
    peak_bytes: int


@dataclass
class Side:
    """One decoder's figures for one case."""
    ms: list = field(default_factory=list)
    wall_ms: list = field(default_factory=list)
    peak_bytes: list = field(default_factory=list)
    failure: str = ""

    def median_ms(self):
        return statistics.median(self.ms) if self.ms and not self.failure else None

    def median_wall(self):
        return statistics.median(self.wall_ms) if self.wall_ms and not self.failure else None

    def peak(self):
        return max(self.peak_bytes) if self.peak_bytes and not self.failure else None


# ---- children: making the files and Pillow's decode (these import numpy and Pillow) ----------

def make_photo_jpeg(path, width, height):
    """A photo-like JPEG: smooth colour gradients, blotchy detail at a few scales whose strength
    varies over the frame, and sensor-like noise, so it compresses like a photo (2 to 3 bits a
    pixel at quality 90) rather than like a flat colour."""
    import numpy
    from PIL import Image

    rng = numpy.random.default_rng(2024)
    # Random values on coarse grids, interpolated bilinearly: detail of about 3 and 16 pixels.
    grids = [(cell, amplitude, rng.normal(0.0, 1.0, (height // cell + 2, width // cell + 2, 3))
              .astype(numpy.float32)) for cell, amplitude in ((3, 40.0), (16, 24.0))]
    pixels = numpy.empty((height, width, 3), numpy.uint8)
    x = numpy.linspace(0.0, 1.0, width, dtype=numpy.float32)[None, :, None]
    phase = numpy.array([0.0, 1.3, 2.6], numpy.float32)[None, None, :]
    strip = 256
    for top in range(0, height, strip):
        rows = min(strip, height - top)
        row_index = numpy.arange(top, top + rows)
        y = (row_index.astype(numpy.float32) / height)[:, None, None]
        value = (120.0 + 70.0 * numpy.sin(2.2 * x + 1.7 * y + phase)
                 + 40.0 * numpy.cos(3.1 * y - 0.8 * x + 2.0 * phase) * x)
        # Strong detail in some areas and faint in others, like foliage beside sky.
        strength = 0.55 + 0.45 * numpy.sin(5.0 * x + 3.0 * y) * numpy.cos(4.0 * y - 2.0 * x)
        for cell, amplitude, grid in grids:
            gy, fy = numpy.divmod(row_index / cell, 1.0)
            gx, fx = numpy.divmod(numpy.arange(width) / cell, 1.0)
            gy, gx = gy.astype(int)[:, None], gx.astype(int)[None, :]
            fy = fy.astype(numpy.float32)[:, None, None]
            fx = fx.astype(numpy.float32)[None, :, None]
            top_row = grid[gy, gx] * (1 - fx) + grid[gy, gx + 1] * fx
            bottom_row = grid[gy + 1, gx] * (1 - fx) + grid[gy + 1, gx + 1] * fx
            # Mostly luminance, some colour, as in a photo.
            detail = top_row * (1 - fy) + bottom_row * fy
            detail = 0.7 * detail.mean(axis=2, keepdims=True) + 0.3 * detail
            value += amplitude * strength * detail
        value += rng.normal(0.0, 5.0, (rows, width, 3)).astype(numpy.float32)
        pixels[top:top + rows] = numpy.clip(value, 0, 255).astype(numpy.uint8)
    Image.fromarray(pixels, "RGB").save(path, "JPEG", quality=90, subsampling="4:2:0")


def make_photo_lossless(path, width, height, kind):
    """The photo-like picture of make_photo_jpeg, stored again: a PNG (zlib level 6, adaptive
    filters, as Pillow writes by default), an LZW TIFF in strips or a lossy WebP (quality 85)."""
    from PIL import Image

    jpeg = path + ".jpg"
    make_photo_jpeg(jpeg, width, height)
    with Image.open(jpeg) as picture:
        if kind == "png":
            picture.save(path, "PNG")
        elif kind == "webp":
            picture.save(path, "WEBP", quality=85)
        else:
            picture.save(path, "TIFF", compression="tiff_lzw")
    os.remove(jpeg)


def make_smooth_png(path, width, height):
    """A large smooth RGB PNG written with zlib in strips, so the whole image is never in
    memory. Every row uses the Sub filter; the content is a sum of slow waves in x and y, so the
    file stays small."""
    import numpy

    x = numpy.arange(width, dtype=numpy.float64)
    y = numpy.arange(height, dtype=numpy.float64)
    along_x = [60.0 * numpy.sin(2 * numpy.pi * x / width * k + k) for k in (1.0, 2.0, 3.0)]
    along_y = [60.0 * numpy.cos(2 * numpy.pi * y / height * k + k) for k in (1.5, 2.5, 1.0)]

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    with open(path, "wb") as png:
        png.write(b"\x89PNG\r\n\x1a\n")
        png.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)))
        deflate = zlib.compressobj(6)
        strip = 512
        for top in range(0, height, strip):
            rows = min(strip, height - top)
            rgb = numpy.empty((rows, width, 3), numpy.uint8)
            for channel in range(3):
                value = 128.0 + along_x[channel][None, :] + along_y[channel][top:top + rows, None]
                rgb[:, :, channel] = numpy.clip(value, 0, 255).astype(numpy.uint8)
            # Sub filter: each byte minus the byte of the pixel to its left, modulo 256.
            filtered = rgb.reshape(rows, width * 3).copy()
            filtered[:, 3:] -= rgb.reshape(rows, width * 3)[:, :-3]
            raw = numpy.empty((rows, width * 3 + 1), numpy.uint8)
            raw[:, 0] = 1
            raw[:, 1:] = filtered
            data = deflate.compress(raw.tobytes())
            if data:
                png.write(chunk(b"IDAT", data))
        png.write(chunk(b"IDAT", deflate.flush()))
        png.write(chunk(b"IEND", b""))


def pillow_decode(path, to_rgba):
    """Prints WIDTH HEIGHT MS for one decode by Pillow, like framekit-tool decode does."""
    from PIL import Image

    Image.MAX_IMAGE_PIXELS = None  # Pillow refuses images over ~179 MP otherwise
    start = time.perf_counter()
    with Image.open(path) as image:
        image.load()
        if to_rgba:
            image = image.convert("RGBA")
        elapsed = (time.perf_counter() - start) * 1000
        print(image.width, image.height, f"{elapsed:.3f}")


def child_main(argv):
    mode = argv[0]
    if mode == "make-jpeg":
        make_photo_jpeg(argv[3], int(argv[1]), int(argv[2]))
    elif mode == "make-png":
        make_smooth_png(argv[3], int(argv[1]), int(argv[2]))
    elif mode in ("make-photo-png", "make-photo-tiff", "make-photo-webp"):
        make_photo_lossless(argv[3], int(argv[1]), int(argv[2]), mode.rsplit("-", 1)[1])
    elif mode == "pillow":
        pillow_decode(argv[1], to_rgba=False)
    elif mode == "pillow-rgba":
        pillow_decode(argv[1], to_rgba=True)
    elif mode == "nothing":
        from PIL import Image  # noqa: F401  (start-up of a Pillow child without a decode)
    else:
        sys.exit(f"decode_vs_pillow.py: unknown child mode {mode}")


# ---- the parent: runs children and measures them ---------------------------------------------

def run_child(argv, env=None):
    """Runs argv to its end; returns its status, output, wall time and peak resident bytes."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        start = time.perf_counter()
        child = subprocess.Popen(argv, stdout=out, stderr=err, env=env)
        # wait4 rather than Popen.wait: only wait4 gives this one child's rusage.
        killer = threading.Timer(CHILD_TIMEOUT_S, child.kill)
        killer.start()
        try:
            _, status, usage = os.wait4(child.pid, 0)
        finally:
            killer.cancel()
        wall_ms = (time.perf_counter() - start) * 1000
        child.returncode = os.waitstatus_to_exitcode(status)
        out.seek(0)
        err.seek(0)
        return ChildRun(child.returncode, out.read().decode(errors="replace"),
                        err.read().decode(errors="replace"), wall_ms, usage.ru_maxrss * 1024)


def this_script_child(*args):
    return [sys.executable, os.path.abspath(__file__), "--child", *map(str, args)]


def ensure_file(case):
    """Makes the case's file if it is missing; returns a failure text or ""."""
    if os.path.exists(case.path) or not case.made_by:
        return "" if os.path.exists(case.path) else f"missing: {case.path}"
    os.makedirs(os.path.dirname(case.path), exist_ok=True)
    partial = case.path + ".partial"
    print(f"making {case.path} ...", flush=True)
    run = run_child(this_script_child(case.made_by, case.width, case.height, partial))
    if run.status != 0:
        return f"could not make it: {run.err.strip()[-300:]}"
    os.replace(partial, case.path)  # only a whole file is ever cached
    print(f"  {os.path.getsize(case.path) / MB:.1f} MB in {run.wall_ms / 1000:.0f} s", flush=True)
    return ""


def read_into_page_cache(path):
    with open(path, "rb") as f:
        while f.read(1 << 20):
            pass


def folder_bytes(folder):
    total = 0
    for root, _, files in os.walk(folder):
        for name in files:
            try:
                total += os.lstat(os.path.join(root, name)).st_size
            except OSError:
                pass
    return total


def parse_decode_output(text, case):
    """WIDTH HEIGHT ... MS...: returns (ms, failure) where ms sums the figures after the size
    fields (ours: decode + export; Pillow: one figure)."""
    fields = text.split()
    try:
        width, height = int(fields[0]), int(fields[1])
        numbers = [float(f) for f in fields[2:] if f.replace(".", "", 1).isdigit()]
    except (IndexError, ValueError):
        return None, f"unexpected output {text.strip()[:80]!r}"
    if (width, height) != (case.width, case.height) or not numbers:
        return None, f"decoded {width} x {height}, expected {case.width} x {case.height}"
    return sum(numbers), ""


def measure_once(side, argv, case, env=None):
    if side.failure:
        return
    run = run_child(argv, env)
    if run.status != 0:
        # The tool's message box, on one line, without Qt's start-up chatter.
        lines = [line.strip() for line in run.err.splitlines()
                 if line.strip() and not line.startswith("QStandardPaths")]
        how = f"exit {run.status}" if run.status >= 0 else f"killed by signal {-run.status}"
        if run.status == -9:
            how += f" (the kernel's OOM killer, or the {CHILD_TIMEOUT_S} s time-out)"
        side.failure = f"{how}: " + " / ".join(lines)[:300]
        return
    ms, failure = parse_decode_output(run.out, case)
    if failure:
        side.failure = failure
        return
    side.ms.append(ms)
    side.wall_ms.append(run.wall_ms)
    side.peak_bytes.append(run.peak_bytes)


def measure_case(case, tool, cache_root, with_rgba):
    """Runs our decoder and Pillow's case.runs times each, taking turns."""
    ours, pillow, pillow_rgba = Side(), Side(), Side()
    read_into_page_cache(case.path)
    leftover = 0
    for _ in range(case.runs):
        # Our decoder may keep very large images in a mapped file of the user's cache folder:
        # give each run a fresh one, and note what it leaves behind.
        cache = tempfile.mkdtemp(prefix="run-", dir=cache_root)
        env = dict(os.environ, XDG_CACHE_HOME=cache)
        measure_once(ours, [tool, "decode", case.path], case, env)
        leftover = max(leftover, folder_bytes(cache))
        shutil.rmtree(cache, ignore_errors=True)
        measure_once(pillow, this_script_child("pillow", case.path), case)
        if with_rgba and case.with_rgba:
            measure_once(pillow_rgba, this_script_child("pillow-rgba", case.path), case)
    return ours, pillow, pillow_rgba, leftover


def measure_start_up(tool, runs):
    """The same children without a decode: what start-up alone costs in time and memory."""
    ours, pillow = Side(), Side()
    for _ in range(runs):
        run = run_child([tool])  # prints its usage and exits after setting up Qt and the library
        ours.wall_ms.append(run.wall_ms)
        ours.peak_bytes.append(run.peak_bytes)
        run = run_child(this_script_child("nothing"))
        if run.status != 0:
            pillow.failure = run.err.strip()[-160:]
        pillow.wall_ms.append(run.wall_ms)
        pillow.peak_bytes.append(run.peak_bytes)
    return ours, pillow


def describe_build(build, tool):
    """Which decoder is measured: when the tool was built, the source's commit, and whether the
    display package's sources changed since the build (the figures are then of older code)."""
    built_at = os.path.getmtime(tool)
    source = os.path.join(HERE, "..")

    def git(*args):
        try:
            return subprocess.run(["git", "-C", source, *args], capture_output=True, text=True,
                                  timeout=30).stdout.strip()
        except (OSError, subprocess.SubprocessError):
            return ""

    commit = git("log", "-1", "--format=%h %cd", "--date=format:%Y-%m-%d %H:%M")
    uncommitted = git("status", "--porcelain", "--", "display")
    display = os.path.join(source, "display")
    newer = sorted(name for name in os.listdir(display)
                   if os.path.getmtime(os.path.join(display, name)) > built_at)
    state = "with uncommitted changes" if uncommitted else "as committed"
    lines = [f"framekit-tool of {build}, built "
             f"{time.strftime('%Y-%m-%d %H:%M:%S', time.localtime(built_at))}",
             f"source: {commit or '?'}, display/ {state}"]
    if newer:
        lines.append("display/ changed after that build: " + " ".join(newer))
    return "\n".join(lines)


def fmt(value, pattern, missing="-"):
    return missing if value is None else format(value, pattern)


def ratio(a, b):
    return None if a is None or b is None or b == 0 else a / b


def print_table(header, rows):
    widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]
    for row in [header] + rows:
        print("  ".join(str(cell).ljust(w) if i == 0 else str(cell).rjust(w)
                        for i, (cell, w) in enumerate(zip(row, widths))))


def mb(value):
    return None if value is None else value / MB


def print_results(results, start_up):
    su_ours, su_pillow = start_up
    main_rows = [["start-up only", "-", "-", "-",
                  fmt(su_ours.median_wall(), ".0f"), fmt(su_pillow.median_wall(), ".0f"),
                  fmt(ratio(su_ours.median_wall(), su_pillow.median_wall()), ".2f"),
                  fmt(mb(su_ours.peak()), ".0f"), fmt(mb(su_pillow.peak()), ".0f"), "-", "-"]]
    rgba_rows = []
    for case, (ours, pillow, pillow_rgba, _) in results:
        main_rows.append([
            case.name,
            fmt(ours.median_ms(), ".0f"), fmt(pillow.median_ms(), ".0f"),
            fmt(ratio(ours.median_ms(), pillow.median_ms()), ".2f"),
            fmt(ours.median_wall(), ".0f"), fmt(pillow.median_wall(), ".0f"),
            fmt(ratio(ours.median_wall(), pillow.median_wall()), ".2f"),
            fmt(mb(ours.peak()), ".0f"), fmt(mb(pillow.peak()), ".0f"),
            fmt(ours.peak() and ours.peak() / case.pixels, ".2f"),
            f"{(4.5 * case.pixels + 80 * MB) / MB:.0f}"])
        if pillow_rgba.ms:
            rgba_rows.append([
                case.name, fmt(pillow_rgba.median_ms(), ".0f"),
                fmt(ratio(ours.median_ms(), pillow_rgba.median_ms()), ".2f"),
                fmt(mb(pillow_rgba.peak()), ".0f")])
    print()
    print_table(["case", "ours ms", "Pillow ms", "ratio", "ours wall", "Pillow wall",
                 "wall ratio", "our peak MB", "Pillow peak MB", "our B/px", "budget MB"],
                main_rows)
    print("ms: median in-process decode (ours: file to 8-bit BGRA; Pillow: open() + load(), RGB);"
          "\nwall: median of the whole child process in ms (start-up and exit included);"
          "\npeak: largest ru_maxrss over the runs; budget: 4.5 B/px + 80 MB")
    if rgba_rows:
        print()
        print_table(["case", "Pillow+RGBA ms", "ours/that", "Pillow+RGBA peak MB"], rgba_rows)
        print('Pillow+RGBA: open() + load() + convert("RGBA"), 4 bytes a pixel like ours')
    print()
    print("every run, in-process ms (the spread says how noisy the machine was):")
    for case, (ours, pillow, pillow_rgba, _) in results:
        runs = "; ".join(f"{who} " + " ".join(f"{ms:.0f}" for ms in side.ms)
                         for who, side in (("ours", ours), ("Pillow", pillow),
                                           ("Pillow+RGBA", pillow_rgba)) if side.ms)
        print(f"  {case.name}: {runs or '-'}")
    if su_pillow.failure:
        print(f"start-up only: Pillow failed: {su_pillow.failure}")
    for case, (ours, pillow, pillow_rgba, leftover) in results:
        for who, side in (("ours", ours), ("Pillow", pillow), ("Pillow+RGBA", pillow_rgba)):
            if side.failure:
                print(f"{case.name}: {who} failed: {side.failure}")
                if side is ours:
                    break  # a missing file fails all three the same way
        if leftover:
            print(f"{case.name}: our decode left {leftover / MB:.0f} MB in its cache folder")


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build", nargs="?", default=os.path.join(HERE, "..", "build"),
                        help="build folder with bin/framekit-tool (default: build/)")
    parser.add_argument("--no-gigapixel", action="store_true",
                        help="leave out the 1 gigapixel PNG (its runs take minutes)")
    parser.add_argument("--runs", type=int, default=5, help="runs of each JPEG case (5)")
    parser.add_argument("--gigapixel-runs", type=int, default=3, help="runs of the 1 GP case (3)")
    parser.add_argument("--no-rgba", action="store_true",
                        help="skip Pillow's runs with the conversion to RGBA")
    return parser.parse_args(argv)


def main(argv):
    if argv[:1] == ["--child"]:
        child_main(argv[1:])
        return 0
    args = parse_args(argv)
    build = os.path.abspath(args.build)
    tool = os.path.join(build, "bin", "framekit-tool")
    data = os.path.join(build, "bench-data")
    cases = [
        Case("JPEG 6000x4000 (sample)", os.path.join(build, "samples", "images",
                                                     "large 6000x4000.jpg"), 6000, 4000, args.runs),
        Case("JPEG 45 MP 8256x5504", os.path.join(data, f"photo-8256x5504-q90-r{RECIPE}.jpg"),
             8256, 5504, args.runs, "make-jpeg"),
        Case("JPEG 100 MP 12240x8160", os.path.join(data, f"photo-12240x8160-q90-r{RECIPE}.jpg"),
             12240, 8160, args.runs, "make-jpeg"),
        Case("PNG 24 MP 6000x4000 photo", os.path.join(data, f"photo-6000x4000-r{RECIPE}.png"),
             6000, 4000, args.runs, "make-photo-png"),
        Case("TIFF 24 MP 6000x4000 photo, LZW",
             os.path.join(data, f"photo-6000x4000-lzw-r{RECIPE}.tif"), 6000, 4000, args.runs,
             "make-photo-tiff"),
        Case("WebP 24 MP 6000x4000 photo, lossy",
             os.path.join(data, f"photo-6000x4000-q85-r{RECIPE}.webp"), 6000, 4000, args.runs,
             "make-photo-webp"),
    ]
    if not args.no_gigapixel:
        cases.append(Case("PNG 1 GP 32768x32768",
                          os.path.join(data, f"smooth-32768x32768-r{RECIPE}.png"),
                          32768, 32768, args.gigapixel_runs, "make-png", with_rgba=False))

    print(describe_build(build, tool))
    print("load average at the start: %.2f %.2f %.2f (this machine has %d cores)"
          % (*os.getloadavg(), os.cpu_count()))
    # The detailed figures of the sample as before: decode and export split, panning.
    report = run_child([tool, "bench", cases[0].path])
    print(report.out, end="" if report.status == 0 else f"framekit-tool bench failed: {report.err}")

    floor = run_child(["/bin/true"])
    print(f"a child that does nothing reports a peak of {floor.peak_bytes / MB:.1f} MB "
          "(inherited from this script: the floor of the method)")
    start_up = measure_start_up(tool, args.runs)

    results = []
    os.makedirs(data, exist_ok=True)
    # Beside the data rather than in /tmp, which may be in memory: a user's cache folder is not.
    with tempfile.TemporaryDirectory(prefix="cache-", dir=data) as cache_root:
        for case in cases:
            failure = ensure_file(case)
            if failure:
                side = Side(failure=failure)
                results.append((case, (side, side, side, 0)))
                continue
            size = os.path.getsize(case.path) / MB
            print(f"{case.name}: {size:.1f} MB file, {case.runs} runs each ...", flush=True)
            results.append((case, measure_case(case, tool, cache_root, not args.no_rgba)))
    print_results(results, start_up)
    print("load average at the end: %.2f %.2f %.2f" % os.getloadavg())
    return 1 if any(r[1][0].failure for r in results) else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
