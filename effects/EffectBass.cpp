#include "EffectBass.h"

#include <cstring>

void PrepareBitmaps(TBitmap& source, TBitmap& destination) {
  source.ConvertTo24Bit();
  destination.ConvertTo24Bit();
  destination.SetWidth(source.Width());
  destination.SetHeight(source.Height());
}

void PrepareBitmaps(TBitmap& source, TBitmap& destination, DestinationFill fill) {
  if (fill == DestinationFill::kWhite || !destination.Empty() || destination.Width() != 0 ||
      destination.Height() != 0) {
    PrepareBitmaps(source, destination);
    return;
  }
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

void PrepareOrAbort(TBitmap& source, TBitmap& destination, DestinationFill fill) {
  try {
    PrepareBitmaps(source, destination, fill);
  } catch (const std::exception& error) {
    throw EEffectAborted(ExceptionMessage(error), source.DetachHandle());
  }
}

RowTable AllocateRowTableOrAbort(TBitmap& source) {
  try {
    return RowTable(static_cast<std::size_t>(source.Height()));
  } catch (const std::exception& error) {
    throw EEffectAborted(ExceptionMessage(error), source.DetachHandle());
  }
}

void FillRowTable(const TBitmap& bitmap, RowTable& rows) {
  for (std::int32_t y = 0; y < bitmap.Height(); ++y)
    rows[static_cast<std::size_t>(y)] = bitmap.RowAt(y);
}

}  // namespace effect_detail

void ApplyEffect(TBitmap& picture, const EffectFunction& effect) {
  HBITMAP result;
  try {
    result = effect(picture.DetachHandle());
  } catch (const EEffectAborted& aborted) {
    picture.AdoptHandle(aborted.TakePicture());
    throw;
  }
  picture.AdoptHandle(std::move(result));
}
