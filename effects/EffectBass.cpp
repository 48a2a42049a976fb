#include "EffectBass.h"

void PrepareBitmaps(TBitmap& source, TBitmap& destination) {
  source.ConvertTo24Bit();
  destination.ConvertTo24Bit();
  destination.SetWidth(source.Width());
  destination.SetHeight(source.Height());
}

namespace effect_detail {

void PrepareOrAbort(TBitmap& source, TBitmap& destination) {
  try {
    PrepareBitmaps(source, destination);
  } catch (const std::exception& error) {
    throw EEffectAborted(ExceptionMessage(error), source.DetachHandle());
  }
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
