#include "Vectorise.h"

namespace {

bool avx2Allowed = true;

bool HaveAvx2() {
  static const bool have = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return have;
}

}  // namespace

bool Avx2Enabled() {
  return avx2Allowed && HaveAvx2();
}

void SetAvx2Allowed(bool allowed) {
  avx2Allowed = allowed;
}
