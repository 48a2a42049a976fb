#include "scanner/wire/wire.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

namespace scanner::wire {
namespace {

// The payload of a packed message, as the other side's reader gets it.
Unpacker Received(Packer& packer, Kind kind) {
  const std::vector<std::uint8_t>& message = packer.Message();
  return Unpacker(kind, std::vector<std::uint8_t>(message.begin() + kHeaderSize, message.end()));
}

constexpr std::int64_t kLargest = std::numeric_limits<std::int32_t>::max();
constexpr std::int64_t kSmallest = std::numeric_limits<std::int32_t>::min();

// A number that no SANE word holds garbles the message; one at either end of the range does not.
TEST(Wire, ParametersBeyondASaneWordFailTheMessage) {
  const struct {
    std::int64_t bytesPerLine;
    bool fails;
  } cases[] = {{kLargest, false}, {kSmallest, false}, {kLargest + 1, true}, {kSmallest - 1, true}};
  for (const auto& c : cases) {
    Packer packer(Kind::kParameters);
    packer.Int(SANE_FRAME_GRAY).Int(SANE_TRUE).Int(c.bytesPerLine).Int(640).Int(-1).Int(8);
    Unpacker u = Received(packer, Kind::kParameters);
    const SANE_Parameters p = UnpackParameters(u).value_or(SANE_Parameters{});
    EXPECT_EQ(u.failed(), c.fails) << c.bytesPerLine;
    if (!c.fails) {
      EXPECT_EQ(p.bytes_per_line, c.bytesPerLine);
      EXPECT_EQ(p.pixels_per_line, 640);
      EXPECT_EQ(p.lines, -1);
      EXPECT_EQ(p.depth, 8);
    }
  }
}

TEST(Wire, AnOptionsValueBeyondASaneWordFailsTheList) {
  for (const std::int64_t word : {kLargest, kLargest + 1}) {
    Packer packer(Kind::kOptions);
    packer.Int(1).Text("brightness").Int(SANE_TYPE_INT).Int(SANE_UNIT_NONE).Int(4).Int(5);
    packer.Int(SANE_CONSTRAINT_NONE).Int(0).Int(0).Int(0).Int(0).Int(0).Int(word).Int(0).Text("");
    Unpacker u = Received(packer, Kind::kOptions);
    const std::vector<Option> options = UnpackOptions(u);
    if (word == kLargest) {
      ASSERT_EQ(options.size(), 1u);
      EXPECT_FALSE(u.failed());
      EXPECT_EQ(options[0].word, kLargest);
    } else {
      EXPECT_TRUE(u.failed());
      EXPECT_TRUE(options.empty());
    }
  }
}

}  // namespace
}  // namespace scanner::wire
