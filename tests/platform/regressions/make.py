#!/usr/bin/env python3
"""Writes the hand-made regression inputs of this folder: files that once made the readers
fail, allocate gigabytes, or refuse valid data. Inputs found by scripts/fuzz are added beside
them as they are. Run from this folder; needs ImageMagick for the JPEG seeds."""
import os
import struct
import subprocess
import zlib


def bitmap(dib, pixel_offset=None):
    offset = 14 + (pixel_offset if pixel_offset is not None else 0)
    return b'BM' + struct.pack('<IHHI', 14 + len(dib), 0, 0, offset if pixel_offset is not None else 0) + dib


def info(width, height, bits, compression=0, colours=0):
    return struct.pack('<IiiHHIIiiII', 40, width, height, 1, bits, compression, 0, 0, 0, colours, 0)


def write(folder, name, data):
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), 'wb') as f:
        f.write(data)


def gray_table(n, size=4):
    return b''.join(bytes([i * 16 % 256] * 3) + b'\0' * (size - 3) for i in range(n))


# Sparse RLE: a 2000 x 1500 8-bit picture in a few bytes (one run, then end of bitmap).
head = info(2000, 1500, 8, 1)
dib = head + gray_table(256) + bytes([5, 3, 0, 1])
write('bitmap_file', 'sparse-rle8-early-end.bmp', bitmap(dib, len(head) + 1024))
# Sparse RLE4: deltas jump over most of a 3000 x 3000 picture.
head = info(3000, 3000, 4, 2)
rle = bytes([4, 0x12]) + bytes([0, 2, 255, 255]) * 11 + bytes([2, 0x34, 0, 0, 0, 1])
write('bitmap_file', 'sparse-rle4-deltas.bmp', bitmap(head + gray_table(16) + rle, len(head) + 64))
# RLE claiming more than a bitmap object may hold: 50000 x 50000 at 8 bits.
head = info(50000, 50000, 8, 1)
write('bitmap_file', 'rle8-beyond-limit.bmp', bitmap(head + gray_table(256) + bytes([0, 1]), len(head) + 1024))
# RLE within the limit but far beyond a small address space: 40000 x 40000 at 8 bits.
head = info(40000, 40000, 8, 1)
write('bitmap_file', 'rle8-1600mb.bmp', bitmap(head + gray_table(256) + bytes([0, 1]), len(head) + 1024))
# Core header, 8 bits, a colour table of 3 entries (the pixel offset says so).
core = struct.pack('<IHHHH', 12, 3, 2, 1, 8)
rows = bytes([0, 1, 2, 0]) + bytes([2, 1, 0, 0])
write('bitmap_file', 'core-short-table.bmp', bitmap(core + gray_table(3, 3) + rows, 12 + 9))
# 24 bits with a colour count beyond 256 and a correct pixel offset.
write('bitmap_file', '24bit-colours-used-1000.bmp',
      bitmap(info(2, 2, 24, 0, 1000) + bytes([1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9, 10, 11, 12, 0, 0]), 40))
# 2 bits per pixel.
write('bitmap_file', '2bit.bmp', bitmap(info(5, 2, 2) + gray_table(4) + bytes([0x1B, 0xC0, 0, 0, 0xE4, 0x40, 0, 0]), 40 + 16))
# The 16-byte OS/2 2.x header.
os2 = struct.pack('<IiiHH', 16, 2, 2, 1, 24)
write('bitmap_file', 'os2-16-byte-header.bmp', bitmap(os2 + bytes([1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9, 10, 11, 12, 0, 0]), 16))
# The packed DIB of the scanner: the same sparse RLE and a huge claim.
head = info(2000, 1500, 8, 1)
write('packed_dib', 'sparse-rle8-early-end.dib', head + gray_table(256) + bytes([5, 3, 0, 1]))
head = info(50000, 50000, 8, 1)
write('packed_dib', 'rle8-beyond-limit.dib', head + gray_table(256) + bytes([0, 1]))


