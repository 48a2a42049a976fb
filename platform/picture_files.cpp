#include "picture_files.h"

#include <vector>

#include "bmp.h"
#include "files.h"
#include "jpeg.h"
#include "messages.h"

namespace {

struct PictureFormat {
  const char* extension;
  const char* description;
};

// In registration order: the graphics support's four, then the JPEG support's two.
constexpr PictureFormat kRegisteredFormats[] = {
    {"wmf", msg::kMetafileFormat}, {"emf", msg::kEnhancedMetafileFormat},
    {"ico", msg::kIconFormat},     {"bmp", msg::kBitmapFormat},
    {"jpeg", msg::kJpegFormat},    {"jpg", msg::kJpegFormat},
};

}  // namespace

std::string ExtractFileExt(std::string_view name) {
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos) return {};
  const auto slash = name.rfind('/');
  if (slash != std::string_view::npos && slash > dot) return {};
  return std::string(name.substr(dot));
}

bool IsJpegName(std::string_view name) {
  return ExtractFileExt(name) == ".jpg";
}

void LoadPictureFile(TBitmap& picture, const std::string& path) {
  HBITMAP decoded;
  if (IsJpegName(path))
    decoded = DecodeJpeg(ReadWholeFile(path));
  else
    decoded = DecodeBitmapFile(*OpenByteSource(path));
  picture.AdoptHandle(std::move(decoded));
}

void SaveBitmapFile(const TBitmap& picture, const std::string& path) {
  const BitmapObject* object = picture.Object();
  SaveFileContent(path, [object](ByteSink& sink) {
    if (object) WriteBitmapFile(*object, sink);
  });
}

std::string PictureDialogFilter() {
  std::string entries;
  std::string patterns;
  int taken = 0;
  for (auto it = std::rbegin(kRegisteredFormats); it != std::rend(kRegisteredFormats); ++it) {
    const std::string ext = it->extension;
    if (ext.empty()) continue;
    if (taken++ > 0) {
      entries += '|';
      patterns += ';';
    }
    entries += std::string(it->description) + " (*." + ext + ")|*." + ext;
    patterns += "*." + ext;
  }
  if (taken > 1)
    return std::string(msg::kAllFormats) + " (" + patterns + ")|" + patterns + "|" + entries;
  return entries;
}
