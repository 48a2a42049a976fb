// Pixel loops compiled twice from the same source: for processors with AVX2 and for the
// baseline instruction set, the copy chosen once per pass at run time. Both copies compute the
// same integers, so results never depend on the processor.
#pragma once

#define LUMIVANE_INLINE [[gnu::always_inline]] inline

// Whether the AVX2 copies run: the processor has AVX2 and they are not switched off.
bool Avx2Enabled();

// Tests switch the AVX2 copies off to run the baseline ones on any processor. Not for use while
// an effect runs.
void SetAvx2Allowed(bool allowed);

namespace vectorise_detail {
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
  if (Avx2Enabled())
    vectorise_detail::RunAvx2(body);
  else
    vectorise_detail::RunBaseline(body);
}

#define LUMIVANE_LAMBDA __attribute__((always_inline))
