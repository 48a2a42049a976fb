#include "png/zlib_stream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "png/png_writer.h"
#include "png/streams.h"
#include "png_decoders.h"

namespace {

// A target that remembers the size of every write it receives.
class RecordingStream final : public TStream {
 public:
  std::size_t Read(void* buffer, std::size_t count) override { return bytes.Read(buffer, count); }
  std::size_t Write(const void* buffer, std::size_t count) override {
    writes.push_back(count);
    if (failWrites) return 0;
    return bytes.Write(buffer, count);
  }
  std::int64_t Seek(std::int64_t offset, Origin origin) override {
    return bytes.Seek(offset, origin);
  }
  TMemoryStream bytes;
  std::vector<std::size_t> writes;
  bool failWrites = false;
};

// A compressor that counts what it is asked and fails where a test says; otherwise zlib's.
struct Fake {
  static inline int inits, ends, calls, level, streamSize;
  static inline std::string version;
  static inline bool failInit, failFinish, stallFinish;
  static inline int failAtCall;  // 0: never
  static void Reset() {
    inits = ends = calls = level = streamSize = failAtCall = 0;
    version.clear();
    failInit = failFinish = stallFinish = false;
  }
  static int Init(z_streamp s, int lvl, const char* ver, int size) {
    ++inits;
    level = lvl;
    version = ver;
    streamSize = size;
    if (failInit) return Z_MEM_ERROR;
    return deflateInit_(s, lvl, ver, size);
  }
  static int Deflate(z_streamp s, int flush) {
    ++calls;
    if (calls == failAtCall) return Z_STREAM_ERROR;
    if (flush == Z_FINISH && failFinish) return Z_BUF_ERROR;
    if (flush == Z_FINISH && stallFinish) return Z_OK;  // room left, but no end written
    return deflate(s, flush);
  }
  static int End(z_streamp s) {
    ++ends;
    return deflateEnd(s);
  }
};
const DeflateApi kFakeApi{&Fake::Init, &Fake::Deflate, &Fake::End};

}  // namespace

TEST(TCompressionStream, SendsWholeBuffersWhileWritingAndTheRestAtTheEnd) {
  const auto input = RandomBytes(300000, 3);  // does not compress: about five full buffers
  RecordingStream target;
  int progress = 0;
  {
    TCompressionStream stream(TCompressionLevel::clDefault, target);
    stream.OnProgress = [&] { ++progress; };
    std::mt19937 random(4);
    std::size_t done = 0;
    while (done < input.size()) {
      const std::size_t n = std::min<std::size_t>(random() % 9000, input.size() - done);
      EXPECT_EQ(stream.Write(input.data() + done, n), n);
      done += n;
    }
    EXPECT_EQ(stream.Seek(0, TStream::Origin::kCurrent), static_cast<std::int64_t>(input.size()));
    const std::size_t writesBeforeFinish = target.writes.size();
    EXPECT_EQ(progress, static_cast<int>(writesBeforeFinish));
    for (std::size_t n : target.writes) EXPECT_EQ(n, kZlibBufferSize);
    stream.Finish();
    ASSERT_GT(target.writes.size(), writesBeforeFinish);
    for (std::size_t i = writesBeforeFinish; i < target.writes.size(); ++i)
      EXPECT_LE(target.writes[i], kZlibBufferSize);
  }
  EXPECT_GE(progress, 4);
  const auto data = target.bytes.Data();
  ASSERT_GE(data.size(), 2u);
  EXPECT_EQ(data[0], 0x78);
  EXPECT_EQ(data[1], 0x9C);
  const auto inflated = Inflate(data.data(), data.size());
  ASSERT_TRUE(inflated);
  EXPECT_EQ(*inflated, input);
}

TEST(TCompressionStream, PutsAMovedTargetBackWhereItLeftIt) {
  const auto input = RandomBytes(200000, 5);
  RecordingStream target;
  {
    TCompressionStream stream(TCompressionLevel::clDefault, target);
    stream.WriteBuffer(input.data(), 100000);
    ASSERT_FALSE(target.writes.empty());
    target.SetPosition(0);  // someone else moved it
    stream.WriteBuffer(input.data() + 100000, 100000);
    target.SetPosition(3);
    stream.Finish();
  }
  const auto data = target.bytes.Data();
  const auto inflated = Inflate(data.data(), data.size());
  ASSERT_TRUE(inflated);
  EXPECT_EQ(*inflated, input);
}

TEST(TCompressionStream, HandsZlibTheLevelVersionAndRecordSizeWeBuiltWith) {
  const std::pair<TCompressionLevel, int> levels[] = {{TCompressionLevel::clNone, 0},
                                                      {TCompressionLevel::clFastest, 1},
                                                      {TCompressionLevel::clDefault, -1},
                                                      {TCompressionLevel::clMax, 9}};
  for (const auto& [level, zlibLevel] : levels) {
    Fake::Reset();
    TMemoryStream target;
    {
      TCompressionStream stream(level, target, kFakeApi);
      stream.Finish();
    }
    EXPECT_EQ(Fake::level, zlibLevel);
    EXPECT_EQ(Fake::version, ZLIB_VERSION);
    EXPECT_EQ(Fake::streamSize, static_cast<int>(sizeof(z_stream)));
    EXPECT_EQ(Fake::ends, 1);
    const auto inflated = Inflate(target.Data().data(), target.Size());
    ASSERT_TRUE(inflated);
    EXPECT_TRUE(inflated->empty());
  }
}

