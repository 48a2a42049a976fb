// The effect commands by name: what the buttons and the command-line tool run.
#pragma once

#include <span>
#include <string_view>

#include "platform/bitmap.h"

struct EffectCommand {
  std::string_view name;          // as the command-line tool takes it
  void (*run)(TBitmap& picture);  // one or more hand-overs of the picture to effects
};

// The commands themselves, each one or more hand-overs of the picture (ApplyEffect). The
// buttons of the main window and the command table call these.
void GrayscaleCommand(TBitmap& picture);
void BinarizeCommand(TBitmap& picture);  // MeanThreshold, then Binarize with its threshold
void BlurCommand(TBitmap& picture);
void SharpenCommand(TBitmap& picture);
void UnsharpMaskCommand(TBitmap& picture);
void NegativeCommand(TBitmap& picture);
void SepiaCommand(TBitmap& picture);
void JaggedMosaicCommand(TBitmap& picture);
void ColorEmbossCommand(TBitmap& picture);
void MirrorCommand(TBitmap& picture);

// In the order of the buttons.
std::span<const EffectCommand> EffectCommands();
// Null for an unknown name.
const EffectCommand* FindEffectCommand(std::string_view name);
