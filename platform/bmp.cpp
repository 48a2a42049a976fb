#include "bmp.h"

#include <bit>
#include <climits>
#include <cstring>
#include <optional>

#include "errors.h"

namespace {

constexpr std::uint16_t kFileType = 0x4D42;  // "BM"
constexpr std::size_t kFileHeaderSize = 14;
constexpr std::uint32_t kCoreHeaderSize = 12;
constexpr std::uint32_t kInfoHeaderSize = 40;
constexpr std::uint32_t kLargestHeaderSize = 124;  // V5

enum Compression : std::uint32_t {
  kRgb = 0,
  kRle8 = 1,
  kRle4 = 2,
  kBitFields = 3,
  kAlphaBitFields = 6,
};

// RLE data may describe many pixels per byte; a picture larger than this many pixels per byte
// of compressed data is refused rather than allocated.
constexpr std::int64_t kMaxRlePixelsPerByte = 1024;

[[noreturn]] void Truncated() {
  throw EReadError(msg::kStreamRead);
}
[[noreturn]] void Invalid() {
  throw EInvalidGraphic(msg::kInvalidBitmap);
}

// Little-endian fields of a byte block, with every read checked against its end.
class Fields {
 public:
  explicit Fields(std::span<const std::uint8_t> data) : data_(data) {}
  std::uint16_t U16(std::size_t at) const {
    Need(at, 2);
    return static_cast<std::uint16_t>(data_[at] | (data_[at + 1] << 8));
  }
  std::uint32_t U32(std::size_t at) const {
    Need(at, 4);
    return static_cast<std::uint32_t>(data_[at]) |
           (static_cast<std::uint32_t>(data_[at + 1]) << 8) |
           (static_cast<std::uint32_t>(data_[at + 2]) << 16) |
           (static_cast<std::uint32_t>(data_[at + 3]) << 24);
  }
  std::int32_t I32(std::size_t at) const { return static_cast<std::int32_t>(U32(at)); }
  void Need(std::size_t at, std::size_t count) const {
    if (at > data_.size() || count > data_.size() - at) Truncated();
  }

