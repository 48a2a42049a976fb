#include "zlib_stream.h"

#include <algorithm>

#include "platform/errors.h"

namespace {

// zlib counts bytes in uInt; larger writes are fed in pieces of this size.
constexpr std::size_t kLargestPiece = std::size_t{1} << 30;

int Check(int result) {
  if (result < 0) throw ECompressionError(msg::kCompressionError);
  return result;
}

}  // namespace

const DeflateApi& ZlibDeflate() {
  static const DeflateApi api{&deflateInit_, &deflate, &deflateEnd};
  return api;
}

int ZlibLevel(TCompressionLevel level) {
  switch (level) {
    case TCompressionLevel::clNone:
      return Z_NO_COMPRESSION;
    case TCompressionLevel::clFastest:
      return Z_BEST_SPEED;
    case TCompressionLevel::clDefault:
      return Z_DEFAULT_COMPRESSION;
    case TCompressionLevel::clMax:
      return Z_BEST_COMPRESSION;
  }
  return Z_DEFAULT_COMPRESSION;
}

TCustomZlibStream::TCustomZlibStream(TStream& target)
    : target_(target), savedTargetPosition_(target.Position()) {
  record_.next_out = buffer_.data();
  record_.avail_out = static_cast<uInt>(buffer_.size());
}

void TCustomZlibStream::RestoreTargetPosition() {
  if (target_.Position() != savedTargetPosition_) target_.SetPosition(savedTargetPosition_);
}

void TCustomZlibStream::FlushOutput(std::size_t count) {
  target_.WriteBuffer(buffer_.data(), count);
  record_.next_out = buffer_.data();
  record_.avail_out = static_cast<uInt>(buffer_.size());
  savedTargetPosition_ = target_.Position();
}

TCompressionStream::TCompressionStream(TCompressionLevel level, TStream& target,
                                       const DeflateApi& api)
    : TCustomZlibStream(target), api_(api) {
  // The version and record size are those of the zlib headers we were built with; zlib
  // refuses a mismatch instead of misreading the record.
  Check(api_.init(&record_, ZlibLevel(level), ZLIB_VERSION, static_cast<int>(sizeof(z_stream))));
}

TCompressionStream::~TCompressionStream() {
  // Releases zlib's state on every path; its result says nothing we could still act on.
  api_.end(&record_);
}

std::size_t TCompressionStream::Read(void*, std::size_t) {
  throw ECompressionError(msg::kInvalidStreamOperation);
}

std::int64_t TCompressionStream::Seek(std::int64_t offset, Origin origin) {
  if (offset == 0 && origin == Origin::kCurrent) return static_cast<std::int64_t>(record_.total_in);
  throw ECompressionError(msg::kInvalidStreamOperation);
}

std::size_t TCompressionStream::Write(const void* buffer, std::size_t count) {
  if (finished_) throw ECompressionError(msg::kInvalidStreamOperation);
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  RestoreTargetPosition();
  std::size_t left = count;
  while (left > 0) {
    const std::size_t piece = std::min(left, kLargestPiece);
    record_.next_in = const_cast<Bytef*>(bytes);  // zlib only reads through it
    record_.avail_in = static_cast<uInt>(piece);
    while (record_.avail_in > 0) {
      Check(api_.deflate(&record_, Z_NO_FLUSH));
      // Emptied here, right after the call that filled it: deflate refuses to be called
      // with no room for output.
      if (record_.avail_out == 0) {
        FlushOutput(buffer_.size());
        if (OnProgress) OnProgress();
      }
    }
    bytes += piece;
    left -= piece;
  }
  return count;
}

void TCompressionStream::Finish() {
  if (finished_) return;
  record_.next_in = nullptr;
  record_.avail_in = 0;
  RestoreTargetPosition();
  int result = Z_OK;
  for (;;) {
    result = Check(api_.deflate(&record_, Z_FINISH));
    if (result == Z_STREAM_END || record_.avail_out != 0) break;
    FlushOutput(buffer_.size());
  }
  if (record_.avail_out < buffer_.size()) FlushOutput(buffer_.size() - record_.avail_out);
  // Stopping with room left but no end written would leave a truncated stream.
  if (result != Z_STREAM_END) throw ECompressionError(msg::kCompressionError);
  finished_ = true;
}
