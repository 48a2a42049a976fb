// The JPEG loader: every input decodes, or fails with libjpeg's error or the size limit.
#include <cstddef>
#include <cstdint>

#include "platform/errors.h"
#include "platform/jpeg.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    HBITMAP picture = DecodeJpeg({data, size});
  } catch (const EJPEG&) {
  } catch (const EOutOfResources&) {
  }
  return 0;
}
