#include "jpeg.h"

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include <jpeglib.h>
#include <libexif/exif-data.h>

#include "errors.h"
#include "messages.h"
#include "narrow.h"

namespace {

// libjpeg reports a fatal error by calling error_exit, which must not return. Ours jumps back
// into the one small function that is running a decoder step; those functions hold no object
// with a destructor, so the jump skips none.
struct ErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf resume;
  bool tooManyScans = false;  // the jump came from the scan limit, not from libjpeg
};

extern "C" void JumpOnError(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<ErrorManager*>(cinfo->err)->resume, 1);
}

// Warnings (a premature end of data, say) are not errors: the decoder goes on as it would for
// any other client. Nothing is printed.
extern "C" void IgnoreMessage(j_common_ptr, int) {}

// libjpeg calls the progress monitor while it reads the data, at least once per row of blocks
// of each scan; its input_scan_number counts the scans it has begun. Beyond the limit the
// decoder is stopped as on a fatal error.
extern "C" void LimitScans(j_common_ptr cinfo) {
  if (reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number <= kMaxJpegScans) return;
  reinterpret_cast<ErrorManager*>(cinfo->err)->tooManyScans = true;
  (*cinfo->err->error_exit)(cinfo);
}

constexpr int kTooManyScans = -1;  // a step's result for the scan limit

class Decoder {
 public:
  Decoder() {
    cinfo_.err = jpeg_std_error(&errors_.base);
    errors_.base.error_exit = JumpOnError;
    errors_.base.emit_message = IgnoreMessage;
    jpeg_create_decompress(&cinfo_);
    progress_.progress_monitor = LimitScans;
    cinfo_.progress = &progress_;
  }
  ~Decoder() { jpeg_destroy_decompress(&cinfo_); }
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  jpeg_decompress_struct cinfo_{};
  ErrorManager errors_{};
  jpeg_progress_mgr progress_{};

  // What a step returns after a jump.
  int Failure() const { return errors_.tooManyScans ? kTooManyScans : errors_.base.msg_code; }
};

// Each step returns 0, libjpeg's message number after a fatal error, or kTooManyScans.
int ReadHeader(Decoder& d, const std::uint8_t* data, std::size_t size) {
  if (setjmp(d.errors_.resume)) return d.Failure();
  jpeg_mem_src(&d.cinfo_, data, static_cast<unsigned long>(size));
  jpeg_read_header(&d.cinfo_, TRUE);
  const bool cmyk = d.cinfo_.jpeg_color_space == JCS_CMYK || d.cinfo_.jpeg_color_space == JCS_YCCK;
  d.cinfo_.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGR;
  d.cinfo_.scale_num = 1;
  d.cinfo_.scale_denom = 1;
  d.cinfo_.dct_method = JDCT_ISLOW;
  d.cinfo_.do_fancy_upsampling = TRUE;
  d.cinfo_.quantize_colors = FALSE;
  jpeg_calc_output_dimensions(&d.cinfo_);
  return 0;
}

int StartDecoding(Decoder& d) {
  if (setjmp(d.errors_.resume)) return d.Failure();
  jpeg_start_decompress(&d.cinfo_);
  return 0;
}

// Bytes of the coefficient buffers that libjpeg keeps for a whole image when the file has more
// than one scan (progressive files above all): one 128-byte block per 8 x 8 samples of each
// component, rounded up to whole sampling units. The header is read, so the component sizes
// are known.
std::uint64_t CoefficientBytes(const jpeg_decompress_struct& cinfo) {
  constexpr std::uint64_t kBlockBytes = DCTSIZE2 * sizeof(JCOEF);
  std::uint64_t total = 0;
  for (int c = 0; c < cinfo.num_components; ++c) {
    const jpeg_component_info& comp = cinfo.comp_info[c];
    const auto roundUp = [](std::uint64_t v, std::uint64_t unit) {
      return unit ? (v + unit - 1) / unit * unit : v;
    };
    total += roundUp(comp.width_in_blocks, static_cast<std::uint64_t>(comp.h_samp_factor)) *
             roundUp(comp.height_in_blocks, static_cast<std::uint64_t>(comp.v_samp_factor)) *
             kBlockBytes;
  }
  return total;
}

