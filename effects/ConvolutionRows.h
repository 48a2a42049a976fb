// The row loop of the 3x3 convolution, shared by Convolve3x3 and UnsharpMask. Integers only;
// the interior of each row is one loop over its bytes (a channel's neighbours lie 3 bytes
// apart), edge replication is confined to the first and last pixel of a row and to the choice
// of the rows above and below.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <type_traits>

#include "EffectBass.h"
#include "Vectorise.h"
#include "effect_functions.h"
#include "platform/errors.h"

namespace convolution_detail {

// The channel sums are computed in Sum: 16 bits when the kernel keeps every sum within
// +-32767 (twice the lanes of 32 bits), 32 bits otherwise. Each divider performs the signed
// division truncating toward zero in the form that suits the divisor.
template <class Sum>
struct DivideByOne {
  LUMIVANE_INLINE Sum operator()(Sum n) const { return n; }
};
template <class Sum>
struct DivideByPowerOfTwo {
  int shift;
  LUMIVANE_INLINE Sum operator()(Sum n) const {
    // An arithmetic shift floors; a negative n is first raised by divisor - 1.
    constexpr int kSignShift = 8 * sizeof(Sum) - 1;
    return static_cast<Sum>((n + ((n >> kSignShift) & ((1 << shift) - 1))) >> shift);
  }
};
// Sums that are never negative and small enough that n x magic div 2^16 is exact.
template <class Sum>
struct DivideByReciprocal {
  std::uint32_t magic;
  LUMIVANE_INLINE Sum operator()(Sum n) const {
    using Unsigned = std::make_unsigned_t<Sum>;
    return static_cast<Sum>((static_cast<std::uint32_t>(static_cast<Unsigned>(n)) * magic) >> 16);
  }
};
// Any divisor 1..255. A sum beyond +-256 x divisor clamps to the same byte, so the sum is first
// limited to that range: there single precision holds it exactly, and the correctly rounded
// quotient never crosses an integer (it is off by at most 2^-9, a non-integral quotient lies at
// least 1/255 from one), so truncating it gives the integer quotient.
struct DivideByFloat {
  std::int32_t limit;
  float divisor;
  LUMIVANE_INLINE std::int32_t operator()(std::int32_t n) const {
    const std::int32_t limited = std::clamp(n, -limit, limit);
    return static_cast<std::int32_t>(static_cast<float>(limited) / divisor);
  }
};

struct Weights {
  std::int32_t k[9];
};

template <class Sum>
LUMIVANE_INLINE std::uint8_t Finish(Sum quotient, Sum bias) {
  return ClampByte(static_cast<Sum>(quotient + bias));
}

// One channel value of pixel x by the rule itself: clamped sample columns.
template <class Sum, class Divide>
LUMIVANE_INLINE std::uint8_t EdgeValue(const std::uint8_t* const rows[3], std::int32_t x,
                                       std::int32_t width, std::int32_t channel, const Weights& w,
                                       const Divide& divide, Sum bias) {
  std::int32_t sum = 0;
  for (std::int32_t dy = 0; dy < 3; ++dy)
    for (std::int32_t dx = -1; dx <= 1; ++dx) {
      const std::int32_t sx = std::clamp(x + dx, 0, width - 1);
      sum += w.k[3 * dy + dx + 1] * rows[dy][3 * sx + channel];
    }
  return Finish<Sum>(divide(static_cast<Sum>(sum)), bias);
}

template <class Sum, class Divide>
LUMIVANE_INLINE void ConvolveRow(const std::uint8_t* __restrict above,
                                 const std::uint8_t* __restrict own,
                                 const std::uint8_t* __restrict below, std::uint8_t* __restrict d,
                                 std::int32_t width, const Weights& w, const Divide& divide,
                                 Sum bias) {
  const Sum k0 = static_cast<Sum>(w.k[0]), k1 = static_cast<Sum>(w.k[1]),
            k2 = static_cast<Sum>(w.k[2]), k3 = static_cast<Sum>(w.k[3]),
            k4 = static_cast<Sum>(w.k[4]), k5 = static_cast<Sum>(w.k[5]),
            k6 = static_cast<Sum>(w.k[6]), k7 = static_cast<Sum>(w.k[7]),
            k8 = static_cast<Sum>(w.k[8]);
  // Interior pixels 1 .. width - 2: bytes 3 .. 3 x width - 4.
  const std::size_t end = width > 2 ? 3 * static_cast<std::size_t>(width - 1) : 3;
  for (std::size_t i = 3; i < end; ++i) {
    const Sum sum = static_cast<Sum>(k0 * above[i - 3] + k1 * above[i] + k2 * above[i + 3] +
                                     k3 * own[i - 3] + k4 * own[i] + k5 * own[i + 3] +
                                     k6 * below[i - 3] + k7 * below[i] + k8 * below[i + 3]);
    d[i] = Finish<Sum>(divide(sum), bias);
  }
  const std::uint8_t* const rows[3] = {above, own, below};
  for (std::int32_t c = 0; c < 3; ++c) {
    d[c] = EdgeValue<Sum>(rows, 0, width, c, w, divide, bias);
    if (width > 1)
      d[3 * (width - 1) + c] = EdgeValue<Sum>(rows, width - 1, width, c, w, divide, bias);
  }
}

template <class Sum, class Divide, class AfterRow>
void ConvolveAllRows(const RowTable& rows, TBitmap& destination, std::int32_t width,
                     const Weights& w, const Divide& divide, std::int32_t bias,
                     AfterRow& afterRow) {
  const Sum sumBias = static_cast<Sum>(bias);
  const std::int32_t height = static_cast<std::int32_t>(rows.size());
  ForEachRowVectorised(width, height, [&](std::int32_t y) LUMIVANE_LAMBDA {
    std::uint8_t* d = destination.RowAt(y);
    ConvolveRow<Sum>(
        rows[static_cast<std::size_t>(std::max(y - 1, 0))], rows[static_cast<std::size_t>(y)],
        rows[static_cast<std::size_t>(std::min(y + 1, height - 1))], d, width, w, divide, sumBias);
    afterRow(y, d);
  });
}

}  // namespace convolution_detail

