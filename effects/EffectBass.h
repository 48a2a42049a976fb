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

// The source converted to 24 bits per pixel, and the destination, which comes in empty, made a
// 24-bit bitmap of the source's size whose pixels are left for the pixel pass: only the fill
// bytes behind each row are set, to zero. Every pass writes bytes 0 to 3 x width - 1 of every
// row and never the fill bytes. For an empty source the destination stays empty. Failures
// propagate.
void PrepareBitmaps(TBitmap& source, TBitmap& destination);

// The addresses of a bitmap's rows, top first. Allocated before the protected region, filled
// within it.
using RowTable = std::vector<const std::uint8_t*>;

// 255 for v >= 255, v for 0 < v < 255, otherwise 0: the one clamp of every effect, for the
// integer and the floating-point sums (a fraction is cut off). Written as one expression of
// selects, which the compilers turn into min/max instructions inside vectorised loops.
template <class Value>
constexpr std::uint8_t ClampByte(Value v) {
  return static_cast<std::uint8_t>(v >= Value(255) ? Value(255) : (v > Value(0) ? v : Value(0)));
}

// An effect that failed before its pixel work. It carries the picture it was given, so that the
// picture's owner can take it back before the failure is reported.
class EEffectAborted : public Exception {
 public:
  EEffectAborted(const std::string& message, HBITMAP picture)
      : Exception(message), picture_(std::make_shared<HBITMAP>(std::move(picture))) {}
  // Moves the picture out: a second call gives an empty handle.
  HBITMAP TakePicture() { return std::move(*picture_); }

 private:
  std::shared_ptr<HBITMAP> picture_;  // exceptions must be copyable
};

// The frame every effect runs in. Adopts h as the source; prepare(source, destination) makes
// both ready and returns what the pass needs besides (a row table, say). A failure there aborts
// the effect: EEffectAborted carries the picture back. pass(source, destination, extra) then
// runs in the protected region and the destination's handle comes back; when pass fails, the
// failure is swallowed and the prepared source's handle comes back instead (the picture
// converted to 24 bits, otherwise unchanged).
template <class Prepare, class PixelPass>
HBITMAP RunEffectFrame(HBITMAP h, Prepare&& prepare, PixelPass&& pass);

// The frame with PrepareBitmaps; pass(source, destination).
template <class PixelPass>
HBITMAP RunEffect(HBITMAP h, PixelPass&& pass);

// The frame with PrepareBitmaps and a table of the source's rows, allocated while preparing and
// filled at the start of the protected region; pass(source, destination, rows).
template <class PixelPass>
HBITMAP RunEffectWithSourceRows(HBITMAP h, PixelPass&& pass);

// The hand-over: the picture gives up its handle, the effect runs, the picture adopts the
// result. An effect that aborted gives the picture back before its failure propagates.
void ApplyEffect(TBitmap& picture, const EffectFunction& effect);

namespace effect_detail {
struct NoExtra {};  // what RunEffect's pass needs besides
void FillRowTable(const TBitmap& bitmap, RowTable& rows);
}  // namespace effect_detail

template <class Prepare, class PixelPass>
HBITMAP RunEffectFrame(HBITMAP h, Prepare&& prepare, PixelPass&& pass) {
  TBitmap source;
  TBitmap destination;
  source.AdoptHandle(std::move(h));
  using Extra = decltype(prepare(source, destination));
  Extra extra = [&]() -> Extra {
    try {
      return prepare(source, destination);
    } catch (const std::exception& error) {
      throw EEffectAborted(ExceptionMessage(error), source.DetachHandle());
    }
  }();
  try {
    pass(static_cast<const TBitmap&>(source), destination, extra);
    extra = Extra();  // released before the destination is handed out
    return destination.DetachHandle();
  } catch (...) {
    extra = Extra();
    return source.DetachHandle();
  }
}

template <class PixelPass>
HBITMAP RunEffect(HBITMAP h, PixelPass&& pass) {
  return RunEffectFrame(
      std::move(h),
      [](TBitmap& source, TBitmap& destination) {
        PrepareBitmaps(source, destination);
        return effect_detail::NoExtra();
      },
      [&pass](const TBitmap& source, TBitmap& destination, effect_detail::NoExtra&) {
        pass(source, destination);
      });
}

template <class PixelPass>
HBITMAP RunEffectWithSourceRows(HBITMAP h, PixelPass&& pass) {
  return RunEffectFrame(
      std::move(h),
      [](TBitmap& source, TBitmap& destination) {
        PrepareBitmaps(source, destination);
        return RowTable(static_cast<std::size_t>(source.Height()));
      },
      [&pass](const TBitmap& source, TBitmap& destination, RowTable& rows) {
        effect_detail::FillRowTable(source, rows);
        pass(source, destination, static_cast<const RowTable&>(rows));
      });
}
