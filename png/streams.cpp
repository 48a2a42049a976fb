#include "streams.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

#include "platform/errors.h"
#include "platform/pixel_store.h"

void TStream::WriteBuffer(const void* buffer, std::size_t count) {
  if (count != 0 && Write(buffer, count) != count) throw EWriteError(msg::kStreamWrite);
}

std::size_t TMemoryStream::Read(void* buffer, std::size_t count) {
  if (position_ >= bytes_.size()) return 0;
  const std::size_t n = std::min(count, bytes_.size() - position_);
  std::memcpy(buffer, bytes_.data() + position_, n);
  position_ += n;
  return n;
}

std::size_t TMemoryStream::Write(const void* buffer, std::size_t count) {
  if (count == 0) return 0;
  if (count > bytes_.max_size() - position_) throw EStreamError(msg::kMemoryStreamGrow);
  const auto* source = static_cast<const std::uint8_t*>(buffer);
  const std::size_t end = position_ + count;
  if (end <= bytes_.size()) {
    std::memcpy(bytes_.data() + position_, source, count);
  } else {
    // Room first, so that a failure leaves the content as it was. The capacity grows by
    // doubling, and a stream reserved at its final size never moves.
    if (end > bytes_.capacity()) {
      try {
        bytes_.reserve(std::max(end, std::min(bytes_.max_size(), 2 * bytes_.capacity())));
      } catch (const std::bad_alloc&) {
        throw EStreamError(msg::kMemoryStreamGrow);
      } catch (const std::length_error&) {
        throw EStreamError(msg::kMemoryStreamGrow);
      }
    }
    // A gap before the position reads as zeros; the bytes past the old end are appended, not
    // zero-filled and then overwritten.
    if (position_ > bytes_.size()) bytes_.resize(position_);
    const std::size_t overlap = bytes_.size() - position_;
    std::memcpy(bytes_.data() + position_, source, overlap);
    bytes_.insert(bytes_.end(), source + overlap, source + count);
  }
  position_ = end;
  return count;
}

std::int64_t TMemoryStream::Seek(std::int64_t offset, Origin origin) {
  std::int64_t base = 0;
  if (origin == Origin::kCurrent) base = static_cast<std::int64_t>(position_);
  if (origin == Origin::kEnd) base = static_cast<std::int64_t>(bytes_.size());
  // A position before the start stays at the start; past the end is allowed, and the next
  // write fills the gap with zeros.
  position_ = static_cast<std::size_t>(std::max<std::int64_t>(0, base + offset));
  return static_cast<std::int64_t>(position_);
}

void TMemoryStream::Reserve(std::size_t capacity) {
  try {
    const bool grows = capacity > bytes_.capacity();
    bytes_.reserve(capacity);
    // Written once, front to back: huge pages spare most of its page faults.
    if (grows) AdviseHugePages(bytes_.data(), bytes_.capacity());
  } catch (const std::bad_alloc&) {
    throw EStreamError(msg::kMemoryStreamGrow);
  } catch (const std::length_error&) {
    throw EStreamError(msg::kMemoryStreamGrow);
  }
}

std::vector<std::uint8_t> TMemoryStream::Release() {
  position_ = 0;
  std::vector<std::uint8_t> out;
  out.swap(bytes_);
  return out;
}
