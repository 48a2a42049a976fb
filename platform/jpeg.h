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

// Decodes a whole JPEG file at full size and best quality (integer slow DCT, fancy upsampling)
// into a 24-bit bitmap object; grayscale and CMYK files come out as colour. Throws EJPEG with
// libjpeg's message number when the decoder rejects the data, EOutOfResources when the picture is
// beyond the size limit of a bitmap object (checked from the header, before the image's memory is
// taken), EJPEG with msg::kJpegTooManyScans for a file of more than kMaxJpegScans scans, refused
// before it is decoded. A file that merely ends early decodes: the rows it lacks come out gray.
HBITMAP DecodeJpeg(std::span<const std::uint8_t> data);
