// The PNG reader: every input decodes, or fails with one of the reader's own errors (damaged,
// cut, too large, out of memory). A decoded picture is a 24-bit picture of the header's size.
// Anything else (a crash, a sanitizer report, another exception) is a finding. The fuzzing build
// skips the checksums, so that changed bytes reach the decoder instead of a CRC mismatch.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "platform/errors.h"
#include "platform/png_reader.h"

namespace {

std::int64_t BigEndian32(const std::uint8_t* bytes) {
  return std::int64_t{bytes[0]} << 24 | bytes[1] << 16 | bytes[2] << 8 | bytes[3];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  HBITMAP picture;
  try {
    picture = DecodePng({data, size});
  } catch (const EReadError&) {
  } catch (const EInvalidGraphic&) {
  } catch (const EOutOfResources&) {
  } catch (const std::bad_alloc&) {
  }
  if (!picture) return 0;
  // A decoded file has its signature and its header at the start.
  if (size < 24 || !IsPngSignature({data, size}) || picture->Format() != PixelFormat::pf24bit ||
      picture->Width() != BigEndian32(data + 16) || picture->Height() != BigEndian32(data + 20))
    std::abort();
  return 0;
}
