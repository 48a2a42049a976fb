#include "document_area.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "scanner/documents/documents.h"

namespace scanner {

DocumentArea FindDocumentArea(const PreviewBytes& image) {
  DocumentArea result;
  result.rect = {0, 0, std::max(image.width, 0), std::max(image.height, 0)};
  const std::vector<documents::RotatedRect> found = documents::FindDocuments(
      {image.width, image.height, image.bytesPerLine, image.channels, image.pixels});
  if (found.empty()) return result;

  // The upright box around the largest document's corners, with a small margin.
  const documents::RotatedRect& d = found.front();
  const double angle = d.degrees * std::numbers::pi / 180;
  const double halfW =
      (std::abs(std::cos(angle)) * d.width + std::abs(std::sin(angle)) * d.height) / 2;
  const double halfH =
      (std::abs(std::sin(angle)) * d.width + std::abs(std::cos(angle)) * d.height) / 2;
  const int margin =
      std::max(2, static_cast<int>(std::lround(std::max(image.width, image.height) / 100.0)));
  result.found = true;
  result.rect = {std::max(static_cast<int>(std::floor(d.centerX - halfW)) - margin, 0),
                 std::max(static_cast<int>(std::floor(d.centerY - halfH)) - margin, 0),
                 std::min(static_cast<int>(std::ceil(d.centerX + halfW)) + margin, image.width),
                 std::min(static_cast<int>(std::ceil(d.centerY + halfH)) + margin, image.height)};
  return result;
}

}  // namespace scanner
