#include "png_writer.h"

#include <immintrin.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "crc32.h"
#include "platform/errors.h"
#include "platform/files.h"

namespace {

// Rows are converted into a batch of about this many bytes (at least one row) and handed to the
// compressor in one piece: fewer calls into deflate, and the batch stays in the cache between
// the conversion and the compression.
constexpr std::size_t kBatchBytes = 256 * 1024;

void SwapRedBlueScalar(const std::uint8_t* bgr, std::uint8_t* rgb, std::size_t pixels) {
  for (std::size_t x = 0; x < pixels; ++x, bgr += 3, rgb += 3) {
    rgb[0] = bgr[2];  // red
    rgb[1] = bgr[1];  // green
    rgb[2] = bgr[0];  // blue
  }
}

// Four pixels per step: 16 bytes are loaded and stored, the first 12 of them reordered; a step
// runs only while 16 bytes remain in the row, so nothing outside either row is touched.
[[gnu::target("ssse3")]] void SwapRedBlueSsse3(const std::uint8_t* bgr, std::uint8_t* rgb,
                                               std::size_t pixels) {
  const __m128i order = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 12, 13, 14, 15);
  std::size_t x = 0;
  for (; 3 * (x + 4) + 4 <= 3 * pixels; x += 4) {
    const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bgr + 3 * x));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(rgb + 3 * x), _mm_shuffle_epi8(in, order));
  }
  SwapRedBlueScalar(bgr + 3 * x, rgb + 3 * x, pixels - x);
}

// pixels pixels of blue, green, red as red, green, blue.
void SwapRedBlue(const std::uint8_t* bgr, std::uint8_t* rgb, std::size_t pixels) {
  static const bool ssse3 = __builtin_cpu_supports("ssse3");
  if (ssse3)
    SwapRedBlueSsse3(bgr, rgb, pixels);
  else
    SwapRedBlueScalar(bgr, rgb, pixels);
}

// One chunk written into a file stream while its data comes: the length (set by Close, so the
// file must be able to go back), the type, the data and the CRC over type and data, which is
// taken piece by piece as the data passes, while it is still in the cache.
class TChunkWriter final : public TStream {
 public:
  TChunkWriter(TStream& file, const ChunkType& type) : file_(file), start_(file.Position()) {
    static constexpr std::uint32_t kUnknownLength = 0;
    file_.WriteBuffer(&kUnknownLength, sizeof kUnknownLength);
    file_.WriteBuffer(type);
    crc_ = UpdateCrc32(UpdateCrc32(0, nullptr, 0), type.data(), type.size());
  }

  std::size_t Read(void*, std::size_t) override { return 0; }
  // Throws EInvalidGraphic when the data would grow past the largest chunk length.
  std::size_t Write(const void* buffer, std::size_t count) override {
    if (count == 0) return 0;
    ChunkLength(length_ + count);
    file_.WriteBuffer(buffer, count);
    crc_ = UpdateCrc32(crc_, buffer, count);
    length_ += count;
    return count;
  }
  // Only the position itself: the count of data bytes written.
  std::int64_t Seek(std::int64_t offset, Origin origin) override {
    if (offset != 0 || origin != Origin::kCurrent)
      throw EInvalidOperation(msg::kInvalidStreamOperation);
    return static_cast<std::int64_t>(length_);
  }

  // Sets the length and appends the CRC; the file is left at the chunk's end.
  void Close() {
    const std::int64_t end = file_.Position();
    const std::uint32_t length = SwapBytes32(ChunkLength(length_));
    file_.SetPosition(start_);
    file_.WriteBuffer(&length, sizeof length);
    file_.SetPosition(end);
    const std::uint32_t crc = SwapBytes32(crc_);
    file_.WriteBuffer(&crc, sizeof crc);
  }

 private:
  TStream& file_;
  const std::int64_t start_;
  std::uint32_t crc_ = 0;
  std::size_t length_ = 0;
};

}  // namespace

