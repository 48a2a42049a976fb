#include "document_area.h"

#include <algorithm>

#include "scanner/documents/documents.h"

namespace scanner {

DocumentArea FindDocumentArea(const PreviewBytes& image) {
  DocumentArea result;
  result.rect = {0, 0, std::max(image.width, 0), std::max(image.height, 0)};
  const std::vector<documents::RotatedRect> found = documents::FindDocuments(
      {image.width, image.height, image.bytesPerLine, image.channels, image.pixels});
  if (found.empty()) return result;

  const documents::Box box = documents::BoxAround(found.front(), image.width, image.height);
  result.found = true;
  result.rect = {box.left, box.top, box.right, box.bottom};
  return result;
}

}  // namespace scanner
