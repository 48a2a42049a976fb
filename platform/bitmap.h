// The working bitmap and the handle in which a picture travels between owners.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "dib_layout.h"
#include "pixel_store.h"

// Bits per pixel of a bitmap object. 1, 4 and 8 bits index a colour table; 16 and 32 bits
// hold channels under masks (5-5-5 or 5-6-5, 8-8-8 by default); 24 bits are blue, green, red.
enum class PixelFormat : std::uint8_t { pf1bit, pf4bit, pf8bit, pf16bit, pf24bit, pf32bit };

int BitsPerPixel(PixelFormat format);

struct RgbQuad {
  std::uint8_t blue = 0, green = 0, red = 0, reserved = 0;
  friend bool operator==(const RgbQuad&, const RgbQuad&) = default;
};

// Red, green and blue masks of a 16- or 32-bit pixel.
struct ChannelMasks {
  std::uint32_t red = 0, green = 0, blue = 0;
  friend bool operator==(const ChannelMasks&, const ChannelMasks&) = default;
};
inline constexpr ChannelMasks kMasks555{0x7C00, 0x03E0, 0x001F};
inline constexpr ChannelMasks kMasks565{0xF800, 0x07E0, 0x001F};
inline constexpr ChannelMasks kMasks888{0x00FF0000, 0x0000FF00, 0x000000FF};

// A bitmap object: a device-independent raster of positive width and height. Rows are stored
// top-down and padded to a multiple of 4 bytes; row 0 is the top row.
class BitmapObject {
 public:
  enum class Fill { kWhite, kNone };
  // With kWhite every pixel has all bits set, which is white in every format (the default
  // colour tables end in white); kNone leaves the pixels for the caller to write, every one.
  // Throws EOutOfResources for a size beyond kMaxBitmapBytes, std::bad_alloc when memory runs out.
  BitmapObject(std::int32_t width, std::int32_t height, PixelFormat format,
               Fill fill = Fill::kWhite);

  std::int32_t Width() const { return width_; }
  std::int32_t Height() const { return height_; }
  PixelFormat Format() const { return format_; }
  std::size_t Stride() const { return stride_; }
  std::uint8_t* Row(std::int32_t y) { return bits_.get() + stride_ * static_cast<std::size_t>(y); }
  const std::uint8_t* Row(std::int32_t y) const {
    return bits_.get() + stride_ * static_cast<std::size_t>(y);
  }
  std::uint8_t* Bits() { return bits_.get(); }
  const std::uint8_t* Bits() const { return bits_.get(); }
  std::size_t SizeBytes() const { return stride_ * static_cast<std::size_t>(height_); }

  // Colour table of 1-, 4- and 8-bit formats: exactly 2^bits entries.
  std::vector<RgbQuad>& Palette() { return palette_; }
  const std::vector<RgbQuad>& Palette() const { return palette_; }
  // Channel masks of 16- and 32-bit formats.
  ChannelMasks& Masks() { return masks_; }
  const ChannelMasks& Masks() const { return masks_; }

  // A deep copy.
  std::unique_ptr<BitmapObject> Clone() const;

 private:
  std::int32_t width_;
  std::int32_t height_;
  PixelFormat format_;
  std::size_t stride_;
  PixelStore bits_;
  std::vector<RgbQuad> palette_;
  ChannelMasks masks_;
};

// Move-only owning handle of a bitmap object. An empty handle stands for "no bitmap" (0).
class HBITMAP {
 public:
  HBITMAP() = default;
  explicit HBITMAP(std::unique_ptr<BitmapObject> object) : object_(std::move(object)) {}
  HBITMAP(HBITMAP&&) noexcept = default;
  HBITMAP& operator=(HBITMAP&&) noexcept = default;
  HBITMAP(const HBITMAP&) = delete;
  HBITMAP& operator=(const HBITMAP&) = delete;

  explicit operator bool() const { return object_ != nullptr; }
  BitmapObject* get() const { return object_.get(); }
  BitmapObject* operator->() const { return object_.get(); }
  std::unique_ptr<BitmapObject> release() { return std::move(object_); }

 private:
  std::unique_ptr<BitmapObject> object_;
};

// The working bitmap: what the view's picture holds and what every effect creates twice.
// Without a bitmap object it still remembers a width, a height and a pixel format.
class TBitmap {
 public:
  TBitmap() = default;
  TBitmap(const TBitmap&) = delete;
  TBitmap& operator=(const TBitmap&) = delete;

  // Takes ownership of h together with its width, height and format. The object held before
  // is deleted. Adopting an empty handle while holding none changes nothing.
  void AdoptHandle(HBITMAP h);
  // Gives up the bitmap object; afterwards this bitmap is empty. An empty bitmap yields an
  // empty handle.
  HBITMAP DetachHandle();
  // Replaces the object by a 24-bit one showing the same colours. An empty bitmap only
  // records the format.
  void ConvertTo24Bit();
  // This bitmap becomes a deep copy of other: same size, format and pixels.
  void Assign(const TBitmap& other);

  bool Empty() const { return !object_; }
  std::int32_t Width() const { return width_; }
  std::int32_t Height() const { return height_; }
  PixelFormat Format() const { return format_; }
  // Resize at the current format; pixels kept where old and new overlap, new area white.
  // Negative values count as 0.
  void SetWidth(std::int32_t width);
  void SetHeight(std::int32_t height);
  void SetSize(std::int32_t width, std::int32_t height);

  // Address of the first byte of row y, 0 <= y < Height(); row 0 is the top. Throws
  // EInvalidOperation for any other row.
  std::uint8_t* RowAt(std::int32_t y);
  const std::uint8_t* RowAt(std::int32_t y) const;

  // The bitmap object, for readers of the whole raster (writers, the view). Null when empty.
  const BitmapObject* Object() const { return object_.get(); }

  // Called after every change of size, format or object (the view repaints and resizes).
  void SetOnChange(std::function<void()> onChange) { onChange_ = std::move(onChange); }

 private:
  void Changed() const;

  HBITMAP object_;
  std::int32_t width_ = 0;
  std::int32_t height_ = 0;
  PixelFormat format_ = PixelFormat::pf24bit;
  std::function<void()> onChange_;
};

// The colour of pixel x of a row of the given object, as blue, green, red.
std::array<std::uint8_t, 3> PixelColour(const BitmapObject& object, std::int32_t x, std::int32_t y);
