#include "png_reader.h"

#include <png.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <vector>

#include "errors.h"
#include "messages.h"
#include "narrow.h"

namespace {

constexpr std::uint8_t kSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// The file as libpng asks for it, in small pieces (chunk headers, checksums, image data a few
// kilobytes at a time), served from a window of the source that moves on 64 KiB at a time.
class Reader {
 public:
  explicit Reader(ByteSource& source) : source_(source), size_(source.Size()) {}

  // False when the file ends first. Throws what the source throws.
  bool Read(std::uint8_t* out, std::size_t count) {
    while (count > 0) {
      if (window_.empty() && !MoveOn()) return false;
      const std::size_t n = std::min(count, window_.size());
      std::memcpy(out, window_.data(), n);
      window_ = window_.subspan(n);
      out += n;
      count -= n;
    }
    return true;
  }

 private:
  bool MoveOn() {
    constexpr std::uint64_t kWindow = 64 << 10;
    const std::uint64_t left = size_ - offset_;
    if (left == 0) return false;
    const auto n = static_cast<std::size_t>(std::min(left, kWindow));
    window_ = source_.View(offset_, n, storage_);
    offset_ += n;
    return true;
  }

  ByteSource& source_;
  std::uint64_t size_;
  std::uint64_t offset_ = 0;
  std::vector<std::uint8_t> storage_;
  std::span<const std::uint8_t> window_;
};

extern "C" void StopPngOnError(png_structp png, png_const_charp);
extern "C" void IgnorePngWarning(png_structp, png_const_charp) {}
extern "C" void ReadPngFromSource(png_structp png, png_bytep out, std::size_t count);
extern "C" png_voidp AllocateForPng(png_structp png, png_alloc_size_t size);
extern "C" void ReleaseForPng(png_structp, png_voidp block) {
  std::free(block);
}

// libpng reports a fatal error by jumping back into the one small function that is running a
// decoder step; those functions hold no object with a destructor, so the jump skips none. What
// made it stop is kept here.
struct Decoder {
  explicit Decoder(ByteSource& source) : reader(source) {
    png = png_create_read_struct_2(PNG_LIBPNG_VER_STRING, this, StopPngOnError, IgnorePngWarning,
                                   this, AllocateForPng, ReleaseForPng);
    if (png) info = png_create_info_struct(png);
    if (!info) {
      png_destroy_read_struct(&png, nullptr, nullptr);
      throw std::bad_alloc();
    }
    png_set_read_fn(png, this, ReadPngFromSource);
    // libpng's own limit of a million pixels a side would take a valid picture for a damaged
    // one: the format's limit holds, and the picture's size is checked before it is taken.
    png_set_user_limits(png, 0x7FFFFFFF, 0x7FFFFFFF);
    // Only the chunks that make the picture are read: the header, the palette, the transparent
    // colours, the image data and the end. Gamma, colour profiles and texts are skipped unread,
    // so no compressed text or profile is ever inflated.
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, nullptr, -1);
#ifdef LUMIVANE_FUZZING
    // Changed bytes are to reach the decoder, not to stop at a checksum.
    png_set_crc_action(png, PNG_CRC_QUIET_USE, PNG_CRC_QUIET_USE);
    png_set_option(png, PNG_IGNORE_ADLER32, PNG_OPTION_ON);
#endif
  }
  ~Decoder() {
    png_destroy_read_struct(&png, &info, nullptr);
  }
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  // After a step failed: what made libpng stop.
  [[noreturn]] void Fail() const {
    if (readError) std::rethrow_exception(readError);
    if (outOfMemory) throw std::bad_alloc();
    if (truncated) throw EReadError(msg::kPngTruncated);
    throw EInvalidGraphic(msg::kPngInvalid);
  }

  Reader reader;
  png_structp png = nullptr;
  png_infop info = nullptr;
  int passes = 1;
  bool truncated = false;
  bool outOfMemory = false;
  std::exception_ptr readError;
};

extern "C" void StopPngOnError(png_structp png, png_const_charp) {
  png_longjmp(png, 1);
}

extern "C" void ReadPngFromSource(png_structp png, png_bytep out, std::size_t count) {
  auto* d = static_cast<Decoder*>(png_get_io_ptr(png));
  bool read = false;
  try {
    read = d->reader.Read(out, count);
  } catch (...) {
    d->readError = std::current_exception();
  }
  if (read) return;
  d->truncated = true;
  png_error(png, "end of file");
}

extern "C" png_voidp AllocateForPng(png_structp png, png_alloc_size_t size) {
  png_voidp block = std::malloc(size);
  if (!block) static_cast<Decoder*>(png_get_mem_ptr(png))->outOfMemory = true;
  return block;
}

// Each step returns false after libpng stopped with an error.
bool ReadHeader(Decoder& d) {
  if (setjmp(png_jmpbuf(d.png))) return false;
  png_read_info(d.png, d.info);
  return true;
}

