// Picture files as the open and save commands see them.
#pragma once

#include <string>
#include <string_view>

#include "bitmap.h"

// The extension of a file name: from the last "." after the last "/", dot included; empty
// without one. Multi-byte UTF-8 characters are never split (their bytes are never "." or "/").
std::string ExtractFileExt(std::string_view name);

// Whether a name is opened as JPEG: its extension is exactly ".jpg", case-sensitive.
bool IsJpegName(std::string_view name);

// Reads a picture file into picture: JPEG for a ".jpg" name, a bitmap file for any other.
// A file that the reader its name picks refuses at once as not of its format, and that begins
// with the other format's signature, is read by the other reader: a JPEG (FF D8 FF) of 14 bytes
// or more under another name (a camera's ".JPG", ".jpeg"), a bitmap file ("BM") named ".jpg";
// a file that begins with the PNG signature is read as PNG under any name. Every other file
// gives the picked reader's error.
// The file is decoded completely before the picture is replaced, so on any error the picture
// keeps its image. A zero-byte bitmap file leaves the picture empty.
void LoadPictureFile(TBitmap& picture, const std::string& path);

// Writes picture as a bitmap file in its own pixel format, whatever the name says. An empty
// picture gives a zero-byte file. The file is written as SaveFileContent says.
void SaveBitmapFile(const TBitmap& picture, const std::string& path);

// The filter of a picture dialog, built from the registered picture formats:
// "label|pattern|label|pattern...", the entry for all formats first. The save dialog leaves out
// PNG, which only the PNG command writes.
enum class PictureDialog { kOpen, kSave };
std::string PictureDialogFilter(PictureDialog dialog);
