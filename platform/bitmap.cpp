#include "bitmap.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "errors.h"

namespace {

std::vector<RgbQuad> DefaultPalette(PixelFormat format) {
  // Tables whose last entry is white, so that a pixel of all bits set is white.
  switch (format) {
    case PixelFormat::pf1bit:
      return {RgbQuad{0, 0, 0, 0}, RgbQuad{255, 255, 255, 0}};
    case PixelFormat::pf4bit: {
      static constexpr std::uint8_t kVga[16][3] = {
          {0, 0, 0},       {0, 0, 128},   {0, 128, 0},   {0, 128, 128},
          {128, 0, 0},     {128, 0, 128}, {128, 128, 0}, {192, 192, 192},
          {128, 128, 128}, {0, 0, 255},   {0, 255, 0},   {0, 255, 255},
          {255, 0, 0},     {255, 0, 255}, {255, 255, 0}, {255, 255, 255}};
      std::vector<RgbQuad> p;
      for (const auto& c : kVga) p.push_back(RgbQuad{c[2], c[1], c[0], 0});
      return p;
    }
    case PixelFormat::pf8bit: {
      // 6x6x6 colour cube, then grays, ending in white.
      std::vector<RgbQuad> p;
      for (int r = 0; r < 6; ++r)
        for (int g = 0; g < 6; ++g)
          for (int b = 0; b < 6; ++b)
            p.push_back(RgbQuad{static_cast<std::uint8_t>(b * 51),
                                static_cast<std::uint8_t>(g * 51),
                                static_cast<std::uint8_t>(r * 51), 0});
      while (p.size() < 256) {
        auto v = static_cast<std::uint8_t>((p.size() - 216) * 255 / 39);
        p.push_back(RgbQuad{v, v, v, 0});
      }
      return p;
    }
    default:
      return {};
  }
}

ChannelMasks DefaultMasks(PixelFormat format) {
  if (format == PixelFormat::pf16bit) return kMasks555;
  if (format == PixelFormat::pf32bit) return kMasks888;
  return {};
}

// Widens a channel of n bits to 8 by repeating its bits; wider channels keep their top 8.
std::uint8_t WidenChannel(std::uint32_t pixel, std::uint32_t mask) {
  if (mask == 0) return 0;
  const int shift = std::countr_zero(mask);
  const int bits = std::popcount(mask);
  std::uint32_t v = (pixel & mask) >> shift;
  if (bits >= 8) return static_cast<std::uint8_t>(v >> (bits - 8));
  std::uint32_t out = 0;
  int filled = 0;
  while (filled < 8) {
    out = (out << bits) | v;
    filled += bits;
  }
  return static_cast<std::uint8_t>(out >> (filled - 8));
}

}  // namespace

int BitsPerPixel(PixelFormat format) {
  switch (format) {
    case PixelFormat::pf1bit:
      return 1;
    case PixelFormat::pf4bit:
      return 4;
    case PixelFormat::pf8bit:
      return 8;
    case PixelFormat::pf16bit:
      return 16;
    case PixelFormat::pf24bit:
      return 24;
    case PixelFormat::pf32bit:
      return 32;
  }
  return 24;
}

BitmapObject::BitmapObject(std::int32_t width, std::int32_t height, PixelFormat format, Fill fill)
    : width_(width), height_(height), format_(format) {
  if (width <= 0 || height <= 0) throw EInvalidGraphic(msg::kInvalidBitmap);
  const std::int64_t stride = RowStride(width, BitsPerPixel(format));
  if (stride > kMaxBitmapBytes / height) throw EOutOfResources(msg::kImageTooLarge);
  stride_ = static_cast<std::size_t>(stride);
  bits_ = PixelStore(SizeBytes());
  if (fill == Fill::kWhite) std::memset(bits_.get(), 0xFF, SizeBytes());
  palette_ = DefaultPalette(format);
  masks_ = DefaultMasks(format);
}

std::unique_ptr<BitmapObject> BitmapObject::Clone() const {
  auto copy = std::make_unique<BitmapObject>(width_, height_, format_, Fill::kNone);
  std::memcpy(copy->bits_.get(), bits_.get(), SizeBytes());
  copy->palette_ = palette_;
  copy->masks_ = masks_;
  return copy;
}

