// The effect commands by name: what the buttons and the command-line tool run.
#pragma once

#include <span>
#include <string_view>

#include "platform/bitmap.h"

struct EffectCommand {
  std::string_view name;          // as the command-line tool takes it
  void (*run)(TBitmap& picture);  // one or more hand-overs of the picture to effects
};

// In the order of the buttons.
std::span<const EffectCommand> EffectCommands();
// Null for an unknown name.
const EffectCommand* FindEffectCommand(std::string_view name);
