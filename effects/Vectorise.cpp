#include "Vectorise.h"

namespace vectorise_detail {

bool HaveAvx2() {
  static const bool have = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return have;
}

}  // namespace vectorise_detail
