// Reader and writer of the Windows bitmap file layout.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "bitmap.h"
#include "files.h"

// The bytes of the file header, which begins with the signature "BM".
inline constexpr std::size_t kBitmapFileHeaderSize = 14;

// Decodes a whole bitmap file: the 14-byte file header ("BM"), then a packed DIB. Core (12-byte),
// short OS/2 (16-byte), info (40-byte) and larger V4/V5 headers; 1, 2 (read as 4), 4, 8, 16, 24
// and 32 bits; uncompressed, bit fields, RLE4 and RLE8; bottom-up and top-down. The colour table
// ends at the file's pixel offset at the latest. An empty file gives an empty handle.
// Throws EReadError when the data ends before what the headers announce, EOutOfResources when
// the picture is beyond the size limit of a bitmap object, EInvalidGraphic for anything else
// that does not add up. The headers are checked before the pixel store is made; uncompressed
// rows are then read straight into it.
HBITMAP DecodeBitmapFile(ByteSource& file);
HBITMAP DecodeBitmapFile(std::span<const std::uint8_t> file);

// Decodes a packed DIB (information header, masks, colour table, pixel rows) held in one block,
// reading nothing outside it. The pixel rows follow the colour table directly.
HBITMAP DecodePackedDib(std::span<const std::uint8_t> dib);

// Writes the bitmap file of a bitmap object in its own pixel format: 40-byte information
// header, colour table or bit-field masks where the format has them, bottom-up rows. The rows
// go to the sink in chunks of about a megabyte.
void WriteBitmapFile(const BitmapObject& object, ByteSink& sink);
// The same bytes in memory.
std::vector<std::uint8_t> EncodeBitmapFile(const BitmapObject& object);