 private:
  std::span<const std::uint8_t> data_;
};

struct DibLayout {
  std::int32_t width = 0;
  std::int32_t height = 0;  // always positive
  bool topDown = false;
  int bitCount = 0;
  std::uint32_t compression = kRgb;
  ChannelMasks masks;
  std::vector<RgbQuad> palette;
  std::size_t headerEnd = 0;  // header and any masks after it
  std::size_t tableEnd = 0;   // where the pixel rows follow the colour table
};

PixelFormat FormatOf(int bitCount) {
  switch (bitCount) {
    case 1:
      return PixelFormat::pf1bit;
    case 4:
      return PixelFormat::pf4bit;
    case 8:
      return PixelFormat::pf8bit;
    case 16:
      return PixelFormat::pf16bit;
    case 24:
      return PixelFormat::pf24bit;
    case 32:
      return PixelFormat::pf32bit;
    default:
      Invalid();
  }
}

bool ContiguousOrZero(std::uint32_t mask) {
  if (mask == 0) return true;
  const std::uint32_t shifted = mask >> std::countr_zero(mask);
  return (shifted & (shifted + 1)) == 0;
}

DibLayout ParseLayout(std::span<const std::uint8_t> dib) {
  const Fields f(dib);
  DibLayout d;
  const std::uint32_t headerSize = f.U32(0);
  std::uint32_t colorsUsed = 0;
  std::size_t entrySize = 4;
  if (headerSize == kCoreHeaderSize) {
    f.Need(0, kCoreHeaderSize);
    d.width = f.U16(4);
    d.height = f.U16(6);
    d.bitCount = f.U16(10);
    entrySize = 3;
    d.headerEnd = kCoreHeaderSize;
  } else if (headerSize >= kInfoHeaderSize && headerSize <= kLargestHeaderSize) {
    f.Need(0, headerSize);
    d.width = f.I32(4);
    std::int32_t height = f.I32(8);
    if (height == INT32_MIN) Invalid();
    d.topDown = height < 0;
    d.height = height < 0 ? -height : height;
    d.bitCount = f.U16(14);
    d.compression = f.U32(16);
    colorsUsed = f.U32(32);
    d.headerEnd = headerSize;
    if (d.compression == kBitFields || d.compression == kAlphaBitFields) {
      if (headerSize >= kInfoHeaderSize + 12) {
        d.masks = {f.U32(40), f.U32(44), f.U32(48)};
      } else {
        // The masks follow a 40-byte header.
        d.masks = {f.U32(40), f.U32(44), f.U32(48)};
        d.headerEnd += d.compression == kAlphaBitFields ? 16 : 12;
        f.Need(0, d.headerEnd);
      }
    }
  } else {
    Invalid();
  }

  if (d.width <= 0 || d.height <= 0) Invalid();
  const PixelFormat format = FormatOf(d.bitCount);
  switch (d.compression) {
    case kRgb:
      if (format == PixelFormat::pf16bit) d.masks = kMasks555;
      if (format == PixelFormat::pf32bit) d.masks = kMasks888;
      break;
    case kRle8:
    case kRle4:
      if (d.bitCount != (d.compression == kRle8 ? 8 : 4) || d.topDown) Invalid();
      break;
    case kBitFields:
    case kAlphaBitFields: {
      if (format != PixelFormat::pf16bit && format != PixelFormat::pf32bit) Invalid();
      const std::uint32_t limit = format == PixelFormat::pf16bit ? 0xFFFFu : 0xFFFFFFFFu;
      for (std::uint32_t m : {d.masks.red, d.masks.green, d.masks.blue})
        if (!ContiguousOrZero(m) || (m & ~limit)) Invalid();
      break;
    }
    default:
      Invalid();
  }

  // Colour table: 2^bits entries unless the header names fewer (or more, which are skipped).
  // Deeper formats may carry an optional table, which is skipped too.
  std::uint64_t entries = colorsUsed;
  const std::uint64_t usable = d.bitCount <= 8 ? (1u << d.bitCount) : 0;
  if (d.bitCount <= 8 && entries == 0) entries = usable;
  const std::uint64_t tableEnd = d.headerEnd + entries * entrySize;
  if (tableEnd > dib.size()) Truncated();
  d.tableEnd = static_cast<std::size_t>(tableEnd);
  d.palette.assign(usable, RgbQuad{});
  for (std::uint64_t i = 0; i < std::min(entries, usable); ++i) {
    const std::size_t at = d.headerEnd + i * entrySize;
    d.palette[i] = RgbQuad{dib[at], dib[at + 1], dib[at + 2], 0};
  }
  return d;
}

std::unique_ptr<BitmapObject> NewObject(const DibLayout& d, BitmapObject::Fill fill) {
  auto object = std::make_unique<BitmapObject>(d.width, d.height, FormatOf(d.bitCount), fill);
  if (d.bitCount <= 8) object->Palette() = d.palette;
  if (d.bitCount == 16 || d.bitCount == 32) object->Masks() = d.masks;
  return object;
}

std::unique_ptr<BitmapObject> DecodeRows(const DibLayout& d, std::span<const std::uint8_t> bits) {
  const std::int64_t stride = RowStride(d.width, d.bitCount);
  // The last row may come without its padding.
  const std::int64_t lastRow = (static_cast<std::int64_t>(d.width) * d.bitCount + 7) / 8;
  if (d.height > 1 && stride > static_cast<std::int64_t>(bits.size()) / (d.height - 1)) Truncated();
  if (stride * (d.height - 1) + lastRow > static_cast<std::int64_t>(bits.size())) Truncated();

  auto object = NewObject(d, BitmapObject::Fill::kNone);
  for (std::int32_t r = 0; r < d.height; ++r) {
    const std::int32_t y = d.topDown ? r : d.height - 1 - r;
    const std::size_t from = static_cast<std::size_t>(stride) * static_cast<std::size_t>(r);
    const std::size_t count =
        std::min<std::size_t>(static_cast<std::size_t>(stride), bits.size() - from);
    std::memcpy(object->Row(y), bits.data() + from, count);
    std::memset(object->Row(y) + count, 0, object->Stride() - count);
  }
  return object;
}

std::unique_ptr<BitmapObject> DecodeRle(const DibLayout& d, std::span<const std::uint8_t> bits) {
  const std::int64_t pixels = static_cast<std::int64_t>(d.width) * d.height;
  if (pixels / kMaxRlePixelsPerByte > static_cast<std::int64_t>(bits.size())) Truncated();

  auto object = NewObject(d, BitmapObject::Fill::kNone);
  std::memset(object->Bits(), 0, object->SizeBytes());
  const bool four = d.compression == kRle4;
  std::int64_t x = 0;
  std::int64_t y = 0;  // counted from the bottom row
  auto put = [&](unsigned index) {
    if (x < d.width && y < d.height) {
      std::uint8_t* row = object->Row(static_cast<std::int32_t>(d.height - 1 - y));
      if (four) {
        std::uint8_t& b = row[x >> 1];
        b = (x & 1) ? static_cast<std::uint8_t>((b & 0xF0) | (index & 0x0F))
                    : static_cast<std::uint8_t>((b & 0x0F) | (index << 4));
      } else {
        row[x] = static_cast<std::uint8_t>(index);
      }
    }
    ++x;
  };

  std::size_t pos = 0;
  while (y < d.height) {
    if (bits.size() - pos < 2) Truncated();
    const unsigned count = bits[pos];
    const unsigned value = bits[pos + 1];
    pos += 2;
    if (count > 0) {
      for (unsigned i = 0; i < count && x <= d.width; ++i)
        put(four ? ((i & 1) ? (value & 0x0F) : (value >> 4)) : value);
      continue;
    }
    if (value == 0) {  // end of line
      x = 0;
      ++y;
    } else if (value == 1) {  // end of bitmap
      break;
    } else if (value == 2) {  // delta
      if (bits.size() - pos < 2) Truncated();
      x += bits[pos];
      y += bits[pos + 1];
      pos += 2;
    } else {  // absolute run of `value` pixels, padded to a whole word
      const std::size_t bytes = four ? (value + 1) / 2 : value;
      const std::size_t padded = (bytes + 1) & ~std::size_t{1};
      if (bits.size() - pos < padded) Truncated();
      for (unsigned i = 0; i < value; ++i) {
        const std::uint8_t b = bits[pos + (four ? i / 2 : i)];
        put(four ? ((i & 1) ? (b & 0x0F) : (b >> 4)) : b);
      }
      pos += padded;
    }
  }
  return object;
}

HBITMAP DecodeDib(const DibLayout& d, std::span<const std::uint8_t> bits) {
  if (d.compression == kRle8 || d.compression == kRle4) return HBITMAP(DecodeRle(d, bits));
  return HBITMAP(DecodeRows(d, bits));
}

void Put16(std::vector<std::uint8_t>& out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

}  // namespace

HBITMAP DecodeBitmapFile(std::span<const std::uint8_t> file) {
  if (file.empty()) return HBITMAP();
  if (file.size() < kFileHeaderSize) Truncated();
  const Fields f(file);
  if (f.U16(0) != kFileType) Invalid();
  const std::uint32_t offBits = f.U32(10);
  const auto dib = file.subspan(kFileHeaderSize);
  const DibLayout d = ParseLayout(dib);
  std::size_t bitsStart = d.tableEnd;
  if (offBits != 0) {
    if (offBits < kFileHeaderSize + d.headerEnd) Invalid();
    if (offBits > file.size()) Truncated();
    bitsStart = offBits - kFileHeaderSize;
  }
  return DecodeDib(d, dib.subspan(bitsStart));
}

HBITMAP DecodePackedDib(std::span<const std::uint8_t> dib) {
  const DibLayout d = ParseLayout(dib);
  return DecodeDib(d, dib.subspan(d.tableEnd));
}

std::vector<std::uint8_t> EncodeBitmapFile(const BitmapObject& object) {
  const int bitCount = BitsPerPixel(object.Format());
  std::uint32_t compression = kRgb;
  if ((object.Format() == PixelFormat::pf16bit && object.Masks() != kMasks555) ||
      (object.Format() == PixelFormat::pf32bit && object.Masks() != kMasks888))
    compression = kBitFields;
  const std::size_t masks = compression == kBitFields ? 12 : 0;
  const std::size_t table = bitCount <= 8 ? object.Palette().size() * 4 : 0;
  const std::size_t offBits = kFileHeaderSize + kInfoHeaderSize + masks + table;
  const std::size_t imageSize = object.SizeBytes();

  std::vector<std::uint8_t> out;
  out.reserve(offBits + imageSize);
  Put16(out, kFileType);
  Put32(out, static_cast<std::uint32_t>(offBits + imageSize));
  Put32(out, 0);
  Put32(out, static_cast<std::uint32_t>(offBits));
  Put32(out, kInfoHeaderSize);
  Put32(out, static_cast<std::uint32_t>(object.Width()));
  Put32(out, static_cast<std::uint32_t>(object.Height()));  // positive: rows bottom-up
  Put16(out, 1);
  Put16(out, static_cast<std::uint32_t>(bitCount));
  Put32(out, compression);
  Put32(out, static_cast<std::uint32_t>(imageSize));
  Put32(out, 0);
  Put32(out, 0);
  Put32(out, bitCount <= 8 ? static_cast<std::uint32_t>(object.Palette().size()) : 0);
  Put32(out, 0);
  if (masks) {
    Put32(out, object.Masks().red);
    Put32(out, object.Masks().green);
    Put32(out, object.Masks().blue);
  }
  if (bitCount <= 8) {
    for (const RgbQuad& q : object.Palette()) {
      out.push_back(q.blue);
      out.push_back(q.green);
      out.push_back(q.red);
      out.push_back(0);
    }
  }
  for (std::int32_t y = object.Height() - 1; y >= 0; --y)
    out.insert(out.end(), object.Row(y), object.Row(y) + object.Stride());
  return out;
}
