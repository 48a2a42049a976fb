// The documents laid on a scanner's glass: finding each of them, with its angle, and turning
// one of them upright. Pure functions over a picture's bytes; no toolkit, no scanner.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <utility>
#include <vector>

namespace documents {

// A picture's bytes: 8-bit gray (1 channel) or 24-bit colour (3 channels, in either order),
// rows of bytesPerLine bytes, the top row first unless bottomUp (as in a bitmap file).
struct PictureView {
  int width = 0;
  int height = 0;
  int bytesPerLine = 0;
  int channels = 1;
  std::span<const std::uint8_t> pixels;
  bool bottomUp = false;
};

// A rectangle turned about its centre, in the pixels of the picture as it is seen: x to the
// right, y down, the picture's top left corner at (0, 0), so a pixel's centre is at +0.5. Its
// width runs along (cos degrees, sin degrees), its height across; degrees are in (-45, 45],
// positive clockwise as seen.
struct RotatedRect {
  double centerX = 0;
  double centerY = 0;
  double width = 0;
  double height = 0;
  double degrees = 0;
};

// Every document on the glass, largest first: photos and pages that stand out from the glass by
// their edges, and pages that do not, found by their print and turned by its lines. Specks,
// dust, noise and the glass's own border are not documents. Nothing for an empty glass or a
// picture whose layout does not match its bytes.
std::vector<RotatedRect> FindDocuments(const PictureView& picture);

// The upright box around a document with a margin of 1% of the picture's larger side (2 pixels
// at least), inside a picture of width x height: left and top included, right and bottom not.
struct Box {
  int left = 0, top = 0, right = 0, bottom = 0;
};
Box BoxAround(const RotatedRect& document, int width, int height);

// Beyond this angle a document is taken as upright (laid so on purpose, or not a page at all).
inline constexpr double kMaxStraightenDegrees = 20;

// How a result's rows are laid out: each padded to a multiple of rowAlignment bytes (4 for a
// bitmap file's rows), the bottom row first when bottomUp.
struct Layout {
  int rowAlignment = 1;
  bool bottomUp = false;
};

// Allocates as std::allocator does, but leaves the bytes of a vector that grows unwritten: a
// result's rows are written once, by the threads that compute them.
template <typename T>
struct UnclearedAllocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = UnclearedAllocator<U>;
  };
  UnclearedAllocator() = default;
  template <typename U>
  explicit UnclearedAllocator(const UnclearedAllocator<U>& /*other*/) noexcept {}
  template <typename U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};
using Bytes = std::vector<std::uint8_t, UnclearedAllocator<std::uint8_t>>;

struct Picture {
  int width = 0;
  int height = 0;
  int bytesPerLine = 0;
  int channels = 1;
  bool bottomUp = false;
  Bytes pixels;  // bytesPerLine * height, row padding cleared

  PictureView View() const { return {width, height, bytesPerLine, channels, pixels, bottomUp}; }
};

struct Straightened {
  // Empty when nothing of the rectangle lies on the picture, when the rectangle could not lie
  // on it whole (larger than the picture), or when the layout does not match the bytes.
  Picture picture;
  // The angle was beyond kMaxStraightenDegrees: the result is the rectangle's upright bounding
  // box, not turned. For the caller's trace; nothing to show the user.
  bool takenAsUpright = false;
};

// The part of the picture under the rectangle, turned upright (bilinear) and cropped to it, less
// a rim of kStraightenRim pixels along each side where the document's edge blends into the glass.
// An angle that moves no pixel by half a pixel gives a copy of the source's pixels. Runs on every
// core for a large picture.
inline constexpr double kStraightenRim = 1;
Straightened Straighten(const PictureView& picture, const RotatedRect& document,
                        Layout layout = {});

}  // namespace documents
