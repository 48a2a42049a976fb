// Pixel loops compiled twice from the same source: for processors with AVX2 and for the
// baseline instruction set, the copy chosen once per pass at run time. Both copies compute the
// same integers, so results never depend on the processor.
#pragma once

#define LUMIVANE_INLINE [[gnu::always_inline]] inline

namespace vectorise_detail {
bool HaveAvx2();
template <class Body>
[[gnu::target("avx2")]] void RunAvx2(Body& body) {
  body();
}
template <class Body>
void RunBaseline(Body& body) {
  body();
}
}  // namespace vectorise_detail

// body must be a lambda declared LUMIVANE_LAMBDA whose pixel loops call only LUMIVANE_INLINE
// functions, so that each copy is generated for its own target.
template <class Body>
void RunVectorised(Body&& body) {
  if (vectorise_detail::HaveAvx2())
    vectorise_detail::RunAvx2(body);
  else
    vectorise_detail::RunBaseline(body);
}

#define LUMIVANE_LAMBDA __attribute__((always_inline))
