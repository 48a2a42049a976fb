// Finding the document on a preview of the whole glass. A pure function over the image's bytes.
#pragma once

#include <cstdint>
#include <span>

namespace scanner {

// A preview image: 8-bit gray (1 channel) or 24-bit RGB (3 channels), top row first.
struct PreviewBytes {
  int width = 0;
  int height = 0;
  int bytesPerLine = 0;
  int channels = 1;
  std::span<const std::uint8_t> pixels;
};

// A rectangle in image pixels: left and top included, right and bottom excluded.
struct PixelRect {
  int left = 0, top = 0, right = 0, bottom = 0;
  friend bool operator==(const PixelRect&, const PixelRect&) = default;
};

struct DocumentArea {
  PixelRect rect;      // the whole image when nothing was found
  bool found = false;  // whether rect is a document rather than the whole image
};

// The upright bounding box of the largest document on the glass (documents::FindDocuments), with
// a small margin, inside the image. Isolated specks and noise are not a document. An image whose
// layout does not match its bytes finds nothing.
DocumentArea FindDocumentArea(const PreviewBytes& image);

}  // namespace scanner
