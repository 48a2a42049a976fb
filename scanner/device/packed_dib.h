// Turning the frames a scanner delivers into the packed device-independent bitmap that the
// program takes over: header, colour table, rows bottom-up. Pure functions, no device involved.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/dib_layout.h"
#include "twain/twain.h"

namespace scanner {

enum class FrameKind { kGray, kRgb, kRed, kGreen, kBlue };

// One frame as the device describes it and the bytes it delivered for it, top row first.
struct FrameData {
  FrameKind kind = FrameKind::kGray;
  int depth = 8;  // bits per sample: 1, 8 or 16
  int pixelsPerLine = 0;
  int bytesPerLine = 0;
  int lines = -1;  // -1: not known before the end of the frame
  std::vector<std::uint8_t> bytes;
};

// Bytes of a 24-bit picture of width x height pixels (rows padded to whole 32-bit words); -1
// for a size that is not positive.
std::int64_t Picture24Bytes(std::int64_t width, std::int64_t height);
bool FitsProgram(std::int64_t width, std::int64_t height);

// The complete lines that frames give together (0: no image data).
std::int64_t LinesOf(std::span<const FrameData> frames);

// Why frame next cannot follow frames before in one scan, as the condition that the scan fails
// with: its depth or its line layout is not one the program reads (a line holds at least what
// its pixels need and, as padding, at most as much again and kLinePadding), or it makes no
// picture with them (a gray or colour frame alone; red, green and blue frames once each, of
// one depth and width). TWCC_SUCCESS when it can.
inline constexpr std::int64_t kLinePadding = 64;
TW_UINT16 RefusalOfNext(std::span<const FrameData> before, const FrameData& next);

// Why a set of frames cannot be converted, as the condition that the scan fails with;
// TWCC_SUCCESS when it can.
TW_UINT16 RefusalOf(std::span<const FrameData> frames);

// The packed bitmap for frames (one gray or colour frame, or red, green and blue frames in any
// order) at dpi dots per inch. Colour gives 24 bits, gray 8 bits with a gray table, line art 1
// bit with a white-black table; 16-bit samples (in the machine's byte order) are rounded to 8
// bits. The picture has the complete lines received (a frame that came short is cut there, never
// padded). Nothing for frames that RefusalOf refuses, that hold no complete line, or a picture
// beyond kMaxBitmapBytes.
std::optional<std::vector<std::uint8_t>> ToPackedDib(std::span<const FrameData> frames, double dpi);

// 16-bit sample to 8 bits, rounded to nearest.
constexpr std::uint8_t To8Bit(std::uint16_t sample) {
  return static_cast<std::uint8_t>((sample * 255u + 32767u) / 65535u);
}

}  // namespace scanner
