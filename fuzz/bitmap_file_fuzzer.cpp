// The bitmap file reader: every input decodes, or fails with one of the reader's own errors.
// Anything else (a crash, a sanitizer report, another exception) is a finding.
#include <cstddef>
#include <cstdint>

#include "platform/bmp.h"
#include "platform/errors.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    TBitmap picture;
    picture.AdoptHandle(DecodeBitmapFile({data, size}));
    // What every effect does first; reads every pixel through the colour table or masks.
    picture.ConvertTo24Bit();
  } catch (const EReadError&) {
  } catch (const EInvalidGraphic&) {
  } catch (const EOutOfResources&) {
  }
  return 0;
}
