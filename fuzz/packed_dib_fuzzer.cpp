// The scanner's native image: a packed DIB in a block of exactly the input's size, drawn as an
// acquisition draws it. Nothing outside the block may be read.
#include <cstddef>
#include <cstdint>

#include "platform/errors.h"
#include "twain/TwainUtils.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    TBitmap bitmap;
    DrawPackedDib(bitmap, data, size);
  } catch (const EReadError&) {
  } catch (const EInvalidGraphic&) {
  } catch (const EOutOfResources&) {
  }
  return 0;
}