TEST(TCompressionStream, RefusesReadingAndSeeking) {
  TMemoryStream target;
  TCompressionStream stream(TCompressionLevel::clDefault, target);
  const std::uint8_t bytes[3] = {1, 2, 3};
  stream.WriteBuffer(bytes, 3);
  std::uint8_t out[3];
  const auto invalid = [](auto&& operation) {
    try {
      operation();
    } catch (const ECompressionError& error) {
      return std::string(error.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(invalid([&] { stream.Read(out, 3); }), "Invalid stream operation");
  EXPECT_EQ(invalid([&] { stream.Seek(1, TStream::Origin::kCurrent); }),
            "Invalid stream operation");
  EXPECT_EQ(invalid([&] { stream.Seek(0, TStream::Origin::kBeginning); }),
            "Invalid stream operation");
  EXPECT_EQ(invalid([&] { stream.Seek(0, TStream::Origin::kEnd); }), "Invalid stream operation");
  EXPECT_EQ(stream.Seek(0, TStream::Origin::kCurrent), 3);
}

// Every way the compressor can fail ends in "error", and zlib's state is released whenever it
// was set up (the sanitizer build checks that nothing leaks).
TEST(TCompressionStream, ACompressorFailureIsReportedAsErrorAndReleasesEverything) {
  TBitmap picture;  // large enough for output buffers to be flushed before the failures
  picture.AdoptHandle(MakePicture(400, 300, [](int x, int y) {
    return Bgr{std::uint8_t(x * 7 + y), std::uint8_t(x ^ y), std::uint8_t(y * 13)};
  }));
  // A clean run counts the calls, so that a failure can be put between the first and the last.
  Fake::Reset();
  EncodePng(picture, kFakeApi);
  const int allCalls = Fake::calls;
  ASSERT_GE(allCalls, 3);
  struct Case {
    const char* name;
    std::function<void()> arrange;
    int expectedEnds;
  };
  const Case cases[] = {
      {"init", [] { Fake::failInit = true; }, 0},
      {"first deflate", [] { Fake::failAtCall = 1; }, 1},
      {"deflate in the middle", [&] { Fake::failAtCall = allCalls / 2 + 1; }, 1},
      {"finish", [] { Fake::failFinish = true; }, 1},
      {"finish stops early", [] { Fake::stallFinish = true; }, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fake::Reset();
    c.arrange();
    try {
      EncodePng(picture, kFakeApi);
      ADD_FAILURE() << "no error";
    } catch (const ECompressionError& error) {
      EXPECT_STREQ(error.what(), "error");
    }
    EXPECT_EQ(Fake::inits, 1);
    EXPECT_EQ(Fake::ends, c.expectedEnds);
  }
}

TEST(TCompressionStream, AFailingTargetEndsTheWriteAndStillReleasesZlib) {
  Fake::Reset();
  RecordingStream target;
  target.failWrites = true;
  const auto input = RandomBytes(100000, 6);
  {
    TCompressionStream stream(TCompressionLevel::clDefault, target, kFakeApi);
    EXPECT_THROW(stream.WriteBuffer(input.data(), input.size()), EWriteError);
  }
  EXPECT_EQ(Fake::ends, 1);
}

TEST(TMemoryStream, ReadsWritesAndSeeks) {
  TMemoryStream stream;
  const std::uint8_t bytes[] = {1, 2, 3, 4, 5};
  EXPECT_EQ(stream.Write(bytes, 5), 5u);
  EXPECT_EQ(stream.Seek(-2, TStream::Origin::kCurrent), 3);
  stream.WriteBuffer(bytes, 3);  // overwrites 4, 5 and grows by one
  EXPECT_EQ(stream.Size(), 6u);
  stream.SetPosition(0);
  std::uint8_t out[10] = {};
  EXPECT_EQ(stream.Read(out, 10), 6u);
  const std::uint8_t expected[] = {1, 2, 3, 1, 2, 3};
  EXPECT_EQ(std::memcmp(out, expected, 6), 0);
  EXPECT_EQ(stream.Seek(2, TStream::Origin::kEnd), 8);
  stream.WriteBuffer(bytes, 1);  // the gap reads as zeros
  EXPECT_EQ(stream.Size(), 9u);
  EXPECT_EQ(stream.Data()[6], 0);
  EXPECT_EQ(stream.Data()[8], 1);
  const auto released = stream.Release();
  EXPECT_EQ(released.size(), 9u);
  EXPECT_EQ(stream.Size(), 0u);
  EXPECT_EQ(stream.Position(), 0);
}

TEST(TMemoryStream, AGrowthBeyondMemoryIsAStreamErrorAndKeepsTheContent) {
  TMemoryStream stream;
  const std::uint8_t bytes[] = {9, 8};
  stream.WriteBuffer(bytes, 2);
  for (std::size_t count : {SIZE_MAX, SIZE_MAX - 1, SIZE_MAX / 2 + 1}) {
    try {
      stream.Write(bytes, count);  // the growth fails before anything is copied
      ADD_FAILURE() << "no error for " << count;
    } catch (const EStreamError& error) {
      EXPECT_STREQ(error.what(), "メモリストリームの拡大中にメモリが足りなくなりました");
    }
  }
  EXPECT_EQ(stream.Size(), 2u);
  EXPECT_EQ(stream.Data()[1], 8);
}
