// JPEG decoding through libjpeg.
#pragma once

#include <cstdint>
#include <span>

#include "bitmap.h"

// The most scans a JPEG file may have. Real files have a few dozen at most; a made file can
// have thousands, each of which makes the decoder go over every block of the picture again.
inline constexpr int kMaxJpegScans = 100;

// The scans of a JPEG file as libjpeg's marker reader meets them, up to its end of image: marker
// segments are skipped by their length, entropy-coded data up to the next marker. Counting stops
// at stopAfter + 1. 0 for data that does not begin as a JPEG file.
int CountJpegScans(std::span<const std::uint8_t> data, int stopAfter);

// The orientation of a JPEG file's EXIF block, 1 to 8: how its rows are to be turned to stand
// upright (1 as stored, 2 mirrored, 3 half a turn, 4 upside down, 5 rows as columns, 6 a
// quarter turn clockwise, 7 rows as columns from the other corner, 8 a quarter turn
// anticlockwise). 1 for a file without the tag, or with an EXIF block whose tag cannot be read.
int JpegOrientation(std::span<const std::uint8_t> data);

// Decodes a whole JPEG file at full size and best quality (integer slow DCT, fancy upsampling)
// into a 24-bit bitmap object; grayscale and CMYK files come out as colour, turned upright as
// JpegOrientation says (a band of rows at a time, into the picture itself: no second picture is
// taken). Throws EJPEG with
// libjpeg's message number when the decoder rejects the data, EOutOfResources when the picture is
// beyond the size limit of a bitmap object (checked from the header, before the image's memory is
// taken), EJPEG with msg::kJpegTooManyScans for a file of more than kMaxJpegScans scans, refused
// before it is decoded. A file that merely ends early decodes: the rows it lacks come out gray.
HBITMAP DecodeJpeg(std::span<const std::uint8_t> data);
