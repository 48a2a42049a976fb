// JPEG decoding through libjpeg.
#pragma once

#include <cstdint>
#include <span>

#include "bitmap.h"

// Decodes a whole JPEG file at full size and best quality (integer slow DCT, fancy upsampling)
// into a 24-bit bitmap object; grayscale and CMYK files come out as colour. Throws EJPEG with
// libjpeg's message number when the decoder rejects the data, EOutOfResources when the picture is
// beyond the size limit of a bitmap object (checked from the header, before the image's memory is
// taken). A file that merely ends early decodes: the rows it lacks come out gray.
HBITMAP DecodeJpeg(std::span<const std::uint8_t> data);
