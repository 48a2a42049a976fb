// The table of effect commands: what the main window's buttons, the command-line tool, the tests
// and the benchmark run. Adding an effect takes its function (declared in effect_functions.h, in
// a source file of its own or in that of its kind of pass), one row of the table in
// effect_table.cpp and its button in the window's layout.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "platform/bitmap.h"

struct EffectCommand {
  std::string_view name;       // as the command-line tool takes it
  std::string_view button;     // the object name of its button in the window's layout
  std::string_view caption;    // that button's caption
  HBITMAP (*effect)(HBITMAP);  // the effect (see effect_functions.h); a first pass if below
  // A command of two passes (binarisation): the second pass, given the first pass's result and
  // the value the first pass left in firstPassResult. Null for one-pass commands.
  HBITMAP (*secondPass)(HBITMAP, std::int32_t) = nullptr;
  const std::int32_t* firstPassResult = nullptr;
};

// In the order of the buttons.
std::span<const EffectCommand> EffectCommands();
// Null for an unknown name.
const EffectCommand* FindEffectCommand(std::string_view name);
// The command of the button with this object name; null for none.
const EffectCommand* FindEffectButton(std::string_view button);

// Hands the picture to the command's effect (and its second pass) and takes the result back
// each time (ApplyEffect).
void RunEffectCommand(const EffectCommand& command, TBitmap& picture);
