// Writes the seeds of the wire fuzz target into the folder given: what a helper says in a
// session of the target (devices, a device opened with a resolution, its parameters, a scan,
// the close), with scans of each kind of frame and a failing one.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "scanner/wire/wire.h"

namespace {

using scanner::wire::Kind;
using scanner::wire::Packer;

SANE_Parameters Frame(SANE_Frame format, int depth, int width, int lines, bool last) {
  const int samples = format == SANE_FRAME_RGB ? 3 : 1;
  return {format, last ? SANE_TRUE : SANE_FALSE, (width * samples * depth + 7) / 8, width, lines,
          depth};
}

void Append(std::vector<std::uint8_t>& out, Packer& packer) {
  const std::vector<std::uint8_t>& message = packer.Message();
  out.insert(out.end(), message.begin(), message.end());
}

std::vector<std::uint8_t> Session(const std::vector<SANE_Parameters>& frames, int failure) {
  std::vector<std::uint8_t> out;
  Packer found(Kind::kFound);
  found.Int(0).Int(SANE_STATUS_GOOD).Int(1).Text("fuzz:0").Text("Fuzz").Text("Glass").Text("");
  Append(out, found);
  scanner::wire::Option resolution;
  resolution.name = "resolution";
  resolution.type = SANE_TYPE_INT;
  resolution.unit = SANE_UNIT_DPI;
  resolution.size = sizeof(SANE_Word);
  resolution.cap = SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT;
  resolution.constraint = SANE_CONSTRAINT_RANGE;
  resolution.min = 50;
  resolution.max = 600;
  resolution.word = 100;
  const std::vector<scanner::wire::Option> options{scanner::wire::Option{}, resolution};
  Packer opened(Kind::kOpened);
  opened.Int(SANE_STATUS_GOOD).Int(1);
  scanner::wire::PackOptions(opened, options);
  Append(out, opened);
  Packer set(Kind::kOptions);
  set.Int(SANE_STATUS_GOOD).Int(0);
  scanner::wire::PackOptions(set, options);
  Append(out, set);
  Packer parameters(Kind::kParameters);
  parameters.Int(SANE_STATUS_GOOD);
  scanner::wire::PackParameters(parameters, frames.front());
  Append(out, parameters);
  for (const SANE_Parameters& p : frames) {
    Packer frame(Kind::kFrame);
    scanner::wire::PackParameters(frame, p);
    Append(out, frame);
    const std::vector<std::uint8_t> bytes(
        static_cast<std::size_t>(p.bytes_per_line * (p.lines > 0 ? p.lines : 5)), 0x5A);
    Packer data(Kind::kData);
    data.Bytes(bytes.data(), bytes.size());
    Append(out, data);
    if (failure != 0) {
      Packer failed(Kind::kReadFailed);
      failed.Int(failure);
      Append(out, failed);
      break;
    }
    Packer end(Kind::kFrameEnd);
    Append(out, end);
  }
  Packer end(Kind::kScanEnd);
  end.Int(failure);
  Append(out, end);
  Packer done(Kind::kDone);
  Append(out, done);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::vector<std::vector<std::uint8_t>> seeds = {
      Session({Frame(SANE_FRAME_GRAY, 8, 40, 30, true)}, 0),
      Session({Frame(SANE_FRAME_RGB, 8, 7, 3, true)}, 0),
      Session({Frame(SANE_FRAME_GRAY, 1, 13, -1, true)}, 0),
      Session({Frame(SANE_FRAME_GRAY, 16, 5, 4, true)}, 0),
      Session({Frame(SANE_FRAME_RED, 8, 6, 2, false), Frame(SANE_FRAME_GREEN, 8, 6, 2, false),
               Frame(SANE_FRAME_BLUE, 8, 6, 2, true)},
              0),
      Session({Frame(SANE_FRAME_GRAY, 8, 40, 30, true)}, SANE_STATUS_JAMMED),
  };
  for (std::size_t i = 0; i < seeds.size(); ++i) {
    std::ofstream file(std::string(argv[1]) + "/session" + std::to_string(i + 1));
    file.write(reinterpret_cast<const char*>(seeds[i].data()),
               static_cast<std::streamsize>(seeds[i].size()));
    if (!file) return 1;
  }
  return 0;
}
