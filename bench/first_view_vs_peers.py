#!/usr/bin/python3
"""What a user waits for, measured from the outside on an X server of its own (Xvfb, 1600 x 1000,
no window manager) for Orvalen, feh, nsxiv and a bare Qt window in one run:

  start -> 24 MP photo on the screen    (6000 x 4000 photo-like JPEGs of about 7 MB)
  key   -> next 24 MP photo on screen   (one key a second: the first step after the start, and
                                         the steady pace of the two steps after it)
  start -> 800 x 533 JPEG on the screen
  resident memory while showing the 24 MP photo

A fifth program, "Qt + menus", is bare-qt-viewer --menus: a Qt main window with this
program's four menus and a status bar, the whole photo kept and a copy fitted to the screen
shown. It does nothing of a viewer's own (no settings, no messages, no image library), so it
is the floor the toolkit and that window set; its start and memory are printed beside the
others, and the ratios it gives against the same peers.

"On the screen" is read back from the X server: the program is started (or the key pressed
with xdotool) and screen-watch reads rows of the root window until the flat patch in the middle
of the picture shows in its colour. screen-watch reads them each time the server reports a
change to the screen (the damage extension); with --polling-probe it reads them again and
again instead, as this benchmark did at first, which keeps one of the machine's cores busy
while the viewers start. Each viewer shrinks the photo to fit the screen as it
does by default (Orvalen with "shrink to fit screen" on). Rounds alternate the viewers; medians
and every round are printed, then the ratios against the goals.

usage: /usr/bin/python3 bench/first_view_vs_peers.py [--polling-probe] BUILD_DIR [ROUNDS]
"""
import os
import shutil
import signal
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from decode_vs_pillow import make_photo_jpeg  # noqa: E402

DISPLAY = ":87"
PROBE_OPTIONS = []
PATCHES = {"first": (230, 40, 200), "second": (40, 220, 230), "small": (250, 200, 20)}


def make_pictures(folder):
    """Four 24 MP photos in a folder of their own to step through, and a small one, each with a
    flat patch of its own colour in the middle third, which every scaler leaves in that colour
    (the photos take the first and second colours by turns)."""
    from PIL import Image

    os.makedirs(os.path.join(folder, "steps"), exist_ok=True)
    wanted = {"steps/1.jpg": ("first", 6000, 4000), "steps/2.jpg": ("second", 6000, 4000),
              "steps/3.jpg": ("first", 6000, 4000), "steps/4.jpg": ("second", 6000, 4000),
              "small.jpg": ("small", 800, 533)}
    for name, (patch, width, height) in wanted.items():
        path = os.path.join(folder, name)
        if os.path.exists(path):
            continue
        make_photo_jpeg(path, width, height)
        image = Image.open(path)
        image.paste(PATCHES[patch], (width // 3, height // 3, 2 * width // 3, 2 * height // 3))
        image.save(path, "JPEG", quality=90, subsampling="4:2:0")
    pictures = {"small": os.path.join(folder, "small.jpg")}
    pictures["steps"] = [os.path.join(folder, "steps", f"{i}.jpg") for i in range(1, 5)]
    return pictures


def watch(build, colour, pixels, timeout_ms=20000):
    return subprocess.Popen([os.path.join(build, "bin", "screen-watch"), *PROBE_OPTIONS,
                             *map(str, colour), "12",
                             str(pixels), str(timeout_ms)], stdout=subprocess.PIPE, text=True)


def seen_at(watcher):
    out, _ = watcher.communicate()
    return float(out) if watcher.returncode == 0 and out.strip() else None


def resident_mb(pid):
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) / 1024.0
    except OSError:
        pass
    return None


def window_of(pid, timeout=10.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        found = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(pid)],
                               capture_output=True, text=True).stdout.split()
        if found:
            return found[-1]
        time.sleep(0.05)
    return None


class Viewer:
    def __init__(self, name, command, next_key, env=None):
        self.name, self.command, self.next_key, self.env = name, command, next_key, env