void WriteImageData(TStream& payload, const TBitmap& picture, const DeflateApi& api,
                    const PngProgress& progress) {
  // A bitmap that is not empty has a width and a height of at least 1.
  if (picture.Empty() || picture.Format() != PixelFormat::pf24bit)
    throw EInvalidGraphic(msg::kInvalidBitmap);
  const std::int32_t width = picture.Width();
  const std::int32_t height = picture.Height();
  const std::size_t rowSize = 1 + static_cast<std::size_t>(width) * 3;  // with its filter byte
  static constexpr std::uint8_t kFilterNone = 0;
  // At most height, so it fits the row numbers' type.
  const auto batchRows = static_cast<std::int32_t>(
      std::clamp<std::size_t>(kBatchBytes / rowSize, 1, static_cast<std::size_t>(height)));

  // Declared first so that it dies last: the compressor goes before the batch buffer.
  TCompressionStream compressor(TCompressionLevel::clDefault, payload, api);
  const std::uint64_t total = static_cast<std::uint64_t>(height) * rowSize;
  if (progress) {
    compressor.OnProgress = [&compressor, &progress, total] {
      progress(static_cast<std::uint64_t>(compressor.Position()), total);
    };
  }
  const auto batch =
      std::make_unique_for_overwrite<std::uint8_t[]>(rowSize * static_cast<std::size_t>(batchRows));
  for (std::int32_t first = 0; first < height; first += batchRows) {
    const std::int32_t end = std::min(height, first + batchRows);
    std::uint8_t* out = batch.get();
    for (std::int32_t y = first; y < end; ++y, out += rowSize) {
      out[0] = kFilterNone;
      SwapRedBlue(picture.RowAt(y), out + 1, static_cast<std::size_t>(width));
    }
    compressor.WriteBuffer(batch.get(), static_cast<std::size_t>(out - batch.get()));
  }
  compressor.Finish();
  // The compressor reports only full output buffers, so the last part of the picture, which
  // fits in the one it finishes with, is reported here.
  if (progress) progress(total, total);
}

std::uint32_t ChunkLength(std::size_t length) {
  if (length > kMaxChunkLength) throw EInvalidGraphic(msg::kPngDataTooLarge);
  return static_cast<std::uint32_t>(length);
}

void AppendChunk(TStream& file, const ChunkType& type, std::span<const std::uint8_t> data) {
  TChunkWriter chunk(file, type);
  chunk.WriteBuffer(data);
  chunk.Close();
}

std::vector<std::uint8_t> EncodePng(const TBitmap& picture, const DeflateApi& api,
                                    const PngProgress& progress) {
  if (picture.Empty()) throw EInvalidGraphic(msg::kInvalidBitmap);
  if (picture.Format() != PixelFormat::pf24bit) {
    TBitmap converted;
    converted.Assign(picture);
    converted.ConvertTo24Bit();
    return EncodePng(converted, api, progress);
  }

  IhdrData ihdr;
  std::memset(&ihdr, 0, sizeof ihdr);
  ihdr.width = SwapBytes32(static_cast<std::uint32_t>(picture.Width()));
  ihdr.height = SwapBytes32(static_cast<std::uint32_t>(picture.Height()));
  ihdr.bitDepth = kBitDepth8;
  ihdr.colourType = kColourTypeTruecolour;

  // The file is built in one buffer reserved up front for the largest result deflate can give
  // for these rows (zlib's bound for its default window and memory level, which the compressor
  // uses), so that the compressed data is written straight into its place once and never
  // moves. A bound past the largest chunk is cut there: more could never be saved anyway.
  const std::uint64_t rawSize = static_cast<std::uint64_t>(picture.Height()) *
                                (1 + 3 * static_cast<std::uint64_t>(picture.Width()));
  const std::uint64_t bound = std::min<std::uint64_t>(compressBound(rawSize), kMaxChunkLength);
  TMemoryStream file;
  file.Reserve(kPngFileOverhead + static_cast<std::size_t>(bound));
  file.WriteBuffer(PngSignature);
  AppendChunk(file, ChunkTypeIHDR, {reinterpret_cast<const std::uint8_t*>(&ihdr), sizeof ihdr});

  TChunkWriter idat(file, ChunkTypeIDAT);
  WriteImageData(idat, picture, api, progress);
  idat.Close();
  AppendChunk(file, ChunkTypeIEND, {});
  return file.Release();
}

void SavePngFile(TBitmap& picture, const std::string& path, const DeflateApi& api,
                 const PngProgress& progress) {
  if (picture.Empty()) throw EInvalidGraphic(msg::kInvalidBitmap);
  // The view shows this same bitmap, so it stays at 24 bits after the save.
  picture.ConvertTo24Bit();
  SaveFileContent(path, EncodePng(picture, api, progress));
}