// An allowance for the working memory that libjpeg takes before it sizes the coefficient
// buffers: the Huffman, quantisation, range-limit and colour tables, and the row buffers of its
// stages (the main, upsampling and colour-conversion buffers). The library gives the
// coefficient buffers only what is left of max_memory_to_use after that memory, and anything
// that does not fit would have to go to a backing store, which this build of it does not have
// ("backing store not supported"): without the allowance, a small picture, whose own size is
// less than the tables, was refused though valid. Measured with libjpeg-turbo 2.1: about 20 KB
// of tables, and 8 to 35 bytes per column for the row buffers (the most with 2 x 2 sampling);
// given here with a wide margin, so that another version of the library fits as well. It grows
// only with the width, so a header that claims a huge picture gains little from it.
std::uint64_t WorkingMemoryAllowance(const jpeg_decompress_struct& cinfo) {
  constexpr std::uint64_t kTables = 256 << 10;
  constexpr std::uint64_t kRowGroupMargin = 4;
  // One row of sample blocks of every component (an iMCU row), and one output row.
  std::uint64_t rowBytes = static_cast<std::uint64_t>(cinfo.output_width) *
                           static_cast<std::uint64_t>(cinfo.out_color_components);
  for (int c = 0; c < cinfo.num_components; ++c) {
    const jpeg_component_info& comp = cinfo.comp_info[c];
    rowBytes += static_cast<std::uint64_t>(comp.width_in_blocks) * DCTSIZE2 *
                static_cast<std::uint64_t>(comp.v_samp_factor);
  }
  return kTables + kRowGroupMargin * rowBytes;
}

int ReadRow(Decoder& d, std::uint8_t* row) {
  if (setjmp(d.errors_.resume)) return d.Failure();
  JSAMPROW rows[1] = {row};
  // The memory source never suspends, so one call yields one row.
  jpeg_read_scanlines(&d.cinfo_, rows, 1);
  return 0;
}

int FinishDecoding(Decoder& d) {
  if (setjmp(d.errors_.resume)) return d.Failure();
  jpeg_finish_decompress(&d.cinfo_);
  return 0;
}

void Check(int code) {
  if (code == kTooManyScans) throw EJPEG(FormatMessage(msg::kJpegTooManyScans, kMaxJpegScans));
  if (code != 0) throw EJPEG(FormatMessage(msg::kJpegError, code));
}

// CMYK samples as Adobe applications store them are inverted (255 means no ink).
void CmykToBgr(const std::uint8_t* cmyk, std::uint8_t* bgr, std::int32_t width, bool inverted) {
  for (std::int32_t x = 0; x < width; ++x) {
    unsigned c = cmyk[4 * x], m = cmyk[4 * x + 1], y = cmyk[4 * x + 2], k = cmyk[4 * x + 3];
    if (!inverted) c = 255 - c, m = 255 - m, y = 255 - y, k = 255 - k;
    bgr[3 * x] = static_cast<std::uint8_t>((y * k + 127) / 255);
    bgr[3 * x + 1] = static_cast<std::uint8_t>((m * k + 127) / 255);
    bgr[3 * x + 2] = static_cast<std::uint8_t>((c * k + 127) / 255);
  }
}

// A picture that is turned is decoded this many rows at a time, each band then put in place.
constexpr std::int32_t kBandRows = 16;

// Puts rows [first, last) of a stored picture of the given width, held one after another at 3
// bytes a pixel, where orientation (2 to 8) says they stand in the upright picture.
void TurnBand(const std::uint8_t* rows, std::int32_t first, std::int32_t last, std::int32_t width,
              int orientation, BitmapObject& upright) {
  // 5 to 8 make the stored rows the upright picture's columns. Then, in the upright picture's
  // terms, 2, 3, 6 and 7 run x backwards, and 3, 4, 7 and 8 run y backwards.
  const bool across = orientation >= 5;
  const int turn = (orientation - 1) % 4;
  const bool backX = turn == 1 || turn == 2, backY = turn >= 2;
  const std::int32_t lastX = upright.Width() - 1, lastY = upright.Height() - 1;
  const auto rowBytes = static_cast<std::size_t>(width) * 3;
  const auto pixel = [&](std::int32_t x, std::int32_t y) {
    return rows + static_cast<std::size_t>(y - first) * rowBytes + 3 * static_cast<std::size_t>(x);
  };
  if (!across) {
    for (std::int32_t y = first; y < last; ++y) {
      std::uint8_t* out = upright.Row(backY ? lastY - y : y);
      for (std::int32_t x = 0; x < width; ++x)
        std::memcpy(out + 3 * static_cast<std::size_t>(backX ? lastX - x : x), pixel(x, y), 3);
    }
    return;
  }
  // A stored column of the band is a run of pixels in one upright row.
  for (std::int32_t x = 0; x < width; ++x) {
    std::uint8_t* out = upright.Row(backY ? lastY - x : x);
    for (std::int32_t y = first; y < last; ++y)
      std::memcpy(out + 3 * static_cast<std::size_t>(backX ? lastX - y : y), pixel(x, y), 3);
  }
}

}  // namespace

