#include "png_writer.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "crc32.h"
#include "platform/errors.h"
#include "platform/files.h"

void WriteImageData(TStream& payload, const TBitmap& picture, const DeflateApi& api,
                    const PngProgress& progress) {
  if (picture.Format() != PixelFormat::pf24bit) throw EInvalidGraphic(msg::kInvalidBitmap);
  const std::int32_t width = picture.Width();
  const std::int32_t height = picture.Height();
  const std::size_t rowSize = static_cast<std::size_t>(width) * 24 / 8;
  static constexpr std::uint8_t kFilterNone = 0;

  // Declared first so that it dies last: the compressor goes before the row buffer.
  TCompressionStream compressor(TCompressionLevel::clDefault, payload, api);
  if (progress) {
    const std::uint64_t total = static_cast<std::uint64_t>(height) * (1 + rowSize);
    compressor.OnProgress = [&compressor, &progress, total] {
      progress(static_cast<std::uint64_t>(compressor.Position()), total);
    };
  }
  const auto row = std::make_unique_for_overwrite<std::uint8_t[]>(rowSize);
  for (std::int32_t y = 0; y < height; ++y) {
    const std::uint8_t* source = picture.RowAt(y);
    std::uint8_t* out = row.get();
    for (std::int32_t x = 0; x < width; ++x, source += 3, out += 3) {
      out[0] = source[2];  // red
      out[1] = source[1];  // green
      out[2] = source[0];  // blue
    }
    compressor.WriteBuffer(&kFilterNone, 1);
    compressor.WriteBuffer(row.get(), rowSize);
  }
  compressor.Finish();
}

std::uint32_t ChunkLength(std::size_t length) {
  if (length > kMaxChunkLength) throw EInvalidGraphic(msg::kPngDataTooLarge);
  return static_cast<std::uint32_t>(length);
}

void AppendChunk(TStream& file, const ChunkType& type, std::span<const std::uint8_t> data) {
  const std::uint32_t length = SwapBytes32(ChunkLength(data.size()));
  file.WriteBuffer(&length, sizeof length);
  file.WriteBuffer(type);
  file.WriteBuffer(data);
  std::uint32_t crc = UpdateCrc32(0, nullptr, 0);
  crc = UpdateCrc32(crc, type.data(), type.size());
  // An empty chunk's data may have no address, and a null buffer would restart the CRC.
  if (!data.empty()) crc = UpdateCrc32(crc, data.data(), data.size());
  crc = SwapBytes32(crc);
  file.WriteBuffer(&crc, sizeof crc);
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

  // IDAT: its length is known only after compressing, so it is written over a placeholder.
  const std::int64_t idatStart = file.Position();
  const std::uint32_t unknownLength = 0;
  file.WriteBuffer(&unknownLength, sizeof unknownLength);
  file.WriteBuffer(ChunkTypeIDAT);
  WriteImageData(file, picture, api, progress);
  const std::int64_t idatEnd = file.Position();
  const std::size_t payloadSize = static_cast<std::size_t>(idatEnd - idatStart) - 8;
  const std::uint32_t length = SwapBytes32(ChunkLength(payloadSize));
  file.SetPosition(idatStart);
  file.WriteBuffer(&length, sizeof length);
  file.SetPosition(idatEnd);
  const std::uint32_t crc = SwapBytes32(
      UpdateCrc32(UpdateCrc32(0, nullptr, 0), file.Data().data() + idatStart + 4, 4 + payloadSize));
  file.WriteBuffer(&crc, sizeof crc);
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
