#include "picture_files.h"

#include <algorithm>
#include <initializer_list>
#include <memory>
#include <span>
#include <vector>

#include "bmp.h"
#include "files.h"
#include "jpeg.h"
#include "messages.h"
#include "png_reader.h"

namespace {

struct PictureFormat {
  const char* extension;
  const char* description;
  bool saved;  // offered by the save dialog, which writes bitmap files under any of these names
};

// In registration order: the graphics support's four, the JPEG support's two, then PNG, which
// is opened but written only by the PNG command.
constexpr PictureFormat kRegisteredFormats[] = {
    {"wmf", msg::kMetafileFormat, true}, {"emf", msg::kEnhancedMetafileFormat, true},
    {"ico", msg::kIconFormat, true},     {"bmp", msg::kBitmapFormat, true},
    {"jpeg", msg::kJpegFormat, true},    {"jpg", msg::kJpegFormat, true},
    {"png", msg::kPngFormat, false},
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

namespace {

bool StartsWith(std::span<const std::uint8_t> data, std::initializer_list<std::uint8_t> bytes) {
  return data.size() >= bytes.size() && std::equal(bytes.begin(), bytes.end(), data.begin());
}

// The first check of each reader, and the other format's signature: a file that fails the
// reader its name picks right there, and begins as the other format does, goes to the other
// reader. The JPEG decoder refuses a file that does not begin with its start-of-image marker;
// the bitmap reader one of its 14-byte header or more that does not begin with "BM". Both
// refuse a file that begins with the PNG signature, which goes to the PNG reader.
bool IsBitmapNamedJpeg(std::span<const std::uint8_t> data) {
  return !StartsWith(data, {0xFF, 0xD8}) && StartsWith(data, {'B', 'M'});
}
bool IsJpegNamedBitmap(std::span<const std::uint8_t> head, std::uint64_t size) {
  return size >= kBitmapFileHeaderSize && StartsWith(head, {0xFF, 0xD8, 0xFF});
}

HBITMAP DecodeFile(const std::string& path) {
  if (IsJpegName(path)) {
    const std::vector<std::uint8_t> data = ReadWholeFile(path);
    if (IsPngSignature(data)) return DecodePng(data);
    return IsBitmapNamedJpeg(data) ? DecodeBitmapFile(data) : DecodeJpeg(data);
  }
  const std::unique_ptr<ByteSource> source = OpenByteSource(path);
  const std::uint64_t size = source->Size();
  std::vector<std::uint8_t> storage;
  const auto head = source->View(0, std::min<std::uint64_t>(size, 8), storage);
  if (IsPngSignature(head)) return DecodePng(*source);
  if (IsJpegNamedBitmap(head, size))
    return DecodeJpeg(source->View(0, static_cast<std::size_t>(size), storage));
  return DecodeBitmapFile(*source);
}

}  // namespace

void LoadPictureFile(TBitmap& picture, const std::string& path) {
  picture.AdoptHandle(DecodeFile(path));
}

void SaveBitmapFile(const TBitmap& picture, const std::string& path) {
  const BitmapObject* object = picture.Object();
  SaveFileContent(path, [object](ByteSink& sink) {
    if (object) WriteBitmapFile(*object, sink);
  });
}

std::string PictureDialogFilter(PictureDialog dialog) {
  std::string entries;
  std::string patterns;
  int taken = 0;
  for (auto it = std::rbegin(kRegisteredFormats); it != std::rend(kRegisteredFormats); ++it) {
    const std::string ext = it->extension;
    if (ext.empty() || (dialog == PictureDialog::kSave && !it->saved)) continue;
    if (taken++ > 0) {
      entries += '|';
      patterns += ';';
    }
    entries.append(it->description).append(" (*.").append(ext).append(")|*.").append(ext);
    patterns += "*." + ext;
  }
  if (taken > 1)
    return std::string(msg::kAllFormats) + " (" + patterns + ")|" + patterns + "|" + entries;
  return entries;
}
