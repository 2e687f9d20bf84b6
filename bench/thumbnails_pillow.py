#!/usr/bin/python3
"""The thumbnail benchmark's helper (thumbnail_bench runs it; Debian's python3-pil and
python3-numpy).

  make FOLDER COUNT DISTINCT   makes FOLDER/photo NNNN.jpg, COUNT 12 MP (4000 x 3000) JPEGs, of
                               which DISTINCT are photo-like pictures of their own (smooth light,
                               texture, noise; quality 90, 4:2:0) and the rest hard links to them,
                               cycling. Kept: a folder already holding them is used as it is.
  pillow OUT EDGE FILE...      the reference maker: two processes share FILEs, each making
                               thumbnails with Pillow's draft + thumbnail at EDGE and saving them
                               as PNG with the thumbnail keys into OUT, at nice 10 as our decodes
                               run; prints "SECONDS COUNT".
"""
import os
import sys
import time
from multiprocessing import Pool


def make(folder, count, distinct):
    import numpy as np
    from PIL import Image

    os.makedirs(folder, exist_ok=True)
    done = os.path.join(folder, ".complete")
    if os.path.exists(done):
        return
    rng = np.random.default_rng(12)
    w, h = 4000, 3000
    yy, xx = np.mgrid[0:h, 0:w].astype(np.float32)
    for i in range(distinct):
        a, b, c = rng.uniform(0.5, 3.0, 3)
        base = np.stack([
            128 + 100 * np.sin(xx / (300 * a) + i) * np.cos(yy / (250 * b)),
            128 + 90 * np.cos(xx / (410 * c) - yy / (380 * a) + i),
            128 + 80 * np.sin((xx + yy) / (500 * b) + 2 * i),
        ], axis=-1)
        base += rng.normal(0, 9, base.shape).astype(np.float32)
        Image.fromarray(np.clip(base, 0, 255).astype(np.uint8), "RGB").save(
            os.path.join(folder, "photo %04d.jpg" % i), quality=90, subsampling=2)
    for i in range(distinct, count):
        target = os.path.join(folder, "photo %04d.jpg" % i)
        if not os.path.exists(target):
            os.link(os.path.join(folder, "photo %04d.jpg" % (i % distinct)), target)
    open(done, "w").close()


def thumbnail(job):
    from PIL import Image, PngImagePlugin
    out, edge, index, path = job
    image = Image.open(path)
    image.draft("RGB", (edge, edge))
    image.thumbnail((edge, edge))
    info = PngImagePlugin.PngInfo()
    info.add_text("Thumb::URI", "file://" + path)
    info.add_text("Thumb::MTime", str(int(os.stat(path).st_mtime)))
    image.save(os.path.join(out, "%d.png" % index), pnginfo=info)


def pillow(out, edge, files):
    os.makedirs(out, exist_ok=True)
    jobs = [(out, edge, i, f) for i, f in enumerate(files)]
    # At the priority our decodes run at, so that neither side gains from the machine's other load.
    with Pool(2, initializer=os.nice, initargs=(10,)) as pool:
        pool.map(thumbnail, jobs[:2])  # both workers have Pillow loaded before the clock starts
        begin = time.monotonic()
        pool.map(thumbnail, jobs, chunksize=4)
        seconds = time.monotonic() - begin
    print("%.3f %d" % (seconds, len(jobs)))


if __name__ == "__main__":
    if sys.argv[1] == "make":
        make(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
    elif sys.argv[1] == "pillow":
        pillow(sys.argv[2], int(sys.argv[3]), sys.argv[4:])