// Convolves every row of the source (given by its row table) into the destination and calls
// afterRow(y, destinationRow) after each row; afterRow must be a LUMIVANE_LAMBDA. The rows are
// split into bands (ForEachRowBand): afterRow may touch only its own row.
template <class AfterRow>
void ConvolveRows(const RowTable& rows, TBitmap& destination, std::int32_t width,
                  const Kernel3x3& kernel, std::uint8_t divisor, std::uint8_t bias,
                  AfterRow&& afterRow) {
  using namespace convolution_detail;  // NOLINT
  Weights w{};
  std::int32_t positive = 0, negative = 0;
  for (std::size_t k = 0; k < 9; ++k) {
    w.k[k] = kernel[k];
    (kernel[k] > 0 ? positive : negative) += std::abs(static_cast<std::int32_t>(kernel[k]));
  }
  // No filter divides by 0; should a caller try, the pass fails and the picture comes back.
  if (divisor == 0) throw EInvalidOperation(msg::kDivisionByZero);
  const std::int32_t b = bias;
  const std::int32_t d = divisor;
  // Sums and quotients stay within +-32767 when the weights' magnitudes add up to at most 128.
  if (positive + negative <= 128) {
    using Sum = std::int16_t;
    if (d == 1) {
      ConvolveAllRows<Sum>(rows, destination, width, w, DivideByOne<Sum>{}, b, afterRow);
      return;
    }
    if (std::has_single_bit(static_cast<unsigned>(d))) {
      ConvolveAllRows<Sum>(rows, destination, width, w,
                           DivideByPowerOfTwo<Sum>{std::countr_zero(static_cast<unsigned>(d))}, b,
                           afterRow);
      return;
    }
    // floor(n x m / 2^16) = floor(n / d) for 0 <= n <= largest when largest x e < 2^16,
    // m = ceil(2^16 / d), e = m x d - 2^16.
    const std::uint32_t magic = (65536u + divisor - 1u) / std::uint32_t{divisor};
    const std::int64_t excess = std::int64_t{magic} * d - 65536;
    const std::int64_t largest = std::int64_t{positive} * 255;
    if (negative == 0 && largest * excess < 65536) {
      ConvolveAllRows<Sum>(rows, destination, width, w, DivideByReciprocal<Sum>{magic}, b,
                           afterRow);
      return;
    }
  }
  if (d == 1)
    ConvolveAllRows<std::int32_t>(rows, destination, width, w, DivideByOne<std::int32_t>{}, b,
                                  afterRow);
  else
    ConvolveAllRows<std::int32_t>(rows, destination, width, w,
                                  DivideByFloat{256 * d, static_cast<float>(d)}, b, afterRow);
}
