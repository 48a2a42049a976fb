#include "effect_table.h"

#include <utility>

#include "EffectBass.h"
#include "effect_functions.h"

namespace {

const EffectCommand kCommands[] = {
    {"grayscale", "Button1", "グレースケール化", Grayscale},
    {"binarize", "Button2", "２値化", MeanThreshold, Binarize, &BinarizeThreshold},
    {"blur", "Button3", "ぼかし", Blur},
    {"sharpen", "Button4", "シャープ", Sharpen},
    {"unsharp-mask", "Button5", "アンシャープマスク", UnsharpMask},
    {"negative", "Button6", "ネガ", Negative},
    {"sepia", "Button7", "セピア", Sepia},
    {"jagged-mosaic", "Button8", "ギザギザモザイク", JaggedMosaic},
    {"color-emboss", "Button9", "カラーエンボス", ColorEmboss},
    {"mirror", "Button10", "ミラー", Mirror},
};

}  // namespace

std::span<const EffectCommand> EffectCommands() {
  return kCommands;
}

const EffectCommand* FindEffectCommand(std::string_view name) {
  for (const EffectCommand& command : kCommands)
    if (command.name == name) return &command;
  return nullptr;
}

const EffectCommand* FindEffectButton(std::string_view button) {
  for (const EffectCommand& command : kCommands)
    if (command.button == button) return &command;
  return nullptr;
}

void RunEffectCommand(const EffectCommand& command, TBitmap& picture) {
  ApplyEffect(picture, command.effect);
  if (!command.secondPass) return;
  // Read only after the first pass has handed the picture back.
  const std::int32_t value = *command.firstPassResult;
  ApplyEffect(picture,
              [&command, value](HBITMAP h) { return command.secondPass(std::move(h), value); });
}
