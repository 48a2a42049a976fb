#include "packed_dib.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "scanner/contract/conditions.h"

namespace scanner {
namespace {

constexpr double kInchesPerMetre = 1 / 0.0254;

std::int64_t NeededBytesPerLine(const FrameData& frame, int samplesPerPixel) {
  return (static_cast<std::int64_t>(frame.pixelsPerLine) * samplesPerPixel * frame.depth + 7) / 8;
}

int SamplesPerPixel(FrameKind kind) {
  return kind == FrameKind::kRgb ? 3 : 1;
}

std::int64_t CompleteLines(const FrameData& frame) {
  if (frame.bytesPerLine <= 0) return 0;
  return static_cast<std::int64_t>(frame.bytes.size()) / frame.bytesPerLine;
}

// The lines that came: a frame that ended early keeps what arrived, and is never padded.
std::int64_t HeightOf(const FrameData& frame) {
  const std::int64_t complete = CompleteLines(frame);
  return frame.lines >= 0 ? std::min<std::int64_t>(frame.lines, complete) : complete;
}

// Sample index of row y, scaled to 8 bits; 1-bit frames are handled by their own path.
std::uint8_t Sample(const FrameData& frame, std::int64_t y, std::int64_t index) {
  const std::uint8_t* row = frame.bytes.data() + y * frame.bytesPerLine;
  if (frame.depth == 8) return row[index];
  std::uint16_t sample = 0;
  std::memcpy(&sample, row + 2 * index, 2);
  return To8Bit(sample);
}

// Header and colour table; returns the offset of the first (bottom) row.
std::size_t WriteHeader(std::vector<std::uint8_t>& out, std::int64_t width, std::int64_t height,
                        int bits, double dpi, std::span<const std::array<std::uint8_t, 3>> table) {
  const std::int64_t imageBytes = RowStride(width, bits) * height;
  const std::size_t offset = kInfoHeaderSize + 4 * table.size();
  out.assign(offset + static_cast<std::size_t>(imageBytes), 0);
  const auto ppm = static_cast<std::uint32_t>(std::lround(dpi * kInchesPerMetre));
  // The sizes fit: the picture is within kMaxBitmapBytes (FitsProgram).
  PutInfoHeader(out.data(), {.width = static_cast<std::uint32_t>(width),
                             .height = static_cast<std::uint32_t>(height),
                             .bitCount = static_cast<std::uint16_t>(bits),
                             .imageSize = static_cast<std::uint32_t>(imageBytes),
                             .pixelsPerMetre = ppm,
                             .coloursUsed = static_cast<std::uint32_t>(table.size())});
  for (std::size_t i = 0; i < table.size(); ++i) {
    const std::size_t at = kInfoHeaderSize + 4 * i;
    out[at] = table[i][2];  // blue, green, red, reserved
    out[at + 1] = table[i][1];
    out[at + 2] = table[i][0];
  }
  return offset;
}

}  // namespace

std::int64_t Picture24Bytes(std::int64_t width, std::int64_t height) {
  if (width <= 0 || height <= 0 || width > (std::int64_t{1} << 32) ||
      height > (std::int64_t{1} << 32))
    return -1;
  return RowStride(width, 24) * height;
}

bool FitsProgram(std::int64_t width, std::int64_t height) {
  const std::int64_t bytes = Picture24Bytes(width, height);
  return bytes > 0 && bytes <= kMaxBitmapBytes;
}

std::int64_t LinesOf(std::span<const FrameData> frames) {
  if (frames.empty()) return 0;
  std::int64_t height = HeightOf(frames.front());
  for (const FrameData& frame : frames) height = std::min(height, HeightOf(frame));
  return height;
}

TW_UINT16 RefusalOfNext(std::span<const FrameData> before, const FrameData& next) {
  if (next.depth != 1 && next.depth != 8 && next.depth != 16) return kConditionUnsupportedDepth;
  const std::int64_t needed = NeededBytesPerLine(next, SamplesPerPixel(next.kind));
  if (next.pixelsPerLine <= 0 || next.bytesPerLine < needed ||
      next.bytesPerLine > 2 * needed + kLinePadding)
    return kConditionBadFrameLayout;
  const auto alone = [](const FrameData& frame) {
    return frame.kind == FrameKind::kGray || frame.kind == FrameKind::kRgb;
  };
  if (alone(next)) {
    if (!before.empty()) return kConditionBadFrameLayout;
    return next.kind == FrameKind::kRgb && next.depth == 1 ? kConditionUnsupportedDepth
                                                           : TWCC_SUCCESS;
  }
  // Separate red, green and blue frames: each once, all alike.
  if (next.depth == 1) return kConditionUnsupportedDepth;
  if (before.size() >= 3) return kConditionBadFrameLayout;
  for (const FrameData& frame : before)
    if (alone(frame) || frame.kind == next.kind || frame.depth != next.depth ||
        frame.pixelsPerLine != next.pixelsPerLine)
      return kConditionBadFrameLayout;
  return TWCC_SUCCESS;
}

TW_UINT16 RefusalOf(std::span<const FrameData> frames) {
  if (frames.empty()) return kConditionNoImageData;
  for (std::size_t i = 0; i < frames.size(); ++i)
    if (const TW_UINT16 refusal = RefusalOfNext(frames.first(i), frames[i]);
        refusal != TWCC_SUCCESS)
      return refusal;
  const FrameKind first = frames.front().kind;
  if (first != FrameKind::kGray && first != FrameKind::kRgb && frames.size() != 3)
    return kConditionBadFrameLayout;
  return TWCC_SUCCESS;
}

std::optional<std::vector<std::uint8_t>> ToPackedDib(std::span<const FrameData> frames,
                                                     double dpi) {
  if (RefusalOf(frames) != TWCC_SUCCESS) return std::nullopt;
  const FrameData& first = frames.front();
  const std::int64_t width = first.pixelsPerLine;
  const std::int64_t height = LinesOf(frames);
  if (!FitsProgram(width, height)) return std::nullopt;

  std::vector<std::uint8_t> out;
  if (first.kind == FrameKind::kGray && first.depth == 1) {
    // A set bit is black in the frame and index 1 of the table.
    const std::array<std::array<std::uint8_t, 3>, 2> table{{{255, 255, 255}, {0, 0, 0}}};
    const std::size_t offset = WriteHeader(out, width, height, 1, dpi, table);
    const std::int64_t stride = RowStride(width, 1);
    const std::int64_t rowBytes = (width + 7) / 8;
    const auto lastMask = static_cast<std::uint8_t>(0xFF << ((8 - width % 8) % 8));
    for (std::int64_t y = 0; y < height; ++y) {
      std::uint8_t* row = out.data() + offset + (height - 1 - y) * stride;
      // width is at least 1 (FitsProgram).
      std::memcpy(row, first.bytes.data() + y * first.bytesPerLine,
                  static_cast<std::size_t>(rowBytes));
      row[rowBytes - 1] &= lastMask;
    }
    return out;
  }
  if (first.kind == FrameKind::kGray) {
    std::array<std::array<std::uint8_t, 3>, 256> table{};
    for (std::size_t i = 0; i < table.size(); ++i) {
      const auto v = static_cast<std::uint8_t>(i);  // below 256
      table[i] = {v, v, v};
    }
    const std::size_t offset = WriteHeader(out, width, height, 8, dpi, table);
    const std::int64_t stride = RowStride(width, 8);
    for (std::int64_t y = 0; y < height; ++y) {
      std::uint8_t* row = out.data() + offset + (height - 1 - y) * stride;
      for (std::int64_t x = 0; x < width; ++x) row[x] = Sample(first, y, x);
    }
    return out;
  }
  // Colour: interleaved, or one frame per channel. source[c] gives channel c (red, green, blue)
  // and the sample position of that channel within a pixel.
  std::array<const FrameData*, 3> source{};
  std::array<int, 3> step{}, shift{};
  for (std::size_t c = 0; c < 3; ++c) {
    if (first.kind == FrameKind::kRgb) {
      source[c] = &first;
      step[c] = 3;
      shift[c] = static_cast<int>(c);  // below 3
    }
  }
  if (first.kind != FrameKind::kRgb) {
    for (const FrameData& frame : frames) {
      const auto c = static_cast<std::size_t>(frame.kind) - 2;
      source[c] = &frame;
      step[c] = 1;
      shift[c] = 0;
    }
  }
  const std::size_t offset = WriteHeader(out, width, height, 24, dpi, {});
  const std::int64_t stride = RowStride(width, 24);
  for (std::int64_t y = 0; y < height; ++y) {
    std::uint8_t* row = out.data() + offset + (height - 1 - y) * stride;
    for (std::int64_t x = 0; x < width; ++x)
      for (std::size_t c = 0; c < 3; ++c)
        row[3 * x + 2 - static_cast<std::int64_t>(c)] =
            Sample(*source[c], y, x * step[c] + shift[c]);
  }
  return out;
}

}  // namespace scanner
