#include "effects.h"

#include <array>

#include "EffectBass.h"

namespace {

constexpr std::array<EffectCommand, 0> kCommands{};

}  // namespace

std::span<const EffectCommand> EffectCommands() {
  return kCommands;
}

const EffectCommand* FindEffectCommand(std::string_view name) {
  for (const EffectCommand& command : kCommands)
    if (command.name == name) return &command;
  return nullptr;
}
