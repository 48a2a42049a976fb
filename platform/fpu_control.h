// The floating-point control state of the thread: the x87 control word and the SSE control and
// status register.
#pragma once

#include <cstdint>

struct FpuControl {
  std::uint16_t x87 = 0;
  std::uint32_t mxcsr = 0;
  friend bool operator==(const FpuControl&, const FpuControl&) = default;
};

// Exception mask bits: the six of the x87 control word and of MXCSR.
inline constexpr std::uint16_t kX87ExceptionMasks = 0x003F;
inline constexpr std::uint32_t kMxcsrExceptionMasks = 0x1F80;
inline constexpr std::uint32_t kMxcsrExceptionFlags = 0x003F;

FpuControl CurrentFpuControl();
// Puts control in place: clears pending exceptions of both units first, so that unmasking one
// does not fire an old one, then loads both words.
void SetFpuControl(const FpuControl& control);
// control with every exception masked, precision and rounding unchanged.
FpuControl WithAllExceptionsMasked(FpuControl control);
