// Every stored input that once crashed a reader, hung it, made it allocate gigabytes or was
// refused though valid (tests/platform/regressions/, with what scripts/fuzz finds), read the way
// the program reads it, each in a child process under an address-space and a CPU-time limit:
// the reader must end with its picture or a clear message, never with a signal.
#include <gtest/gtest.h>
#include <jerror.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>

#include "platform/errors.h"
#include "platform/picture_files.h"
#include "support/test_support.h"
#include "twain/TwainUtils.h"

namespace {

constexpr rlim_t kAddressSpace = rlim_t{512} << 20;
constexpr rlim_t kCpuSeconds = 30;

struct Outcome {
  bool exited = false;  // normally, with status 0
  std::string how;      // otherwise: the signal or status
  std::string message;  // "" when the picture was read
};

// Runs read in a child process under the limits and returns what it reported.
Outcome RunLimited(const std::function<void()>& read) {
  int fds[2];
  if (::pipe(fds) != 0) return {false, "no pipe", ""};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    const rlimit space{kAddressSpace, kAddressSpace}, cpu{kCpuSeconds, kCpuSeconds};
    if (!kAddressSanitizer) ::setrlimit(RLIMIT_AS, &space);
    ::setrlimit(RLIMIT_CPU, &cpu);
    std::string message;
    try {
      read();
    } catch (const std::exception& e) {
      message = ExceptionMessage(e);
    }
    const bool sent =
        ::write(fds[1], message.data(), message.size()) == static_cast<ssize_t>(message.size());
    ::_exit(sent ? 0 : 3);
  }
  ::close(fds[1]);
  Outcome outcome;
  char buffer[512];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
    outcome.message.append(buffer, static_cast<std::size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  outcome.exited = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (WIFSIGNALED(status)) outcome.how = "signal " + std::to_string(WTERMSIG(status));
  if (WIFEXITED(status)) outcome.how = "status " + std::to_string(WEXITSTATUS(status));
  return outcome;
}

bool IsClearMessage(const std::string& m) {
  return m.empty() || m == msg::kStreamRead || m == msg::kInvalidBitmap || m == msg::kPngInvalid ||
         m == msg::kPngTruncated || m == msg::kImageTooLarge || m == msg::kOutOfMemory ||
         m.starts_with("JPEG エラー #") || m == FormatMessage(msg::kJpegTooManyScans, 100);
}

// What the hand-made inputs must give (file name in its folder -> message, "" when read).
// Inputs found by fuzzing need only end cleanly.
const std::map<std::string, std::string>& Expected() {
  static const std::map<std::string, std::string> expected = {
      {"sparse-rle8-early-end.bmp", ""},
      {"sparse-rle4-deltas.bmp", ""},
      {"rle8-beyond-limit.bmp", msg::kImageTooLarge},
      {"rle8-1600mb.bmp", msg::kOutOfMemory},
      {"core-short-table.bmp", ""},
      {"24bit-colours-used-1000.bmp", ""},
      {"2bit.bmp", ""},
      {"os2-16-byte-header.bmp", ""},
      {"sparse-rle8-early-end.dib", ""},
      {"rle8-beyond-limit.dib", msg::kImageTooLarge},
      {"progressive-30000x30000.jpg", msg::kImageTooLarge},
      {"progressive-65500x65500.jpg", msg::kImageTooLarge},
      {"baseline-30000x30000.jpg", msg::kImageTooLarge},
      {"baseline-65500x65500.jpg", msg::kImageTooLarge},
      // 432 MB of picture: a truncated baseline file decodes (gray below what it holds); a
      // progressive one also needs its coefficient buffers, which the limit does not leave.
      {"baseline-12000x12000.jpg", ""},
      {"progressive-12000x12000.jpg", FormatMessage(msg::kJpegError, JERR_OUT_OF_MEMORY)},
      // Hundreds of scans over a large picture: minutes of decoding, refused at once.
      {"progressive-500-scans-4000x4000.jpg", FormatMessage(msg::kJpegTooManyScans, 100)},
      {"progressive-1000-scans-8000x8000.jpg", FormatMessage(msg::kJpegTooManyScans, 100)},
      {"gray1-26000x26000.png", msg::kOutOfMemory},  // 82 KB of data for a 2 GB picture
  };
  return expected;
}

// Files whose outcome depends on the address-space limit, which sanitizer builds cannot set.
bool NeedsTheLimit(const std::string& name) {
  return name == "rle8-1600mb.bmp" || name == "progressive-12000x12000.jpg" ||
         name == "baseline-12000x12000.jpg" || name == "gray1-26000x26000.png";
}

}  // namespace

TEST(Regressions, EveryStoredInputEndsWithAPictureOrAClearMessage) {
  namespace fs = std::filesystem;
  const fs::path root = LUMIVANE_REGRESSIONS;
  int files = 0;
  for (const char* folder : {"bitmap_file", "jpeg", "png", "packed_dib"}) {
    for (const auto& entry : fs::directory_iterator(root / folder)) {
      const std::string path = entry.path().string();
      const std::string name = entry.path().filename().string();
      if (kAddressSanitizer && NeedsTheLimit(name)) continue;
      SCOPED_TRACE(path);
      ++files;
      // Files as the open command reads them (the name picks the decoder), native images as
      // an acquisition draws them.
      const Outcome outcome = RunLimited([&] {
        TBitmap picture;
        if (std::string_view(folder) == "packed_dib") {
          const auto block = ReadBytes(path);
          DrawPackedDib(picture, block.data(), block.size());
        } else {
          LoadPictureFile(picture, path);
        }
      });
      EXPECT_TRUE(outcome.exited) << outcome.how;
      EXPECT_TRUE(IsClearMessage(outcome.message)) << outcome.message;
      if (const auto it = Expected().find(name); it != Expected().end()) {
        EXPECT_EQ(outcome.message, it->second);
      }
    }
  }
  EXPECT_GE(files, 10);
}
