#include "fpu_control.h"

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

FpuControl CurrentFpuControl() {
  FpuControl control;
#if defined(__x86_64__) || defined(__i386__)
  std::uint16_t word = 0;
  asm volatile("fnstcw %0" : "=m"(word));
  control.x87 = word;
  control.mxcsr = _mm_getcsr() & ~kMxcsrExceptionFlags;
#endif
  return control;
}

void SetFpuControl(const FpuControl& control) {
#if defined(__x86_64__) || defined(__i386__)
  std::uint16_t word = control.x87;
  asm volatile("fnclex\n\tfldcw %0" : : "m"(word));
  _mm_setcsr(control.mxcsr & ~kMxcsrExceptionFlags);
#else
  (void)control;
#endif
}

FpuControl WithAllExceptionsMasked(FpuControl control) {
  control.x87 |= kX87ExceptionMasks;
  control.mxcsr |= kMxcsrExceptionMasks;
  return control;
}
