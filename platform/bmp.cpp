#include "bmp.h"

#include <bit>
#include <climits>
#include <cstring>
#include <optional>

#include "errors.h"

namespace {

constexpr std::uint16_t kFileType = 0x4D42;  // "BM"
constexpr std::size_t kFileHeaderSize = kBitmapFileHeaderSize;
constexpr std::uint32_t kCoreHeaderSize = 12;
constexpr std::uint32_t kShortOs2HeaderSize = 16;
constexpr std::uint32_t kLargestHeaderSize = 124;  // V5
// The headers, masks and the colour table entries that are kept lie within the first bytes of
// a file (a V5 header and 256 entries end before 1200). Fields are read from this many bytes,
// or the whole file when it is shorter, so a field read fails exactly where it would on the
// whole file.
constexpr std::size_t kHeadBytes = 4096;
// Rows travel between the pixel store and the file in pieces of about this size; bottom-up
// rows are read in at most kRowsPerRead rows at a time, each straight into its place.
constexpr std::size_t kChunkBytes = std::size_t{1} << 20;
constexpr std::size_t kRowsPerRead = 1024;

enum Compression : std::uint32_t {
  kRgb = 0,
  kRle8 = 1,
  kRle4 = 2,
  kBitFields = 3,
  kAlphaBitFields = 6,
};

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

// The fields of an information header, whichever of its forms the data uses.
struct DibHeader {
  std::int32_t width = 0;
  std::int32_t height = 0;  // always positive
  bool topDown = false;
  int bitCount = 0;
  std::uint32_t compression = kRgb;
  std::uint32_t colorsUsed = 0;
  std::size_t entrySize = 4;  // bytes of one colour table entry
  std::size_t end = 0;        // the header and any masks after it
  ChannelMasks masks;         // as stored, for bit fields
};

// A packed DIB split into what the pixel decoders need.
struct DibLayout {
  DibHeader header;
  std::vector<RgbQuad> palette;  // 2^bits entries of the decoded format, for indexed formats
  std::size_t tableEnd = 0;      // where the pixel rows follow the colour table
};

// 2-bit files are widened to 4 bits on reading; every other depth is kept.
PixelFormat FormatOf(int bitCount) {
  switch (bitCount) {
    case 1:
      return PixelFormat::pf1bit;
    case 2:
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

// Step 1: the header's fields. Core headers have 16-bit sizes and 3-byte colour entries; the
// short OS/2 header stops after the bit count; the others differ only in what follows it.
DibHeader ReadHeader(const Fields& f) {
  DibHeader h;
  const std::uint32_t size = f.U32(0);
  if (size == kCoreHeaderSize) {
    f.Need(0, kCoreHeaderSize);
    h.width = f.U16(4);
    h.height = f.U16(6);
    h.bitCount = f.U16(10);
    h.entrySize = 3;
    h.end = kCoreHeaderSize;
    return h;
  }
  if (size != kShortOs2HeaderSize && (size < kInfoHeaderSize || size > kLargestHeaderSize))
    Invalid();
  f.Need(0, size);
  h.width = f.I32(4);
  const std::int32_t height = f.I32(8);
  if (height == INT32_MIN) Invalid();
  h.topDown = height < 0;
  h.height = height < 0 ? -height : height;
  h.bitCount = f.U16(14);
  h.end = size;
  if (size == kShortOs2HeaderSize) return h;
  h.compression = f.U32(16);
  h.colorsUsed = f.U32(32);
  if (h.compression == kBitFields || h.compression == kAlphaBitFields) {
    // Larger headers hold the masks; a 40-byte one is followed by them.
    if (size < kInfoHeaderSize + 12) h.end += h.compression == kAlphaBitFields ? 16 : 12;
    f.Need(0, h.end);
    h.masks = {f.U32(40), f.U32(44), f.U32(48)};
  }
  return h;
}

// Step 2: whether the fields describe a picture this reader can hold.
void Validate(const DibHeader& h) {
  if (h.width <= 0 || h.height <= 0) Invalid();
  const PixelFormat format = FormatOf(h.bitCount);
  switch (h.compression) {
    case kRgb:
      break;
    case kRle8:
    case kRle4:
      if (h.bitCount != (h.compression == kRle8 ? 8 : 4) || h.topDown) Invalid();
      break;
    case kBitFields:
    case kAlphaBitFields: {
      if (format != PixelFormat::pf16bit && format != PixelFormat::pf32bit) Invalid();
      const std::uint32_t limit = format == PixelFormat::pf16bit ? 0xFFFFu : 0xFFFFFFFFu;
      for (std::uint32_t m : {h.masks.red, h.masks.green, h.masks.blue})
        if (!ContiguousOrZero(m) || (m & ~limit)) Invalid();
      break;
    }
    default:
      Invalid();
  }
}

// Step 3: the colour table. It holds 2^bits entries unless the header names fewer (or more,
// which are skipped); deeper formats may carry an optional table, skipped too. Where the file
// says where its rows begin (rowsAt), the table ends there at the latest: short tables are
// common in core-header files, and a colour count beyond 256 on a 24-bit file is only noise.
// Entries the table does not hold stay black.
// dib holds the first bytes of a packed DIB of dibSize bytes.
DibLayout ReadColourTable(std::span<const std::uint8_t> dib, std::uint64_t dibSize,
                          const DibHeader& h, std::optional<std::size_t> rowsAt) {
  DibLayout d{h, {}, 0};
  const std::uint64_t usable = h.bitCount <= 8 ? (1u << h.bitCount) : 0;
  std::uint64_t entries = h.colorsUsed;
  if (usable && entries == 0) entries = usable;
  if (rowsAt) entries = std::min<std::uint64_t>(entries, (*rowsAt - h.end) / h.entrySize);
  const std::uint64_t tableEnd = h.end + entries * h.entrySize;
  if (tableEnd > dibSize) Truncated();
  d.tableEnd = static_cast<std::size_t>(tableEnd);
  if (usable) d.palette.assign(std::size_t{1} << BitsPerPixel(FormatOf(h.bitCount)), RgbQuad{});
  for (std::uint64_t i = 0; i < std::min(entries, usable); ++i) {
    const std::size_t at = h.end + i * h.entrySize;
    d.palette[i] = RgbQuad{dib[at], dib[at + 1], dib[at + 2], 0};
  }
  return d;
}

// The three steps; dib, dibSize and rowsAt as for ReadColourTable.
DibLayout ParseLayout(std::span<const std::uint8_t> dib, std::uint64_t dibSize,
                      std::optional<std::size_t> rowsAt) {
  const DibHeader h = ReadHeader(Fields(dib));
  Validate(h);
  if (rowsAt && *rowsAt < h.end) Invalid();
  return ReadColourTable(dib, dibSize, h, rowsAt);
}

ChannelMasks MasksOf(const DibHeader& h) {
  if (h.compression == kBitFields || h.compression == kAlphaBitFields) return h.masks;
  return h.bitCount == 16 ? kMasks555 : kMasks888;
}

// Refuses a picture beyond the size limit before anything is allocated for it.
std::unique_ptr<BitmapObject> NewObject(const DibLayout& d) {
  const DibHeader& h = d.header;
  auto object = std::make_unique<BitmapObject>(h.width, h.height, FormatOf(h.bitCount),
                                               BitmapObject::Fill::kNone);
  if (h.bitCount <= 8) object->Palette() = d.palette;
  if (h.bitCount == 16 || h.bitCount == 32) object->Masks() = MasksOf(h);
  return object;
}

// Widens a row of 2-bit indices to 4-bit ones.
void WidenTwoBitRow(const std::uint8_t* from, std::size_t bytes, std::uint8_t* to,
                    std::size_t toStride) {
  std::memset(to, 0, toStride);
  for (std::size_t i = 0; i < bytes && 2 * i < toStride; ++i) {
    const unsigned b = from[i];
    to[2 * i] = static_cast<std::uint8_t>(((b >> 6) << 4) | ((b >> 4) & 3));
    if (2 * i + 1 < toStride)
      to[2 * i + 1] = static_cast<std::uint8_t>((((b >> 2) & 3) << 4) | (b & 3));
  }
}

// The rows from offset at of source on. Whole rows are read straight into the pixel store;
// 2-bit rows are widened from a chunk buffer.
std::unique_ptr<BitmapObject> DecodeRows(const DibLayout& d, ByteSource& source, std::uint64_t at) {
  const DibHeader& h = d.header;
  const auto available = static_cast<std::int64_t>(source.Size() - at);
  const std::int64_t stride = RowStride(h.width, h.bitCount);
  // The last row may come without its padding.
  const std::int64_t lastRow = (static_cast<std::int64_t>(h.width) * h.bitCount + 7) / 8;
  if (h.height > 1 && stride > available / (h.height - 1)) Truncated();
  if (stride * (h.height - 1) + lastRow > available) Truncated();

  auto object = NewObject(d);
  const auto fileStride = static_cast<std::size_t>(stride);
  const auto height = static_cast<std::size_t>(h.height);
  const auto rowOf = [&](std::size_t r) {  // the picture row of file row r
    return static_cast<std::int32_t>(h.topDown ? r : height - 1 - r);
  };
  const auto offsetOf = [&](std::size_t r) { return at + r * fileStride; };
  const std::size_t rowsPerChunk = std::max<std::size_t>(1, kChunkBytes / fileStride);
  if (h.bitCount == 2) {
    std::vector<std::uint8_t> chunk;
    for (std::size_t r = 0, n = 0; r < height; r += n) {
      n = std::min(rowsPerChunk, height - r);
      chunk.resize(std::min<std::size_t>(n * fileStride,
                                         static_cast<std::size_t>(available) - r * fileStride));
      const std::span<std::uint8_t> whole(chunk);
      source.Read(offsetOf(r), {&whole, 1});
      for (std::size_t i = 0; i < n; ++i)
        WidenTwoBitRow(chunk.data() + i * fileStride,
                       std::min(fileStride, chunk.size() - i * fileStride),
                       object->Row(rowOf(r + i)), object->Stride());
    }
    return object;
  }
  // Rows the file holds whole; only the last one may lack (part of) its padding.
  const std::size_t whole = std::min(height, static_cast<std::size_t>(available) / fileStride);
  std::vector<std::span<std::uint8_t>> pieces;
  for (std::size_t r = 0, n = 0; r < whole; r += n) {
    n = std::min(rowsPerChunk, whole - r);
    pieces.clear();
    if (h.topDown) {
      pieces.emplace_back(object->Row(rowOf(r)), n * fileStride);
    } else {
      n = std::min(n, kRowsPerRead);
      for (std::size_t i = 0; i < n; ++i)
        pieces.emplace_back(object->Row(rowOf(r + i)), fileStride);
    }
    source.Read(offsetOf(r), pieces);
  }
  if (whole < height) {
    const std::size_t count = static_cast<std::size_t>(available) - whole * fileStride;
    std::uint8_t* row = object->Row(rowOf(whole));
    const std::span<std::uint8_t> piece(row, count);
    source.Read(offsetOf(whole), {&piece, 1});
    std::memset(row + count, 0, fileStride - count);
  }
  return object;
}

// Run-length data as a sequence of byte pairs and literal blocks; running out is the read error.
class RleInput {
 public:
  explicit RleInput(std::span<const std::uint8_t> bits) : bits_(bits) {}
  std::pair<unsigned, unsigned> Pair() {
    const auto block = Take(2);
    return {block[0], block[1]};
  }
  std::span<const std::uint8_t> Take(std::size_t count) {
    if (bits_.size() - pos_ < count) Truncated();
    const auto block = bits_.subspan(pos_, count);
    pos_ += count;
    return block;
  }

 private:
  std::span<const std::uint8_t> bits_;
  std::size_t pos_ = 0;
};

// Where decoded indices land: a cursor that starts at the bottom-left pixel and drops whatever
// falls outside the picture. Pixels never reached keep index 0.
class RleCanvas {
 public:
  RleCanvas(BitmapObject& object, bool fourBits) : object_(object), four_(fourBits) {
    std::memset(object_.Bits(), 0, object_.SizeBytes());
  }
  bool Done() const { return y_ >= object_.Height(); }
  void EndOfLine() {
    x_ = 0;
    ++y_;
  }
  void Move(unsigned dx, unsigned dy) {
    x_ += dx;
    y_ += dy;
  }
  // An encoded run: count pixels alternating between the two indices of value (4 bits) or
  // repeating it (8 bits). Pixels beyond the row's end are not visited one by one.
  void Run(unsigned count, unsigned value) {
    for (unsigned i = 0; i < count && x_ <= object_.Width(); ++i)
      Put(four_ ? ((i & 1) ? (value & 0x0F) : (value >> 4)) : value);
  }
  // An absolute run: count indices packed in data.
  void Literal(unsigned count, std::span<const std::uint8_t> data) {
    for (unsigned i = 0; i < count; ++i) {
      const std::uint8_t b = data[four_ ? i / 2 : i];
      Put(four_ ? ((i & 1) ? (b & 0x0F) : (b >> 4)) : b);
    }
  }
  // Bytes of an absolute run of count pixels, padded to a whole 16-bit word.
  std::size_t LiteralBytes(unsigned count) const {
    const std::size_t bytes = four_ ? (count + 1) / 2 : count;
    return (bytes + 1) & ~std::size_t{1};
  }

 private:
  void Put(unsigned index) {
    if (x_ < object_.Width() && y_ < object_.Height()) {
      std::uint8_t* row = object_.Row(static_cast<std::int32_t>(object_.Height() - 1 - y_));
      if (four_) {
        std::uint8_t& b = row[x_ >> 1];
        b = (x_ & 1) ? static_cast<std::uint8_t>((b & 0xF0) | (index & 0x0F))
                     : static_cast<std::uint8_t>((b & 0x0F) | (index << 4));
      } else {
        row[x_] = static_cast<std::uint8_t>(index);
      }
    }
    ++x_;
  }

  BitmapObject& object_;
  bool four_;
  std::int64_t x_ = 0;
  std::int64_t y_ = 0;  // counted from the bottom row
};

// RLE may describe a large picture in a few bytes (an early end of bitmap, deltas over empty
// areas), so the data's length says nothing about the picture's size: only the size limit of a
// bitmap object bounds it.
std::unique_ptr<BitmapObject> DecodeRle(const DibLayout& d, std::span<const std::uint8_t> bits) {
  constexpr unsigned kEndOfLine = 0, kEndOfBitmap = 1, kDelta = 2;
  auto object = NewObject(d);
  RleCanvas canvas(*object, d.header.compression == kRle4);
  RleInput in(bits);
  while (!canvas.Done()) {
    const auto [count, value] = in.Pair();
    if (count > 0) {
      canvas.Run(count, value);
    } else if (value == kEndOfLine) {
      canvas.EndOfLine();
    } else if (value == kEndOfBitmap) {
      break;
    } else if (value == kDelta) {
      const auto [dx, dy] = in.Pair();
      canvas.Move(dx, dy);
    } else {
      canvas.Literal(value, in.Take(canvas.LiteralBytes(value)));
    }
  }
  return object;
}

// The pixels from offset at of source on. Run-length data is read whole: it is compressed.
HBITMAP DecodePixels(const DibLayout& d, ByteSource& source, std::uint64_t at) {
  if (d.header.compression == kRle8 || d.header.compression == kRle4) {
    std::vector<std::uint8_t> storage;
    return HBITMAP(
        DecodeRle(d, source.View(at, static_cast<std::size_t>(source.Size() - at), storage)));
  }
  return HBITMAP(DecodeRows(d, source, at));
}

// Sizes of the file a bitmap object is written as.
struct FileLayout {
  int bitCount;
  std::uint32_t compression;
  std::size_t masks;    // bytes of bit-field masks
  std::size_t offBits;  // where the rows begin
  std::size_t imageSize;
};

FileLayout LayoutOf(const BitmapObject& object) {
  FileLayout l{BitsPerPixel(object.Format()), kRgb, 0, 0, object.SizeBytes()};
  if ((object.Format() == PixelFormat::pf16bit && object.Masks() != kMasks555) ||
      (object.Format() == PixelFormat::pf32bit && object.Masks() != kMasks888))
    l.compression = kBitFields;
  l.masks = l.compression == kBitFields ? 12 : 0;
  const std::size_t table = l.bitCount <= 8 ? object.Palette().size() * 4 : 0;
  l.offBits = kFileHeaderSize + kInfoHeaderSize + l.masks + table;
  return l;
}

// Collects what is written in a vector.
class VectorSink final : public ByteSink {
 public:
  explicit VectorSink(std::vector<std::uint8_t>& out) : out_(out) {}
  void Write(std::span<const std::uint8_t> data) override {
    out_.insert(out_.end(), data.begin(), data.end());
  }

 private:
  std::vector<std::uint8_t>& out_;
};

}  // namespace

HBITMAP DecodeBitmapFile(ByteSource& file) {
  const std::uint64_t size = file.Size();
  if (size == 0) return HBITMAP();
  if (size < kFileHeaderSize) Truncated();
  std::vector<std::uint8_t> storage;
  const auto head =
      file.View(0, static_cast<std::size_t>(std::min<std::uint64_t>(size, kHeadBytes)), storage);
  const Fields f(head);
  if (f.U16(0) != kFileType) Invalid();
  const std::uint32_t offBits = f.U32(10);
  // A pixel offset of 0 means "after the colour table"; one inside the file header is refused
  // with the headers it overlaps.
  std::optional<std::size_t> rowsAt;
  if (offBits != 0) rowsAt = offBits < kFileHeaderSize ? 0 : offBits - kFileHeaderSize;
  const DibLayout d = ParseLayout(head.subspan(kFileHeaderSize), size - kFileHeaderSize, rowsAt);
  if (offBits > size) Truncated();
  return DecodePixels(d, file, kFileHeaderSize + rowsAt.value_or(d.tableEnd));
}

HBITMAP DecodeBitmapFile(std::span<const std::uint8_t> file) {
  MemorySource source(file);
  return DecodeBitmapFile(source);
}

HBITMAP DecodePackedDib(std::span<const std::uint8_t> dib) {
  const DibLayout d = ParseLayout(dib, dib.size(), std::nullopt);
  MemorySource source(dib);
  return DecodePixels(d, source, d.tableEnd);
}

void WriteBitmapFile(const BitmapObject& object, ByteSink& sink) {
  const FileLayout l = LayoutOf(object);
  const std::size_t stride = object.Stride();
  std::vector<std::uint8_t> chunk;
  chunk.reserve(std::min(kChunkBytes, l.offBits + l.imageSize));
  chunk.resize(kFileHeaderSize + kInfoHeaderSize + l.masks);
  PutLittleEndian(chunk.data(), kFileType, 2);
  PutLittleEndian(chunk.data() + 2, static_cast<std::uint32_t>(l.offBits + l.imageSize), 4);
  PutLittleEndian(chunk.data() + 6, 0, 4);
  PutLittleEndian(chunk.data() + 10, static_cast<std::uint32_t>(l.offBits), 4);
  PutInfoHeader(
      chunk.data() + kFileHeaderSize,
      {.width = static_cast<std::uint32_t>(object.Width()),
       .height = static_cast<std::uint32_t>(object.Height()),  // positive: bottom-up
       .bitCount = static_cast<std::uint16_t>(l.bitCount),
       .compression = l.compression,
       .imageSize = static_cast<std::uint32_t>(l.imageSize),
       .coloursUsed = l.bitCount <= 8 ? static_cast<std::uint32_t>(object.Palette().size()) : 0});
  if (l.masks) {
    std::uint8_t* masks = chunk.data() + kFileHeaderSize + kInfoHeaderSize;
    PutLittleEndian(masks, object.Masks().red, 4);
    PutLittleEndian(masks + 4, object.Masks().green, 4);
    PutLittleEndian(masks + 8, object.Masks().blue, 4);
  }
  if (l.bitCount <= 8) {
    for (const RgbQuad& q : object.Palette()) {
      chunk.push_back(q.blue);
      chunk.push_back(q.green);
      chunk.push_back(q.red);
      chunk.push_back(0);
    }
  }
  // Rows are gathered into chunks for large writes; a row larger than a chunk goes alone.
  for (std::int32_t y = object.Height() - 1; y >= 0; --y) {
    if (!chunk.empty() && chunk.size() + stride > kChunkBytes) {
      sink.Write(chunk);
      chunk.clear();
    }
    if (stride >= kChunkBytes)
      sink.Write({object.Row(y), stride});
    else
      chunk.insert(chunk.end(), object.Row(y), object.Row(y) + stride);
  }
  if (!chunk.empty()) sink.Write(chunk);
}

std::vector<std::uint8_t> EncodeBitmapFile(const BitmapObject& object) {
  const FileLayout l = LayoutOf(object);
  std::vector<std::uint8_t> out;
  out.reserve(l.offBits + l.imageSize);
  VectorSink sink(out);
  WriteBitmapFile(object, sink);
  return out;
}