# JPEG: a tiny progressive and a tiny baseline file whose frame header claims a huge picture.
def with_size(jpeg, width, height):
    data = bytearray(jpeg)
    i = 2
    while i < len(data):
        marker = data[i + 1]
        length = struct.unpack('>H', data[i + 2:i + 4])[0]
        if marker in (0xC0, 0xC1, 0xC2):
            data[i + 5:i + 9] = struct.pack('>HH', height, width)
            return bytes(data)
        i += 2 + length
    raise ValueError('no frame header')


for kind, args in (('progressive', ['-interlace', 'Plane']), ('baseline', [])):
    subprocess.run(['convert', '-seed', '3', '-size', '16x16', 'plasma:fractal', '-quality', '50',
                    *args, f'/tmp/seed-{kind}.jpg'], check=True)
    small = open(f'/tmp/seed-{kind}.jpg', 'rb').read()
    # Cut after the first scan's start: a few hundred bytes.
    for w, h in ((30000, 30000), (65500, 65500), (12000, 12000)):
        write('jpeg', f'{kind}-{w}x{h}.jpg', with_size(small, w, h)[:600])


# JPEG: progressive files of a flat gray picture with hundreds of scans, each of which makes the
# decoder go over every block again. cjpeg takes at most 100 scans from a script: the file is
# made with 100 (the DC, then AC coefficients one by one with successive approximation) and its
# last scan is repeated, which libjpeg accepts with a warning.
def marker_segments(data):
    """(marker, start, end) of each segment after SOI; a scan's end includes its coded data."""
    i, found = 2, []
    while i < len(data):
        marker = data[i + 1]
        if marker == 0xD9:
            found.append((marker, i, i + 2))
            break
        end = i + 2 + struct.unpack('>H', data[i + 2:i + 4])[0]
        if marker == 0xDA:
            while not (data[end] == 0xFF and data[end + 1] != 0 and not 0xD0 <= data[end + 1] <= 0xD7):
                end += 1
        found.append((marker, i, end))
        i = end
    return found


def many_scans(side, scans):
    with open('/tmp/flat.pgm', 'wb') as f:
        f.write(b'P5 %d %d 255\n' % (side, side) + bytes([128]) * side * side)
    script = ['0: 0 0 0 0;'] + [f'0: {k} {k} 0 9;' if al == 9 else f'0: {k} {k} {al + 1} {al};'
                                for k in range(1, 64) for al in range(9, -1, -1)]
    with open('/tmp/scans.txt', 'w') as f:
        f.write('\n'.join(script[:100]) + '\n')
    subprocess.run(['cjpeg', '-optimize', '-scans', '/tmp/scans.txt', '-outfile', '/tmp/scans.jpg',
                    '/tmp/flat.pgm'], check=True)
    data = open('/tmp/scans.jpg', 'rb').read()
    segments = marker_segments(data)
    last = max(i for i, s in enumerate(segments) if s[0] == 0xDA)
    first = last
    while segments[first - 1][0] == 0xC4:  # the scan's Huffman tables go with it
        first -= 1
    scan = data[segments[first][1]:segments[last][2]]
    write('jpeg', f'progressive-{scans}-scans-{side}x{side}.jpg',
          data[:segments[last][2]] + scan * (scans - 100) + data[segments[last][2]:])


many_scans(4000, 500)
many_scans(8000, 1000)



# PNG: 82 KB of image data that inflate to 84 MB of rows (26000 x 26000 at 1 bit) for a 2 GB picture.
def chunk(kind, body):
    return struct.pack('>I', len(body)) + kind + body + struct.pack('>I', zlib.crc32(kind + body))


write('png', 'gray1-26000x26000.png', b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', 26000, 26000, 1, 0, 0, 0, 0))
      + chunk(b'IDAT', zlib.compress(bytes(3251 * 26000), 9)) + chunk(b'IEND', b''))