int JpegOrientation(std::span<const std::uint8_t> data) {
  const std::unique_ptr<ExifData, decltype(&exif_data_unref)> exif(exif_data_new(),
                                                                   exif_data_unref);
  if (!exif) return 1;
  // Read as it stands: libexif adds no entry that the file lacks.
  exif_data_unset_option(exif.get(), EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
  // libexif finds the EXIF block among the application segments after the start of the image.
  exif_data_load_data(exif.get(), data.data(),
                      static_cast<unsigned>(std::min<std::size_t>(
                          data.size(), std::numeric_limits<unsigned>::max())));
  const ExifEntry* tag = exif_content_get_entry(exif->ifd[EXIF_IFD_0], EXIF_TAG_ORIENTATION);
  if (!tag || tag->format != EXIF_FORMAT_SHORT || tag->components != 1 || tag->size < 2) return 1;
  const int orientation = exif_get_short(tag->data, exif_data_get_byte_order(exif.get()));
  return orientation >= 1 && orientation <= 8 ? orientation : 1;
}

int CountJpegScans(std::span<const std::uint8_t> data, int stopAfter) {
  const std::size_t size = data.size();
  if (size < 2 || data[0] != 0xFF || data[1] != 0xD8) return 0;
  int scans = 0;
  for (std::size_t i = 2; i < size;) {
    // The next marker: an 0xFF that is neither fill before a marker nor followed by 0 (a
    // stuffed byte of entropy-coded data) or a restart marker, which have no length either.
    const auto* ff = static_cast<const std::uint8_t*>(std::memchr(&data[i], 0xFF, size - i));
    if (!ff) break;
    i = static_cast<std::size_t>(ff - data.data());
    while (i < size && data[i] == 0xFF) ++i;
    if (i == size) break;
    const std::uint8_t marker = data[i++];
    if (marker == 0x00 || marker == 0x01 || marker == 0xD8 || (marker >= 0xD0 && marker <= 0xD7))
      continue;
    if (marker == 0xD9) break;  // the end of the image
    if (marker == 0xDA && ++scans > stopAfter) break;
    // A segment with its length, the length's two bytes included; after a scan's header come
    // its entropy-coded data, up to the next marker.
    if (size - i < 2) break;
    const std::size_t length = std::size_t{data[i]} << 8 | data[i + 1];
    if (length < 2) break;  // libjpeg refuses the file
    i += length;
  }
  return scans;
}

HBITMAP DecodeJpeg(std::span<const std::uint8_t> data) {
  // The progress monitor stops the decoder at the first scan beyond the limit, but only after
  // it has decoded all those before: for a large picture with many scans that alone takes
  // seconds. Counting the scans' markers first costs a pass over the bytes and refuses such a
  // file at once; the monitor still holds where the count and libjpeg would differ.
  if (CountJpegScans(data, kMaxJpegScans) > kMaxJpegScans) Check(kTooManyScans);
  Decoder d;
  Check(ReadHeader(d, data.data(), data.size()));
  const auto width = CheckedCast<std::int32_t>(d.cinfo_.output_width);
  const auto height = CheckedCast<std::int32_t>(d.cinfo_.output_height);
  const int orientation = JpegOrientation(data);
  const bool across = orientation >= 5;  // the stored rows become columns
  // The picture is taken before libjpeg allocates anything of the image's size, so a header
  // that claims more than a bitmap object may hold is refused while nothing is spent on it.
  auto object = std::make_unique<BitmapObject>(across ? height : width, across ? width : height,
                                               PixelFormat::pf24bit, BitmapObject::Fill::kNone);
  // libjpeg's own whole-image memory is its coefficient buffers; allowing them, the size of the
  // picture and its working memory refuses anything beyond.
  const std::uint64_t budget =
      CoefficientBytes(d.cinfo_) + object->SizeBytes() + WorkingMemoryAllowance(d.cinfo_);
  d.cinfo_.mem->max_memory_to_use =
      static_cast<long>(std::min<std::uint64_t>(budget, std::numeric_limits<long>::max()));
  Check(StartDecoding(d));
  const bool cmyk = d.cinfo_.out_color_space == JCS_CMYK;
  std::vector<std::uint8_t> cmykRow(cmyk ? static_cast<std::size_t>(width) * 4 : 0);
  // Upright rows go straight into the picture; others into a band that is turned into place
  // when full.
  const std::int32_t band = orientation == 1 ? 0 : std::min(kBandRows, height);
  const std::size_t rowBytes = static_cast<std::size_t>(width) * 3;
  std::vector<std::uint8_t> bandRows(static_cast<std::size_t>(band) * rowBytes);
  for (std::int32_t y = 0; y < height; ++y) {
    std::uint8_t* row =
        band ? &bandRows[static_cast<std::size_t>(y % band) * rowBytes] : object->Row(y);
    Check(ReadRow(d, cmyk ? cmykRow.data() : row));
    if (cmyk) CmykToBgr(cmykRow.data(), row, width, d.cinfo_.saw_Adobe_marker);
    if (band && (y % band == band - 1 || y == height - 1))
      TurnBand(bandRows.data(), y - y % band, y + 1, width, orientation, *object);
  }
  const std::size_t used = static_cast<std::size_t>(object->Width()) * 3;
  for (std::int32_t y = 0; y < object->Height(); ++y)
    std::fill(object->Row(y) + used, object->Row(y) + object->Stride(), std::uint8_t{0});
  Check(FinishDecoding(d));
  return HBITMAP(std::move(object));
}
