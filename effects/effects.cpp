#include "effects.h"

#include <array>

#include "EffectBass.h"
#include "Effects.h"

void GrayscaleCommand(TBitmap& picture) {
  ApplyEffect(picture, Grayscale);
}

void BinarizeCommand(TBitmap& picture) {
  ApplyEffect(picture, MeanThreshold);
  // Read only after the first pass has handed the picture back.
  const std::int32_t threshold = BinarizeThreshold;
  ApplyEffect(picture, [threshold](HBITMAP h) { return Binarize(std::move(h), threshold); });
}

void BlurCommand(TBitmap& picture) {
  ApplyEffect(picture, Blur);
}
void SharpenCommand(TBitmap& picture) {
  ApplyEffect(picture, Sharpen);
}
void UnsharpMaskCommand(TBitmap& picture) {
  ApplyEffect(picture, UnsharpMask);
}
void NegativeCommand(TBitmap& picture) {
  ApplyEffect(picture, Negative);
}
void SepiaCommand(TBitmap& picture) {
  ApplyEffect(picture, Sepia);
}
void JaggedMosaicCommand(TBitmap& picture) {
  ApplyEffect(picture, JaggedMosaic);
}
void ColorEmbossCommand(TBitmap& picture) {
  ApplyEffect(picture, ColorEmboss);
}
void MirrorCommand(TBitmap& picture) {
  ApplyEffect(picture, Mirror);
}

namespace {

constexpr std::array<EffectCommand, 10> kCommands{{
    {"grayscale", GrayscaleCommand},
    {"binarize", BinarizeCommand},
    {"blur", BlurCommand},
    {"sharpen", SharpenCommand},
    {"unsharp-mask", UnsharpMaskCommand},
    {"negative", NegativeCommand},
    {"sepia", SepiaCommand},
    {"jagged-mosaic", JaggedMosaicCommand},
    {"color-emboss", ColorEmbossCommand},
    {"mirror", MirrorCommand},
}};

}  // namespace

std::span<const EffectCommand> EffectCommands() {
  return kCommands;
}

const EffectCommand* FindEffectCommand(std::string_view name) {
  for (const EffectCommand& command : kCommands)
    if (command.name == name) return &command;
  return nullptr;
}
