// The PNG encoder: 8-bit RGB, no interlace, exactly one IHDR, one IDAT and IEND.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "PNG_h.h"
#include "platform/bitmap.h"
#include "streams.h"
#include "zlib_stream.h"

// The largest length a chunk may declare.
inline constexpr std::uint64_t kMaxChunkLength = 0x7FFFFFFF;
// Signature, IHDR chunk, the framing of IDAT (length, type, CRC) and the IEND chunk.
inline constexpr std::size_t kPngFileOverhead = 57;

// Told, after each full output buffer of the compressor, how many of the picture's uncompressed
// bytes it has taken in so far (done) of how many there are (total); last, once the data is
// complete, total of total.
using PngProgress = std::function<void(std::uint64_t done, std::uint64_t total)>;

// Writes the rows of a 24-bit picture, top row first, each as the filter byte 0 and its pixels
// as red, green, blue, through a compressing stream into payload: the IDAT data. The rows go to
// the compressor in batches of about 256 KiB (at least one row), converted into one buffer that
// is the only memory besides the compressor's. Throws EInvalidGraphic for a picture
// that is not at 24 bits per pixel, ECompressionError when the compressor fails.
void WriteImageData(TStream& payload, const TBitmap& picture, const DeflateApi& api = ZlibDeflate(),
                    const PngProgress& progress = {});

// length as a chunk length; throws EInvalidGraphic when it exceeds kMaxChunkLength.
std::uint32_t ChunkLength(std::size_t length);

// Appends one chunk to file: its length, its type, the data and the CRC over type and data.
// The length is written last, over a placeholder, so file must be able to go back.
void AppendChunk(TStream& file, const ChunkType& type, std::span<const std::uint8_t> data);

// The whole PNG file of a picture. A picture at another depth is encoded from a 24-bit copy.
// An empty picture (no pixels) has no PNG form: EInvalidGraphic with the invalid-bitmap text.
std::vector<std::uint8_t> EncodePng(const TBitmap& picture, const DeflateApi& api = ZlibDeflate(),
                                    const PngProgress& progress = {});

// The PNG command's save: converts picture in place to 24 bits, builds the file in memory and
// writes it in one piece; a failure leaves an existing file as it was and no partial file.
// An empty picture fails as in EncodePng before anything is written (the window does not offer
// the save for one; the batch tool reports it).
void SavePngFile(TBitmap& picture, const std::string& path, const DeflateApi& api = ZlibDeflate(),
                 const PngProgress& progress = {});
