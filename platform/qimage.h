// Bitmap objects as Qt images, for drawing.
#pragma once

#include <QImage>

#include "bitmap.h"

// A 24-bit object comes back as an image that shares its pixels and is valid only while the
// object lives unchanged; any other format as an image of its own, converted to 24 bits.
QImage ToQImage(const BitmapObject& object);
