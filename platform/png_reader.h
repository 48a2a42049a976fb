// PNG decoding through libpng.
#pragma once

#include <cstdint>
#include <span>

#include "bitmap.h"
#include "files.h"

// Whether bytes begin with the eight bytes of the PNG signature.
bool IsPngSignature(std::span<const std::uint8_t> head);

// Decodes a whole PNG file, every colour type, depth and interlace, into a 24-bit bitmap object:
// palettes and gray come out as colour, 16-bit samples are rounded to 8 bits, and a pixel with
// alpha (an alpha channel or a transparent colour) is laid over white in 8 bits:
// (sample * alpha + 255 * (255 - alpha)) / 255, rounded. Ancillary chunks (gamma, colour
// profiles, texts) are not read. The file is read piece by piece, never held whole.
// Throws EOutOfResources when the picture together with libpng's two rows is beyond the size
// limit of a bitmap object (checked from the header, before any of it is taken), EReadError
// with msg::kPngTruncated when the file ends before its end chunk, EInvalidGraphic with
// msg::kPngInvalid for anything libpng refuses (a wrong checksum, damaged image data, a header
// that does not add up, an unknown critical chunk), std::bad_alloc when memory runs out.
HBITMAP DecodePng(ByteSource& file);
HBITMAP DecodePng(std::span<const std::uint8_t> file);
