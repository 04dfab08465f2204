"""Root screenshots as raw RGB, for counting pixels of a colour inside window rectangles."""
import subprocess
import time


class Shot:
    """A root screenshot as raw RGB, for counting pixels of a colour inside window rectangles."""

    def __init__(self, display, path):
        display.screenshot(path)
        self.path = path
        raw = subprocess.run(["convert", str(path), "-depth", "8", "rgb:-"], capture_output=True, check=True,
                             timeout=60).stdout
        ident = subprocess.run(["identify", "-format", "%w %h", str(path)], capture_output=True, text=True,
                               check=True, timeout=60).stdout.split()
        self.width, self.height = int(ident[0]), int(ident[1])
        self.raw = raw

    def pixel(self, x, y):
        at = (y * self.width + x) * 3
        return tuple(self.raw[at:at + 3])

    def pixels(self, rect, inset=3, step=2):
        left, top, right, bottom = rect
        for y in range(top + inset, bottom - inset, step):
            for x in range(left + inset, right - inset, step):
                yield self.pixel(x, y)

    def share(self, rect, colour, inset=3):
        """The share of pixels of exactly this colour inside a screen rectangle (minus a border)."""
        hits = total = 0
        for p in self.pixels(rect, inset):
            total += 1
            hits += p == colour
        return hits / max(total, 1)

    def count_where(self, rect, test, inset=1):
        """How many pixels (every one, not sampled) inside the rectangle pass test((r, g, b))."""
        return sum(1 for p in self.pixels(rect, inset, step=1) if test(p))


def shot_until(display, path, measure, good, timeout=20):
    """Takes root screenshots until good(measure(shot)) holds (the repaint after a change has
    landed) and returns (shot, measurement); fails with the last measurement after `timeout`."""
    deadline = time.time() + timeout
    while True:
        shot = Shot(display, path)
        value = measure(shot)
        if good(value):
            return shot, value
        if time.time() >= deadline:
            raise AssertionError(f"{path.name}: {value}")
        time.sleep(0.3)
