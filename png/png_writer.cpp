#include "png_writer.h"

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

  TMemoryStream payload;
  WriteImageData(payload, picture, api, progress);
  const std::size_t payloadSize = ChunkLength(payload.Size());

  // The file is allocated once at its final size: with the payload that makes the image's
  // compressed data held twice, and nothing else of its size.
  TMemoryStream file;
  file.Reserve(kPngFileOverhead + payloadSize);
  file.WriteBuffer(PngSignature);
  AppendChunk(file, ChunkTypeIHDR, {reinterpret_cast<const std::uint8_t*>(&ihdr), sizeof ihdr});
  AppendChunk(file, ChunkTypeIDAT, payload.Data());
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
