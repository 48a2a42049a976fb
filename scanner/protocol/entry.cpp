// The library's one export.
#include <type_traits>

#include "dispatch.h"
#include "platform/fpu_control.h"

namespace {

// Every entry runs with all floating-point exceptions masked (backends are not written for
// anything else) and gives the caller's control state back on return.
class MaskedFloatingPoint {
 public:
  MaskedFloatingPoint() : saved_(CurrentFpuControl()) {
    SetFpuControl(WithAllExceptionsMasked(saved_));
  }
  ~MaskedFloatingPoint() { SetFpuControl(saved_); }
  MaskedFloatingPoint(const MaskedFloatingPoint&) = delete;
  MaskedFloatingPoint& operator=(const MaskedFloatingPoint&) = delete;

 private:
  const FpuControl saved_;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) TW_UINT16 DSM_Entry(pTW_IDENTITY origin,
                                                                      pTW_IDENTITY destination,
                                                                      TW_UINT32 dg, TW_UINT16 dat,
                                                                      TW_UINT16 msg,
                                                                      TW_MEMREF data) {
  const MaskedFloatingPoint masked;
  return scanner::Dispatch(origin, destination, dg, dat, msg, data);
}

static_assert(std::is_same_v<decltype(&DSM_Entry), DSMENTRYPROC>);
