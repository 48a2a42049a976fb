#include "png_decoders.h"

#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include <cstring>

std::optional<DecodedPng> DecodeWithLibpng(const std::vector<std::uint8_t>& file) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, file.data(), file.size())) {
    ADD_FAILURE() << "libpng: " << image.message;
    return std::nullopt;
  }
  image.format = PNG_FORMAT_RGB;
  std::vector<std::uint8_t> rgb(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr)) {
    ADD_FAILURE() << "libpng: " << image.message;
    png_image_free(&image);
    return std::nullopt;
  }
  DecodedPng out;
  out.width = static_cast<int>(image.width);
  out.height = static_cast<int>(image.height);
  for (std::size_t i = 0; i + 2 < rgb.size(); i += 3)
    out.pixels.push_back(Bgr{rgb[i + 2], rgb[i + 1], rgb[i]});
  return out;
}

std::vector<std::uint8_t> ExpectedScanlines(const BitmapObject& picture) {
  std::vector<std::uint8_t> out;
  for (int y = 0; y < picture.Height(); ++y) {
    out.push_back(0);
    for (int x = 0; x < picture.Width(); ++x) {
      const auto c = PixelColour(picture, x, y);
      out.insert(out.end(), {c[2], c[1], c[0]});
    }
  }
  return out;
}

std::optional<std::vector<std::uint8_t>> Inflate(const std::uint8_t* data, std::size_t size) {
  z_stream stream{};
  if (inflateInit(&stream) != Z_OK) return std::nullopt;
  std::vector<std::uint8_t> out;
  std::uint8_t buffer[16384];
  stream.next_in = const_cast<Bytef*>(data);
  stream.avail_in = static_cast<uInt>(size);
  int result = Z_OK;
  while (result == Z_OK) {
    stream.next_out = buffer;
    stream.avail_out = sizeof buffer;
    result = inflate(&stream, Z_NO_FLUSH);
    out.insert(out.end(), buffer, buffer + (sizeof buffer - stream.avail_out));
  }
  const bool whole = result == Z_STREAM_END && stream.avail_in == 0;
  inflateEnd(&stream);
  if (!whole) return std::nullopt;
  return out;
}

std::uint32_t ReadBigEndian32(const std::uint8_t* data) {
  return (std::uint32_t{data[0]} << 24) | (std::uint32_t{data[1]} << 16) |
         (std::uint32_t{data[2]} << 8) | std::uint32_t{data[3]};
}

std::vector<Chunk> SplitChunks(const std::vector<std::uint8_t>& file) {
  std::vector<Chunk> chunks;
  std::size_t pos = 8;
  while (pos + 12 <= file.size()) {
    const std::uint32_t length = ReadBigEndian32(&file[pos]);
    if (length > file.size() - pos - 12) break;
    Chunk chunk;
    chunk.type.assign(reinterpret_cast<const char*>(&file[pos + 4]), 4);
    chunk.data.assign(file.begin() + static_cast<std::ptrdiff_t>(pos + 8),
                      file.begin() + static_cast<std::ptrdiff_t>(pos + 8 + length));
    chunk.storedCrc = ReadBigEndian32(&file[pos + 8 + length]);
    chunks.push_back(std::move(chunk));
    pos += 12 + length;
  }
  return chunks;
}

bool PngcheckAccepts(const std::string& path, std::string* output) {
  if (!HaveProgram("pngcheck")) {
    ADD_FAILURE() << "pngcheck is not installed";
    return false;
  }
  return RunShell("pngcheck -v " + ShellQuote(path) + " 2>&1", output) == 0;
}
