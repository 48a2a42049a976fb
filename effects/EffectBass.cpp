#include "EffectBass.h"

#include <cstring>

void PrepareBitmaps(TBitmap& source, TBitmap& destination) {
  source.ConvertTo24Bit();
  destination.ConvertTo24Bit();
  const std::int32_t width = source.Width();
  const std::int32_t height = source.Height();
  if (width <= 0 || height <= 0) return;  // an empty picture: the destination stays empty
  auto object = std::make_unique<BitmapObject>(width, height, PixelFormat::pf24bit,
                                               BitmapObject::Fill::kNone);
  const std::size_t used = 3 * static_cast<std::size_t>(width);
  const std::size_t padding = object->Stride() - used;
  if (padding != 0)
    for (std::int32_t y = 0; y < height; ++y) std::memset(object->Row(y) + used, 0, padding);
  destination.AdoptHandle(HBITMAP(std::move(object)));
}

namespace effect_detail {

void FillRowTable(const TBitmap& bitmap, RowTable& rows) {
  for (std::int32_t y = 0; y < bitmap.Height(); ++y)
    rows[static_cast<std::size_t>(y)] = bitmap.RowAt(y);
}

}  // namespace effect_detail

void ApplyEffect(TBitmap& picture, const EffectFunction& effect) {
  HBITMAP result;
  try {
    result = effect(picture.DetachHandle());
  } catch (EEffectAborted& aborted) {
    picture.AdoptHandle(aborted.TakePicture());
    throw;
  }
  picture.AdoptHandle(std::move(result));
}
