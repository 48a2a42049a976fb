// What every effect shares: the working-bitmap helpers, the effect skeleton and the hand-over
// of the picture between its owner and an effect.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/bitmap.h"
#include "platform/errors.h"

// An effect takes the picture's handle with its ownership and returns the handle of its result.
using EffectFunction = std::function<HBITMAP(HBITMAP)>;

// Both bitmaps at 24 bits per pixel and of the source's size; a destination that came in empty
// is white. Failures propagate.
void PrepareBitmaps(TBitmap& source, TBitmap& destination);

// 255 for v >= 255, v for 0 < v < 255, otherwise 0.
constexpr std::uint8_t ClampByte(std::int32_t v) {
  if (v >= 255) return 255;
  if (v > 0) return static_cast<std::uint8_t>(v);
  return 0;
}

// An effect that failed before its pixel work. It carries the picture it was given, so that the
// picture's owner can take it back before the failure is reported.
class EEffectAborted : public Exception {
 public:
  EEffectAborted(const std::string& message, HBITMAP picture)
      : Exception(message), picture_(std::make_shared<HBITMAP>(std::move(picture))) {}
  HBITMAP TakePicture() const { return std::move(*picture_); }

 private:
  std::shared_ptr<HBITMAP> picture_;  // exceptions must be copyable
};

// Creates the source and destination, prepares them and hands them to pass (the protected
// region), then returns the destination's handle. When pass fails, the failure is swallowed and
// the source's handle comes back instead: the picture converted to 24 bits, otherwise unchanged.
// When preparing fails, EEffectAborted carries the picture back.
template <class PixelPass>
HBITMAP RunEffect(HBITMAP h, PixelPass&& pass);

// The hand-over: the picture gives up its handle, the effect runs, the picture adopts the
// result. An effect that aborted gives the picture back before its failure propagates.
void ApplyEffect(TBitmap& picture, const EffectFunction& effect);

namespace effect_detail {
void PrepareOrAbort(TBitmap& source, TBitmap& destination);
}

template <class PixelPass>
HBITMAP RunEffect(HBITMAP h, PixelPass&& pass) {
  TBitmap source;
  TBitmap destination;
  source.AdoptHandle(std::move(h));
  effect_detail::PrepareOrAbort(source, destination);
  try {
    pass(static_cast<const TBitmap&>(source), destination);
    return destination.DetachHandle();
  } catch (...) {
    return source.DetachHandle();
  }
}