std::array<std::uint8_t, 3> PixelColour(const BitmapObject& object, std::int32_t x,
                                        std::int32_t y) {
  const std::uint8_t* row = object.Row(y);
  auto fromPalette = [&](unsigned index) -> std::array<std::uint8_t, 3> {
    const auto& pal = object.Palette();
    if (index >= pal.size()) return {0, 0, 0};
    return {pal[index].blue, pal[index].green, pal[index].red};
  };
  switch (object.Format()) {
    case PixelFormat::pf1bit:
      return fromPalette((row[x >> 3] >> (7 - (x & 7))) & 1);
    case PixelFormat::pf4bit:
      return fromPalette((x & 1) ? (row[x >> 1] & 0x0F) : (row[x >> 1] >> 4));
    case PixelFormat::pf8bit:
      return fromPalette(row[x]);
    case PixelFormat::pf16bit: {
      const std::uint32_t p = std::uint32_t{row[2 * x]} | (std::uint32_t{row[2 * x + 1]} << 8);
      const auto& m = object.Masks();
      return {WidenChannel(p, m.blue), WidenChannel(p, m.green), WidenChannel(p, m.red)};
    }
    case PixelFormat::pf24bit:
      return {row[3 * x], row[3 * x + 1], row[3 * x + 2]};
    case PixelFormat::pf32bit: {
      std::uint32_t p;
      std::memcpy(&p, row + 4 * x, 4);  // little-endian host
      const auto& m = object.Masks();
      return {WidenChannel(p, m.blue), WidenChannel(p, m.green), WidenChannel(p, m.red)};
    }
  }
  return {0, 0, 0};
}

void TBitmap::Changed() const {
  if (onChange_) onChange_();
}

void TBitmap::AdoptHandle(HBITMAP h) {
  if (!h && !object_) return;
  if (h) {
    width_ = h->Width();
    height_ = h->Height();
    format_ = h->Format();
  } else {
    width_ = 0;
    height_ = 0;
  }
  object_ = std::move(h);
  Changed();
}

HBITMAP TBitmap::DetachHandle() {
  HBITMAP h = std::move(object_);
  object_ = HBITMAP();
  if (h) {
    width_ = 0;
    height_ = 0;
    Changed();
  }
  return h;
}

void TBitmap::ConvertTo24Bit() {
  if (format_ == PixelFormat::pf24bit) return;
  if (!object_) {
    format_ = PixelFormat::pf24bit;
    Changed();
    return;
  }
  const BitmapObject& src = *object_.get();
  auto dst = std::make_unique<BitmapObject>(src.Width(), src.Height(), PixelFormat::pf24bit,
                                            BitmapObject::Fill::kNone);
  for (std::int32_t y = 0; y < src.Height(); ++y) {
    std::uint8_t* d = dst->Row(y);
    for (std::int32_t x = 0; x < src.Width(); ++x) {
      const auto c = PixelColour(src, x, y);
      d[3 * x] = c[0];
      d[3 * x + 1] = c[1];
      d[3 * x + 2] = c[2];
    }
    std::memset(d + 3 * static_cast<std::size_t>(src.Width()), 0,
                dst->Stride() - 3 * static_cast<std::size_t>(src.Width()));
  }
  object_ = HBITMAP(std::move(dst));
  format_ = PixelFormat::pf24bit;
  Changed();
}

void TBitmap::Assign(const TBitmap& other) {
  if (&other == this) return;
  HBITMAP copy = other.object_ ? HBITMAP(other.object_->Clone()) : HBITMAP();
  object_ = std::move(copy);
  width_ = other.width_;
  height_ = other.height_;
  format_ = other.format_;
  Changed();
}

void TBitmap::SetWidth(std::int32_t width) {
  SetSize(width, height_);
}
void TBitmap::SetHeight(std::int32_t height) {
  SetSize(width_, height);
}

void TBitmap::SetSize(std::int32_t width, std::int32_t height) {
  width = std::max(width, 0);
  height = std::max(height, 0);
  if (width == width_ && height == height_) return;
  HBITMAP resized;
  if (width > 0 && height > 0) {
    resized = HBITMAP(std::make_unique<BitmapObject>(width, height, format_));
    if (object_) {
      resized->Palette() = object_->Palette();
      resized->Masks() = object_->Masks();
      const std::int32_t rows = std::min(height, object_->Height());
      const std::int64_t keepBits =
          static_cast<std::int64_t>(std::min(width, object_->Width())) * BitsPerPixel(format_);
      const std::size_t wholeBytes = static_cast<std::size_t>(keepBits / 8);
      const int restBits = static_cast<int>(keepBits % 8);
      for (std::int32_t y = 0; y < rows; ++y) {
        std::memcpy(resized->Row(y), object_->Row(y), wholeBytes);
        if (restBits) {
          const auto keepMask = static_cast<std::uint8_t>(0xFF << (8 - restBits));
          std::uint8_t& b = resized->Row(y)[wholeBytes];
          b = static_cast<std::uint8_t>((object_->Row(y)[wholeBytes] & keepMask) | (b & ~keepMask));
        }
      }
    }
  }
  object_ = std::move(resized);
  width_ = width;
  height_ = height;
  Changed();
}

std::uint8_t* TBitmap::RowAt(std::int32_t y) {
  if (!object_ || y < 0 || y >= height_) throw EInvalidOperation(msg::kRowOutOfRange);
  return object_->Row(y);
}

const std::uint8_t* TBitmap::RowAt(std::int32_t y) const {
  if (!object_ || y < 0 || y >= height_) throw EInvalidOperation(msg::kRowOutOfRange);
  return object_->Row(y);
}
