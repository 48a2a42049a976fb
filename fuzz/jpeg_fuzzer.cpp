// The JPEG loader: every input decodes, or fails with libjpeg's error, the scan limit or the size
// limit. Beside it, libjpeg decodes the input on its own with the same settings and no memory
// limit: the loader must not refuse what the library decodes in full, and must give its pixels,
// each where the file's EXIF orientation puts it.
#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>  // jpeglib.h needs FILE
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include <jpeglib.h>

#include "platform/bitmap.h"
#include "platform/errors.h"
#include "platform/jpeg.h"

namespace {

struct Reference {
  jpeg_error_mgr base;
  std::jmp_buf resume;
};

extern "C" void ReferenceJump(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<Reference*>(cinfo->err)->resume, 1);
}
extern "C" void ReferenceQuiet(j_common_ptr, int) {}
extern "C" void ReferenceScanLimit(j_common_ptr cinfo) {
  if (reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number > kMaxJpegScans)
    (*cinfo->err->error_exit)(cinfo);
}

struct ReferenceDecoder {
  ReferenceDecoder() {
    cinfo.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = ReferenceJump;
    errors.base.emit_message = ReferenceQuiet;
    progress.progress_monitor = ReferenceScanLimit;
    jpeg_create_decompress(&cinfo);
    cinfo.progress = &progress;
  }
  ~ReferenceDecoder() { jpeg_destroy_decompress(&cinfo); }
  ReferenceDecoder(const ReferenceDecoder&) = delete;
  ReferenceDecoder& operator=(const ReferenceDecoder&) = delete;

  jpeg_decompress_struct cinfo{};
  Reference errors{};
  jpeg_progress_mgr progress{};
};

// Each step returns false after an error; they hold no object with a destructor, so the jump
// skips none.
bool ReadHeader(ReferenceDecoder& d, const std::uint8_t* data, std::size_t size) {
  if (setjmp(d.errors.resume)) return false;
  jpeg_mem_src(&d.cinfo, data, static_cast<unsigned long>(size));
  jpeg_read_header(&d.cinfo, TRUE);
  const bool cmyk = d.cinfo.jpeg_color_space == JCS_CMYK || d.cinfo.jpeg_color_space == JCS_YCCK;
  d.cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGR;
  d.cinfo.dct_method = JDCT_ISLOW;
  d.cinfo.do_fancy_upsampling = TRUE;
  jpeg_calc_output_dimensions(&d.cinfo);
  return true;
}

// Decodes into rows of rowBytes each; rows == nullptr decodes into one scratch row.
bool Decode(ReferenceDecoder& d, std::uint8_t* rows, std::size_t rowBytes, std::uint8_t* scratch) {
  if (setjmp(d.errors.resume)) return false;
  jpeg_start_decompress(&d.cinfo);
  while (d.cinfo.output_scanline < d.cinfo.output_height) {
    JSAMPROW row[1] = {rows ? rows + d.cinfo.output_scanline * rowBytes : scratch};
    jpeg_read_scanlines(&d.cinfo, row, 1);
  }
  jpeg_finish_decompress(&d.cinfo);
  return true;
}

// The rows of blue, green, red that libjpeg gives, or false when it stops with an error. A
// picture beyond the fuzzing build's size limit for the loader's 24-bit picture is not decoded
// (false as well); CMYK files, which the loader converts itself, give no rows.
bool DecodeWithLibjpeg(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& bgr) {
  ReferenceDecoder d;
  if (!ReadHeader(d, data, size)) return false;
  const std::int64_t stride = (std::int64_t{d.cinfo.output_width} * 3 + 3) / 4 * 4;
  if (stride * d.cinfo.output_height > kMaxBitmapBytes) return false;
  const bool cmyk = d.cinfo.out_color_space == JCS_CMYK;
  const std::size_t rowBytes = std::size_t{d.cinfo.output_width} * d.cinfo.output_components;
  std::vector<std::uint8_t> scratch(rowBytes);
  bgr.assign(cmyk ? 0 : rowBytes * d.cinfo.output_height, 0);
  return Decode(d, cmyk ? nullptr : bgr.data(), rowBytes, scratch.data());
}

// Where pixel (x, y) of a stored picture of width w and height h stands in the upright one.
std::pair<std::size_t, std::size_t> Upright(int orientation, std::size_t x, std::size_t y,
                                            std::size_t w, std::size_t h) {
  switch (orientation) {
    case 2:
      return {w - 1 - x, y};
    case 3:
      return {w - 1 - x, h - 1 - y};
    case 4:
      return {x, h - 1 - y};
    case 5:
      return {y, x};
    case 6:
      return {h - 1 - y, x};
    case 7:
      return {h - 1 - y, w - 1 - x};
    case 8:
      return {y, w - 1 - x};
    default:
      return {x, y};
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  HBITMAP picture;
  try {
    picture = DecodeJpeg({data, size});
  } catch (const EJPEG&) {
  } catch (const EOutOfResources&) {
    return 0;  // beyond the size limit
  }
  std::vector<std::uint8_t> bgr;
  if (!DecodeWithLibjpeg(data, size, bgr)) return 0;
  if (!picture) std::abort();  // refused, though libjpeg decodes it
  if (bgr.empty()) return 0;
  const BitmapObject& object = *picture.get();
  const int orientation = JpegOrientation({data, size});
  const bool across = orientation >= 5;
  const auto w = static_cast<std::size_t>(across ? object.Height() : object.Width());
  const std::size_t h = bgr.size() / 3 / w;
  for (std::size_t y = 0; y < h; ++y) {
    for (std::size_t x = 0; x < w; ++x) {
      const auto [ux, uy] = Upright(orientation, x, y, w, h);
      if (std::memcmp(object.Row(static_cast<std::int32_t>(uy)) + 3 * ux, &bgr[3 * (y * w + x)], 3))
        std::abort();
    }
  }
  return 0;
}