def orvalen_environment(home):
    env = dict(os.environ)
    for variable in ("XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "XDG_CACHE_HOME", "XDG_DATA_HOME"):
        folder = os.path.join(home, variable.lower())
        os.makedirs(folder, mode=0o700, exist_ok=True)
        env[variable] = folder
    return env


def set_shrink_to_fit(env):
    """Turns "shrink to fit screen" on in the registry store, as the menu would."""
    store = os.path.join(env["XDG_CONFIG_HOME"], "orvalen", "registry.sqlite")
    db = sqlite3.connect(store)
    row = db.execute("select id from keys where folded = 'viewer_0'").fetchone()
    if row is None:
        parent = db.execute("select parent from keys where folded = 'mainform'").fetchone()[0]
        db.execute("insert into keys(parent, name, folded) values (?, 'viewer_0', 'viewer_0')",
                   (parent,))
        row = db.execute("select id from keys where folded = 'viewer_0'").fetchone()
    db.execute("insert or replace into vals values (?, 'shrink_to_fit_screen', "
               "'shrink_to_fit_screen', 4, x'01000000')", (row[0],))
    db.commit()
    db.close()


def start_to_screen(build, viewer, files, patch, pixels):
    watcher = watch(build, PATCHES[patch], pixels)
    time.sleep(0.05)  # the watcher is connected and reading before the program starts
    start = time.monotonic()
    program = subprocess.Popen(viewer.command + files, env=viewer.env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    shown = seen_at(watcher)
    return program, (shown - start) * 1000 if shown else None


def stop(program):
    if program.poll() is None:
        program.send_signal(signal.SIGTERM)
        try:
            program.wait(3)
        except subprocess.TimeoutExpired:
            program.kill()
            program.wait()
    subprocess.run(["pkill", "-f", "Orvalen_main"], capture_output=True)
    time.sleep(0.4)


def one_round(build, viewers, pictures, results):
    steps = pictures["steps"]
    for viewer in viewers:
        if viewer.name == "bare Qt":
            continue
        # Orvalen steps through the folder of the file it shows; the peers through their list.
        # The Qt window with menus shows one photo and does not step.
        files = [steps[0]] if viewer.name in ("Orvalen", "Qt + menus") else steps
        program, first = start_to_screen(build, viewer, files, "first", 300)
        results[viewer.name]["start_24mp"].append(first)
        time.sleep(1.0)  # one key a second
        results[viewer.name]["rss_mb"].append(resident_mb(program.pid))
        window = window_of(program.pid) if viewer.next_key else None
        for step in range(1, len(steps) if viewer.next_key else 1):
            following = None
            if window is not None:
                watcher = watch(build, PATCHES["second" if step % 2 else "first"], 300)
                time.sleep(0.05)
                subprocess.run(["xdotool", "windowfocus", "--sync", window], capture_output=True)
                pressed = time.monotonic()
                subprocess.run(["xdotool", "key", viewer.next_key], capture_output=True)
                shown = seen_at(watcher)
                following = (shown - pressed) * 1000 if shown else None
                time.sleep(max(0.0, 1.0 - (time.monotonic() - pressed)))
            results[viewer.name]["next_first" if step == 1 else "next_24mp"].append(following)
        stop(program)
    for viewer in viewers:
        program, small = start_to_screen(build, viewer, [pictures["small"]], "small", 100)
        results[viewer.name]["start_small"].append(small)
        stop(program)


def median(values):
    kept = [v for v in values if v is not None]
    return statistics.median(kept) if kept else None


def main():
    arguments = sys.argv[1:]
    if arguments[:1] == ["--polling-probe"]:
        PROBE_OPTIONS.append("--poll")
        arguments = arguments[1:]
    build = os.path.abspath(arguments[0] if arguments else "build")
    rounds = int(arguments[1]) if len(arguments) > 1 else 5
    for tool in ("feh", "nsxiv", "xdotool", "Xvfb"):
        if shutil.which(tool) is None:
            sys.exit(f"{tool} is missing: run scripts/install-deps")
    cache = os.path.join(tempfile.gettempdir(), "orvalen-first-view-bench")
    os.makedirs(cache, exist_ok=True)
    pictures = make_pictures(cache)
    server = subprocess.Popen(["Xvfb", DISPLAY, "-screen", "0", "1600x1000x24", "-nolisten",
                               "tcp"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.environ["DISPLAY"] = DISPLAY
    time.sleep(1.0)
    home = tempfile.mkdtemp(prefix="orvalen-first-view-")
    try:
        env = orvalen_environment(home)
        # A first start makes the settings store; then shrink to fit the screen is turned on,
        # and one more start notes the view the viewer shows its first image in, as any start
        # after a user's first does (the next start decodes its file for that view early).
        warm = subprocess.Popen([os.path.join(build, "bin", "Orvalen_main"), pictures["small"]],
                                env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(3.0)
        stop(warm)
        set_shrink_to_fit(env)
        warm = subprocess.Popen([os.path.join(build, "bin", "Orvalen_main"), pictures["small"]],
                                env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(3.0)
        stop(warm)
        qt_env = dict(os.environ)
        viewers = [
            Viewer("Orvalen", [os.path.join(build, "bin", "Orvalen_main")], "Next", env),
            Viewer("feh", ["feh", "--scale-down", "--geometry", "1600x1000"], "space"),
            Viewer("nsxiv", ["nsxiv", "-g", "1600x1000", "-s", "d"], "n"),
            Viewer("bare Qt", [os.path.join(build, "bin", "bare-qt-viewer")], "", qt_env),
            Viewer("Qt + menus", [os.path.join(build, "bin", "bare-qt-viewer"), "--menus"], "",
                   qt_env),
        ]
        results = {v.name: {"start_24mp": [], "next_first": [], "next_24mp": [],
                            "start_small": [], "rss_mb": []} for v in viewers}
        for _ in range(rounds):
            one_round(build, viewers, pictures, results)
    finally:
        server.terminate()
        server.wait()
        shutil.rmtree(home, ignore_errors=True)

    rows = [("start -> 24 MP photo on screen (ms)", "start_24mp"),
            ("key -> next 24 MP photo, first step (ms)", "next_first"),
            ("key -> next 24 MP photo, steady pace (ms)", "next_24mp"),
            ("start -> 800x533 JPEG on screen (ms)", "start_small"),
            ("resident memory showing the 24 MP photo (MB)", "rss_mb")]
    names = [v.name for v in viewers]
    print(f"{'':48}" + "".join(f"{n:>12}" for n in names))
    for title, key in rows:
        cells = []
        for name in names:
            value = median(results[name][key])
            cells.append(f"{value:12.0f}" if value is not None else f"{'-':>12}")
        print(f"{title:48}" + "".join(cells))
    print("\nevery round:")
    for name in names:
        for _, key in rows:
            values = results[name][key]
            if any(v is not None for v in values):
                shown = ", ".join("-" if v is None else f"{v:.0f}" for v in values)
                print(f"  {name:8} {key:12} {shown}")

    def ratio(a, b):
        return a / b if a is not None and b else None

    goals = [("start -> 24 MP photo, Orvalen / nsxiv", "start_24mp", "nsxiv", 0.5),
             ("next 24 MP photo at a steady pace, Orvalen / nsxiv", "next_24mp", "nsxiv", 0.15),
             ("start -> small JPEG, Orvalen / bare Qt", "start_small", "bare Qt", 1.2),
             ("resident memory, Orvalen / feh", "rss_mb", "feh", 1.3)]
    print("\nratios (goal):")
    for title, key, peer, goal in goals:
        value = ratio(median(results["Orvalen"][key]), median(results[peer][key]))
        text = f"{value:.2f}" if value is not None else "-"
        verdict = "" if value is None else ("met" if value <= goal else "NOT met")
        print(f"  {title:52} {text:>6}  (<= {goal})  {verdict}")
    print("\nthe same ratios for the Qt window with menus (the floor, no goal of its own):")
    for title, key, peer, goal in goals:
        if key == "next_24mp":
            continue
        value = ratio(median(results["Qt + menus"][key]), median(results[peer][key]))
        text = f"{value:.2f}" if value is not None else "-"
        print(f"  {title.replace('Orvalen', 'Qt + menus'):52} {text:>6}  (goal for Orvalen "
              f"<= {goal})")


if __name__ == "__main__":
    main()