// Every kind of pixel becomes 8-bit blue, green, red, with alpha where the file has any.
bool PrepareRows(Decoder& d) {
  if (setjmp(png_jmpbuf(d.png))) return false;
  png_set_expand(d.png);  // palette to colour, gray to 8 bits, transparent colours to alpha
  png_set_scale_16(d.png);
  png_set_gray_to_rgb(d.png);
  png_set_bgr(d.png);
  d.passes = png_set_interlace_handling(d.png);
  png_read_update_info(d.png, d.info);
  return true;
}

// The next row of the current pass; libpng puts the pass's pixels in their places in row and
// leaves the others alone.
bool ReadRow(Decoder& d, std::uint8_t* row) {
  if (setjmp(png_jmpbuf(d.png))) return false;
  png_read_row(d.png, row, nullptr);
  return true;
}

// The rest of the file up to its end chunk: the checksums of the last image data.
bool ReadEnd(Decoder& d) {
  if (setjmp(png_jmpbuf(d.png))) return false;
  png_read_end(d.png, nullptr);
  return true;
}

// Lays every step-th pixel of a row from first on (blue, green, red, alpha) over white.
void LayOverWhite(const std::uint8_t* bgra, std::uint8_t* bgr, std::int32_t first,
                  std::int32_t step, std::int32_t width) {
  for (auto x = static_cast<std::size_t>(first); x < static_cast<std::size_t>(width);
       x += static_cast<std::size_t>(step)) {
    const unsigned alpha = bgra[4 * x + 3];
    for (std::size_t c = 0; c < 3; ++c)
      bgr[3 * x + c] = static_cast<std::uint8_t>(
          (bgra[4 * x + c] * alpha + 255 * (255 - alpha) + 127) / 255);  // at most 255
  }
}

}  // namespace

bool IsPngSignature(std::span<const std::uint8_t> head) {
  return head.size() >= sizeof kSignature &&
         std::equal(std::begin(kSignature), std::end(kSignature), head.begin());
}

HBITMAP DecodePng(ByteSource& file) {
  Decoder d(file);
  if (!ReadHeader(d)) d.Fail();
  const auto width = CheckedCast<std::int32_t>(png_get_image_width(d.png, d.info));
  const auto height = CheckedCast<std::int32_t>(png_get_image_height(d.png, d.info));
  const bool alpha = (png_get_color_type(d.png, d.info) & PNG_COLOR_MASK_ALPHA) != 0 ||
                     png_get_valid(d.png, d.info, PNG_INFO_tRNS) != 0;
  // libpng keeps two rows of the file's pixels, at most 8 bytes each (16-bit colour with alpha),
  // and a picture with alpha one of ours: they are counted with the picture, so that a header
  // that claims a huge width is refused before libpng takes its rows.
  const std::uint64_t rowBytes = 20 * static_cast<std::uint64_t>(width) + 1024;
  const auto stride = static_cast<std::uint64_t>(RowStride(width, 24));
  const auto limit = static_cast<std::uint64_t>(kMaxBitmapBytes);
  if (rowBytes > limit || stride > (limit - rowBytes) / static_cast<std::uint64_t>(height))
    throw EOutOfResources(msg::kImageTooLarge);
  auto object = std::make_unique<BitmapObject>(width, height, PixelFormat::pf24bit,
                                               BitmapObject::Fill::kNone);
  if (!PrepareRows(d)) d.Fail();
  const std::size_t channels = alpha ? 4 : 3;
  if (png_get_bit_depth(d.png, d.info) != 8 || png_get_channels(d.png, d.info) != channels ||
      png_get_rowbytes(d.png, d.info) != channels * static_cast<std::size_t>(width))
    throw EInvalidGraphic(msg::kPngInvalid);
  std::vector<std::uint8_t> bgra(alpha ? 4 * static_cast<std::size_t>(width) : 0);
  const bool interlaced = d.passes > 1;
  for (int pass = 0; pass < d.passes; ++pass) {
    for (std::int32_t y = 0; y < height; ++y) {
      std::uint8_t* row = object->Row(y);
      if (!ReadRow(d, alpha ? bgra.data() : row)) d.Fail();
      if (alpha && (!interlaced || PNG_ROW_IN_INTERLACE_PASS(y, pass)))
        LayOverWhite(bgra.data(), row, interlaced ? PNG_PASS_START_COL(pass) : 0,
                     interlaced ? 1 << PNG_PASS_COL_SHIFT(pass) : 1, width);
      if (pass == d.passes - 1)
        std::fill(row + 3 * static_cast<std::size_t>(width), row + object->Stride(), 0);
    }
  }
  if (!ReadEnd(d)) d.Fail();
  return HBITMAP(std::move(object));
}

HBITMAP DecodePng(std::span<const std::uint8_t> file) {
  MemorySource source(file);
  return DecodePng(source);
}
