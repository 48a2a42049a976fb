"""Times the nearest OpenCV equivalent of every effect, single-threaded, on the benchmark
picture (the formula of photo.h), and a plain read-and-write pass: a copy of the picture into a
new array. Prints one line per case: "<name> <milliseconds>" (median of the repetitions)."""
import sys
import time

import cv2
import numpy as np

WIDTH, HEIGHT = 6000, 4000


def photo():
    y, x = np.mgrid[0:HEIGHT, 0:WIDTH].astype(np.uint32)
    noise = ((x * np.uint32(73856093)) ^ (y * np.uint32(19349663))) >> np.uint32(27)
    blue = (x * 180 // WIDTH + y * 40 // HEIGHT + noise) & 255
    green = (y * 200 // HEIGHT + noise) & 255
    red = ((x + y) * 120 // (WIDTH + HEIGHT) + 100 + noise) & 255
    return np.dstack([blue, green, red]).astype(np.uint8)


def gray(a):
    return cv2.cvtColor(cv2.cvtColor(a, cv2.COLOR_BGR2GRAY), cv2.COLOR_GRAY2BGR)


def binarize_pass(a):
    g = cv2.cvtColor(a, cv2.COLOR_BGR2GRAY)
    _, t = cv2.threshold(g, 128, 255, cv2.THRESH_BINARY)
    return cv2.cvtColor(t, cv2.COLOR_GRAY2BGR)


def binarize(a):
    g = cv2.cvtColor(a, cv2.COLOR_BGR2GRAY)
    _, t = cv2.threshold(g, cv2.mean(g)[0], 255, cv2.THRESH_BINARY)
    return cv2.cvtColor(t, cv2.COLOR_GRAY2BGR)


SHARPEN = np.array([[-1, -1, -1], [-1, 24, -1], [-1, -1, -1]], np.float32) / 16
EMBOSS = np.array([[-1, -1, -1], [0, 1, 0], [1, 1, 1]], np.float32)
SEPIA = np.array([[0.114, 0.586, 0.289], [0.114, 0.586, 0.289], [0.114, 0.586, 0.289]],
                 np.float32)
REPLICATE = cv2.BORDER_REPLICATE


def unsharp(a):
    b = cv2.blur(a, (3, 3), borderType=REPLICATE)
    return cv2.addWeighted(a, 2, b, -2, 128)


def mosaic(a):
    small = cv2.resize(a, (WIDTH // 5, HEIGHT // 5), interpolation=cv2.INTER_NEAREST)
    return cv2.resize(small, (WIDTH, HEIGHT), interpolation=cv2.INTER_NEAREST)


CASES = [
    ("plain-pass", lambda a: a.copy()),
    ("grayscale", gray),
    ("mean-threshold", lambda a: (a.copy(), cv2.mean(a))),
    ("binarize-pass", binarize_pass),
    ("binarize", binarize),
    ("blur", lambda a: cv2.blur(a, (3, 3), borderType=REPLICATE)),
    ("sharpen", lambda a: cv2.filter2D(a, -1, SHARPEN, borderType=REPLICATE)),
    ("unsharp-mask", unsharp),
    ("negative", cv2.bitwise_not),
    ("sepia", lambda a: cv2.transform(a, SEPIA)),
    ("jagged-mosaic", mosaic),
    ("color-emboss", lambda a: cv2.filter2D(a, -1, EMBOSS, borderType=REPLICATE)),
    ("mirror", lambda a: cv2.flip(a, 1)),
]


def main():
    repetitions = int(sys.argv[1]) if len(sys.argv) > 1 else 7
    cv2.setNumThreads(1)
    picture = photo()
    for name, run in CASES:
        run(picture)  # warm-up, not counted
        times = []
        for _ in range(repetitions):
            start = time.perf_counter()
            result = run(picture)
            times.append((time.perf_counter() - start) * 1000)
            del result
        times.sort()
        print(f"{name} {times[len(times) // 2]:.2f}", flush=True)


if __name__ == "__main__":
    main()
