// A write-only stream that deflates everything written to it into a zlib stream on a target.
#pragma once

#include <zlib.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "streams.h"

// The three deflate entry points, behind one table so that a test can put a failing
// compressor in place of zlib's.
struct DeflateApi {
  int (*init)(z_streamp stream, int level, const char* version, int streamSize);
  int (*deflate)(z_streamp stream, int flush);
  int (*end)(z_streamp stream);
};
// zlib's own deflateInit_, deflate and deflateEnd.
const DeflateApi& ZlibDeflate();

enum class TCompressionLevel { clNone, clFastest, clDefault, clMax };
// The zlib level of each: 0, 1, -1 (zlib's default, level 6), 9.
int ZlibLevel(TCompressionLevel level);

inline constexpr std::size_t kZlibBufferSize = 65536;

// What the compressing stream shares with a decompressing one: the target, the position it
// last left the target at, the zlib record and the output buffer. The record points into this
// object, so it never moves.
class TCustomZlibStream : public TStream {
 public:
  TCustomZlibStream(const TCustomZlibStream&) = delete;
  TCustomZlibStream& operator=(const TCustomZlibStream&) = delete;

  // Raised after each full output buffer has gone to the target.
  std::function<void()> OnProgress;

 protected:
  explicit TCustomZlibStream(TStream& target);
  // Puts the target back where this stream last left it, in case someone else moved it.
  void RestoreTargetPosition();
  // Hands count bytes of the output buffer to the target and makes the whole buffer free again.
  void FlushOutput(std::size_t count);

  TStream& target_;
  std::int64_t savedTargetPosition_;
  z_stream record_{};
  std::array<std::uint8_t, kZlibBufferSize> buffer_;
};

// Compresses what is written into a zlib stream (deflate, 32 KiB window, memory level 8,
// default strategy). The compressed bytes reach the target in whole 64 KiB buffers while
// writing goes on; Finish ends the stream and writes the rest. Destruction always releases
// zlib's state; a stream destroyed without Finish (an error on the way) leaves the target
// without the end of the stream.
class TCompressionStream final : public TCustomZlibStream {
 public:
  // Throws ECompressionError "error" when zlib refuses to start.
  TCompressionStream(TCompressionLevel level, TStream& target,
                     const DeflateApi& api = ZlibDeflate());
  ~TCompressionStream() override;

  // Throws ECompressionError "Invalid stream operation": this stream only compresses.
  std::size_t Read(void* buffer, std::size_t count) override;
  // Feeds count bytes to the compressor; returns count. Throws ECompressionError "error" when
  // the compressor fails, or what the target throws.
  std::size_t Write(const void* buffer, std::size_t count) override;
  // Only Seek(0, kCurrent) is allowed: it gives the count of bytes taken in so far.
  std::int64_t Seek(std::int64_t offset, Origin origin) override;

  // Ends the zlib stream and writes all that is left of it to the target. Call once, after
  // the last Write.
  void Finish();

 private:
  const DeflateApi& api_;
  bool finished_ = false;
};
