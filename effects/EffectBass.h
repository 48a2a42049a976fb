// What every effect shares: the working-bitmap helpers, the effect skeleton and the hand-over
// of the picture between its owner and an effect.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/bitmap.h"
#include "platform/errors.h"

// An effect takes the picture's handle with its ownership and returns the handle of its result.
using EffectFunction = std::function<HBITMAP(HBITMAP)>;

// Both bitmaps at 24 bits per pixel and of the source's size; a destination that came in empty
// is white. Failures propagate.
void PrepareBitmaps(TBitmap& source, TBitmap& destination);

// What a fresh destination holds before the pixel pass. kWhite is what PrepareBitmaps gives.
// kUnfilled is for passes that write every pixel of every row: the pixels are left for the pass
// (no white fill to pay for) and only the fill bytes behind each row are set, to zero. Either
// way the pass writes bytes 0 to 3 x width - 1 of a row and never the fill bytes.
enum class DestinationFill { kWhite, kUnfilled };
void PrepareBitmaps(TBitmap& source, TBitmap& destination, DestinationFill fill);

// The addresses of a bitmap's rows, top first. Allocated before the protected region, filled
// within it.
using RowTable = std::vector<const std::uint8_t*>;

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
HBITMAP RunEffect(HBITMAP h, PixelPass&& pass, DestinationFill fill = DestinationFill::kWhite);

// RunEffect with a table of the source's rows: allocated after preparing (a failure there aborts
// the effect like a failed preparation) and filled at the start of the protected region, before
// pass(source, destination, rows) runs.
template <class PixelPass>
HBITMAP RunEffectWithSourceRows(HBITMAP h, PixelPass&& pass,
                                DestinationFill fill = DestinationFill::kWhite);

// The hand-over: the picture gives up its handle, the effect runs, the picture adopts the
// result. An effect that aborted gives the picture back before its failure propagates.
void ApplyEffect(TBitmap& picture, const EffectFunction& effect);

namespace effect_detail {
void PrepareOrAbort(TBitmap& source, TBitmap& destination, DestinationFill fill);
// A table of height entries; a failure to allocate it gives the source back in EEffectAborted.
RowTable AllocateRowTableOrAbort(TBitmap& source);
void FillRowTable(const TBitmap& bitmap, RowTable& rows);
}  // namespace effect_detail

template <class PixelPass>
HBITMAP RunEffect(HBITMAP h, PixelPass&& pass, DestinationFill fill) {
  TBitmap source;
  TBitmap destination;
  source.AdoptHandle(std::move(h));
  effect_detail::PrepareOrAbort(source, destination, fill);
  try {
    pass(static_cast<const TBitmap&>(source), destination);
    return destination.DetachHandle();
  } catch (...) {
    return source.DetachHandle();
  }
}

template <class PixelPass>
HBITMAP RunEffectWithSourceRows(HBITMAP h, PixelPass&& pass, DestinationFill fill) {
  TBitmap source;
  TBitmap destination;
  source.AdoptHandle(std::move(h));
  effect_detail::PrepareOrAbort(source, destination, fill);
  RowTable rows = effect_detail::AllocateRowTableOrAbort(source);
  try {
    effect_detail::FillRowTable(source, rows);
    pass(static_cast<const TBitmap&>(source), destination, static_cast<const RowTable&>(rows));
    RowTable().swap(rows);  // released before the destination is handed out
    return destination.DetachHandle();
  } catch (...) {
    RowTable().swap(rows);
    return source.DetachHandle();
  }
}
