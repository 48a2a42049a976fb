// A SANE library of canned answers, loaded by the manager's helper process in place of the real
// one (LUMIVANE_SANE_LIBRARY). The first word of the file FAKE_SANE_MODE names, read at every
// call so that a test can change it while the helper runs, picks what the one device "fake:0"
// does:
//   ok           a gray 8-bit picture of 40 x 30 whose sample is (x + 3 y) mod 256
//   fuzzy        the same, with 0 lines announced before the scan starts
//   no-data      the scan ends before its first line
//   short        the scan ends after 10 of its 30 lines
//   slow         every read waits 50 ms and gives one line
//   hang-read    the first read never returns
//   hang-cancel  the first read fails with a paper jam and ending the scan never returns
//   crash        the first read kills the process
//   endless      lines of unknown number, one every 10 ms, until cancelled
//   late         the first read waits 3.5 s
//   freeze-read, freeze-close, freeze-exit
//                the first read, closing the device or ending SANE sends the manager half a
//                message from inside the helper, then never returns
//   network      the search also finds "net:fake", unless asked for local devices only
//   frame F D P B L LAST BYTES
//                each frame has format F (any number), depth D, P pixels and B bytes per line,
//                L lines and is the last one when LAST is 1; it brings BYTES bytes (-1: without
//                end), as fast as asked for
// A scan must end with sane_cancel before the next one starts, or the start is refused.
// Two more devices, opened by name only (not listed, so that the one device stays the one a
// search finds), have options of other kinds: "fake:1" a mode list with line art, resolutions as
// a word list, sources, the area in millimetres, a brightness and an inactive contrast;
// "fake:2" gray only with a depth list (line art is gray at 1 bit), resolutions as a word list
// of fixed-point numbers and sources none of which is called a flatbed. Every open starts from
// the defaults; a value outside what an option offers is refused (SANE_STATUS_INVAL). All scan
// the same picture. fake:1 also has a line-art threshold. When FAKE_SANE_RECORD names a file, every
// start of a scan writes there the values of the device's active number options, one
// "name value" a line.
//
// With FAKE_SANE_PICTURE naming a binary PPM file, "fake:1" is listed too, and in the mode "ok"
// every device scans that picture: the glass at 100 dpi from its top left corner (its edges going
// on beyond), at the resolution asked for (nearest pixel), within the area where the device has
// area options, in colour where the mode is "Color", else in gray.
#include <sane/sane.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr int kWidth = 40, kHeight = 30;

// The mode's first word, and the numbers after it.
std::string Mode(std::vector<long long>* numbers = nullptr) {
  const char* path = std::getenv("FAKE_SANE_MODE");
  std::ifstream file(path ? path : "");
  std::string mode;
  if (!(file >> mode)) return "ok";
  for (long long n = 0; numbers && file >> n;) numbers->push_back(n);
  return mode;
}

// Half a message to the manager, from inside the helper (its socket is descriptor 3); then the
// helper never answers again.
[[noreturn]] void Freeze() {
  const unsigned char half[] = {0x10, 0, 0};
  (void)!::write(3, half, sizeof half);
  for (;;) ::pause();
}

const SANE_Device kDevice{"fake:0", "Fake", "Glass", "flatbed scanner"};
const SANE_Device kNetworkDevice{"net:fake", "Fake", "Network", "flatbed scanner"};
const SANE_Device* kDevices[] = {&kDevice, nullptr};
const SANE_Device* kAllDevices[] = {&kDevice, &kNetworkDevice, nullptr};
const SANE_Device kAreaDevice{"fake:1", "Fake", "Area", "flatbed scanner"};
const SANE_Device* kGlassDevices[] = {&kDevice, &kAreaDevice, nullptr};

constexpr SANE_Int kSettable = SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT;

// One option: its description, the values it offers and its default.
struct FakeOption {
  const char* name;
  SANE_Value_Type type;
  SANE_Unit unit;
  SANE_Int cap;
  std::vector<const char*> strings;  // a string list
  std::vector<SANE_Word> words;      // a word list
  std::optional<SANE_Range> range;
  SANE_Word word;    // the default of a number or flag
  const char* text;  // the default of a string
};

SANE_Word Fix(double v) {
  return SANE_FIX(v);
}
FakeOption Strings(const char* name, std::vector<const char*> list, const char* value) {
  return {name, SANE_TYPE_STRING, SANE_UNIT_NONE, kSettable, std::move(list), {}, {}, 0, value};
}
FakeOption Words(const char* name, SANE_Value_Type type, SANE_Unit unit,
                 std::vector<SANE_Word> list, SANE_Word value) {
  return {name, type, unit, kSettable, {}, std::move(list), {}, value, nullptr};
}
FakeOption Ranged(const char* name, SANE_Value_Type type, SANE_Unit unit, SANE_Range range,
                  SANE_Word value, SANE_Int cap = kSettable) {
  return {name, type, unit, cap, {}, {}, range, value, nullptr};
}

const std::vector<FakeOption> kOptions[] = {
    {Strings("mode", {"Gray"}, "Gray"),
     Ranged("resolution", SANE_TYPE_INT, SANE_UNIT_DPI, {50, 600, 1}, 100)},
    {Strings("mode", {"Color", "Gray", "Lineart"}, "Color"),
     Words("resolution", SANE_TYPE_INT, SANE_UNIT_DPI, {75, 150, 300, 600}, 150),
     Strings("source", {"Flatbed", "ADF Duplex", "ADF"}, "Flatbed"),
     Ranged("tl-x", SANE_TYPE_FIXED, SANE_UNIT_MM, {0, Fix(215), 0}, 0),
     Ranged("tl-y", SANE_TYPE_FIXED, SANE_UNIT_MM, {0, Fix(297), 0}, 0),
     Ranged("br-x", SANE_TYPE_FIXED, SANE_UNIT_MM, {0, Fix(215), 0}, Fix(215)),
     Ranged("br-y", SANE_TYPE_FIXED, SANE_UNIT_MM, {0, Fix(297), 0}, Fix(297)),
     Ranged("brightness", SANE_TYPE_INT, SANE_UNIT_NONE, {-100, 100, 1}, 0),
     Ranged("contrast", SANE_TYPE_INT, SANE_UNIT_NONE, {-100, 100, 1}, 0,
            kSettable | SANE_CAP_INACTIVE),
     Ranged("threshold", SANE_TYPE_INT, SANE_UNIT_NONE, {0, 255, 1}, 128)},
    {Strings("mode", {"Gray"}, "Gray"), Words("depth", SANE_TYPE_INT, SANE_UNIT_BIT, {1, 8}, 8),
     Words("resolution", SANE_TYPE_FIXED, SANE_UNIT_DPI, {Fix(100), Fix(200.5)}, Fix(100)),
     Strings("source", {"ADF Duplex", "Automatic Document Feeder", "Glass"}, "Glass")},
};
constexpr int kTextSize = 32;

// An open device's options as SANE describes them (index 0 is the count), and their values.
struct OpenDevice {
  const std::vector<FakeOption>* options = nullptr;
  std::vector<SANE_Option_Descriptor> descriptors;
  std::vector<std::vector<SANE_String_Const>> stringLists;
  std::vector<std::vector<SANE_Word>> wordLists;  // SANE's form: the count first
  std::vector<SANE_Word> words;
  std::vector<std::string> texts;
};
OpenDevice devices[std::size(kOptions)];

int line = 0;
// The picture scanned in the mode "ok" with FAKE_SANE_PICTURE, and how much of it was read.
std::vector<SANE_Byte> served;
std::size_t servedRead = 0;
long long frameBytes = 0;  // of the frame under way, in the mode "frame"
bool scanning = false;
bool ended = false;  // the last frame was read; a new scan waits for sane_cancel

void OpenWith(OpenDevice& device, const std::vector<FakeOption>& options) {
  device = OpenDevice{};
  device.options = &options;
  SANE_Option_Descriptor count{};
  count.name = "";
  count.title = "";
  count.desc = "";
  count.type = SANE_TYPE_INT;
  count.size = sizeof(SANE_Word);
  count.cap = SANE_CAP_SOFT_DETECT;
  device.descriptors.push_back(count);
  device.stringLists.resize(options.size() + 1);
  device.wordLists.resize(options.size() + 1);
  device.words.push_back(static_cast<SANE_Word>(options.size() + 1));
  device.texts.emplace_back();
  for (std::size_t i = 0; i < options.size(); ++i) {
    const FakeOption& o = options[i];
    SANE_Option_Descriptor d{};
    d.name = o.name;
    d.title = o.name;
    d.desc = "";
    d.type = o.type;
    d.unit = o.unit;
    d.size = o.type == SANE_TYPE_STRING ? kTextSize : static_cast<SANE_Int>(sizeof(SANE_Word));
    d.cap = o.cap;
    if (!o.strings.empty()) {
      auto& list = device.stringLists[i + 1];
      list.assign(o.strings.begin(), o.strings.end());
      list.push_back(nullptr);
      d.constraint_type = SANE_CONSTRAINT_STRING_LIST;
    } else if (!o.words.empty()) {
      auto& list = device.wordLists[i + 1];
      list.push_back(static_cast<SANE_Word>(o.words.size()));
      list.insert(list.end(), o.words.begin(), o.words.end());
      d.constraint_type = SANE_CONSTRAINT_WORD_LIST;
    } else if (o.range) {
      d.constraint_type = SANE_CONSTRAINT_RANGE;
      d.constraint.range = &*o.range;
    }
    device.descriptors.push_back(d);
    device.words.push_back(o.word);
    device.texts.emplace_back(o.text ? o.text : "");
  }
  // The lists are in place now: point at them.
  for (std::size_t i = 1; i < device.descriptors.size(); ++i) {
    if (!device.stringLists[i].empty())
      device.descriptors[i].constraint.string_list = device.stringLists[i].data();
    if (!device.wordLists[i].empty())
      device.descriptors[i].constraint.word_list = device.wordLists[i].data();
  }
}

// Whether option i of device offers value (a number or flag).
bool Offered(const OpenDevice& device, std::size_t i, SANE_Word value) {
  const FakeOption& o = (*device.options)[i - 1];
  if (!o.words.empty()) return std::find(o.words.begin(), o.words.end(), value) != o.words.end();
  if (o.range)
    return value >= o.range->min && value <= o.range->max &&
           (o.range->quant == 0 || (value - o.range->min) % o.range->quant == 0);
  return o.type != SANE_TYPE_BOOL || value == SANE_TRUE || value == SANE_FALSE;
}

// The picture FAKE_SANE_PICTURE names: its size and RGB samples; none without one.
struct Glass {
  int width = 0, height = 0;
  std::vector<unsigned char> rgb;
};
Glass ReadGlass() {
  Glass g;
  const char* path = std::getenv("FAKE_SANE_PICTURE");
  std::ifstream file(path ? path : "", std::ios::binary);
  std::string magic;
  if (!(file >> magic >> g.width >> g.height) || magic != "P6" || !file.ignore(5)) return {};
  g.rgb.resize(std::size_t(g.width) * g.height * 3);
  return file.read(reinterpret_cast<char*>(g.rgb.data()), std::streamsize(g.rgb.size())) ? g
                                                                                         : Glass{};
}

// An option's value by name (of a fixed-point option in whole units, of a string option whether
// it is "Color"), or fallback when the device does not have it.
double Option(const OpenDevice& device, const std::string& name, double fallback) {
  for (std::size_t i = 0; i < device.options->size(); ++i) {
    const FakeOption& o = (*device.options)[i];
    if (name != o.name) continue;
    if (o.type == SANE_TYPE_STRING) return device.texts[i + 1] == "Color";
    return o.type == SANE_TYPE_FIXED ? SANE_UNFIX(device.words[i + 1]) : device.words[i + 1];
  }
  return fallback;
}

constexpr double kGlassDpi = 100, kMmPerInch = 25.4;

// What the device scans of the glass: its parameters, and its bytes when bytes is not null.
SANE_Parameters Scan(const OpenDevice& device, const Glass& glass, std::vector<SANE_Byte>* bytes) {
  const double dpi = Option(device, "resolution", kGlassDpi);
  const bool colour = Option(device, "mode", 0) != 0;
  const double left = Option(device, "tl-x", 0), top = Option(device, "tl-y", 0),
               right = Option(device, "br-x", glass.width * kMmPerInch / kGlassDpi),
               bottom = Option(device, "br-y", glass.height * kMmPerInch / kGlassDpi);
  const int channels = colour ? 3 : 1;
  SANE_Parameters p{colour ? SANE_FRAME_RGB : SANE_FRAME_GRAY, SANE_TRUE, 0, 0, 0, 8};
  p.pixels_per_line = std::max(0, int((right - left) * dpi / kMmPerInch));
  p.lines = std::max(0, int((bottom - top) * dpi / kMmPerInch));
  p.bytes_per_line = p.pixels_per_line * channels;
  // Each pixel the glass's pixel under its centre.
  const auto at = [&](double mm, int pixel, int size) {
    return std::clamp(int((mm * dpi / kMmPerInch + pixel + 0.5) * kGlassDpi / dpi), 0, size - 1);
  };
  for (int y = 0; bytes && y < p.lines; ++y)
    for (int x = 0; x < p.pixels_per_line; ++x) {
      const unsigned char* rgb = &glass.rgb[(std::size_t(at(top, y, glass.height)) * glass.width +
                                             at(left, x, glass.width)) *
                                            3];
      for (int c = 0; c < channels; ++c)
        bytes->push_back(SANE_Byte(colour ? rgb[c] : (rgb[0] + rgb[1] + rgb[2]) / 3));
    }
  return p;
}

// What the device has at the start of a scan, for FAKE_SANE_RECORD.
void Record(const OpenDevice& device) {
  const char* path = std::getenv("FAKE_SANE_RECORD");
  if (!path) return;
  std::ofstream file(path);
  for (std::size_t i = 1; i < device.descriptors.size(); ++i) {
    const SANE_Option_Descriptor& d = device.descriptors[i];
    if (SANE_OPTION_IS_ACTIVE(d.cap) && d.type == SANE_TYPE_INT)
      file << d.name << ' ' << device.words[i] << '\n';
  }
}

}  // namespace

extern "C" {

SANE_Status sane_init(SANE_Int* version, SANE_Auth_Callback) {
  if (version) *version = SANE_VERSION_CODE(1, 0, 0);
  return SANE_STATUS_GOOD;
}

void sane_exit() {
  if (Mode() == "freeze-exit") Freeze();
}

SANE_Status sane_get_devices(const SANE_Device*** list, SANE_Bool localOnly) {
  const std::string mode = Mode();
  if (mode == "list-fails") return SANE_STATUS_IO_ERROR;
  *list = mode == "network" && !localOnly    ? kAllDevices
          : std::getenv("FAKE_SANE_PICTURE") ? kGlassDevices
                                             : kDevices;
  return SANE_STATUS_GOOD;
}

SANE_Status sane_open(SANE_String_Const name, SANE_Handle* h) {
  for (std::size_t i = 0; i < std::size(kOptions); ++i)
    if (name == "fake:" + std::to_string(i)) {
      OpenWith(devices[i], kOptions[i]);
      *h = &devices[i];
      return SANE_STATUS_GOOD;
    }
  return SANE_STATUS_INVAL;
}

void sane_close(SANE_Handle) {
  if (Mode() == "freeze-close") Freeze();
}

const SANE_Option_Descriptor* sane_get_option_descriptor(SANE_Handle h, SANE_Int option) {
  const OpenDevice& device = *static_cast<OpenDevice*>(h);
  return option >= 0 && static_cast<std::size_t>(option) < device.descriptors.size()
             ? &device.descriptors[static_cast<std::size_t>(option)]
             : nullptr;
}

SANE_Status sane_control_option(SANE_Handle h, SANE_Int option, SANE_Action action, void* value,
                                SANE_Int* info) {
  OpenDevice& device = *static_cast<OpenDevice*>(h);
  if (info) *info = 0;
  if (option < 0 || static_cast<std::size_t>(option) >= device.descriptors.size())
    return SANE_STATUS_INVAL;
  const auto i = static_cast<std::size_t>(option);
  const SANE_Option_Descriptor& d = device.descriptors[i];
  if (!SANE_OPTION_IS_ACTIVE(d.cap)) return SANE_STATUS_INVAL;
  const bool text = d.type == SANE_TYPE_STRING;
  if (action == SANE_ACTION_GET_VALUE) {
    if (text)
      std::snprintf(static_cast<char*>(value), kTextSize, "%s", device.texts[i].c_str());
    else
      *static_cast<SANE_Word*>(value) = device.words[i];
    return SANE_STATUS_GOOD;
  }
  if (action != SANE_ACTION_SET_VALUE || !SANE_OPTION_IS_SETTABLE(d.cap)) return SANE_STATUS_INVAL;
  if (text) {
    const std::string wanted = static_cast<const char*>(value);
    const auto& offered = (*device.options)[i - 1].strings;
    if (std::find(offered.begin(), offered.end(), wanted) == offered.end())
      return SANE_STATUS_INVAL;
    device.texts[i] = wanted;
  } else {
    const SANE_Word wanted = *static_cast<SANE_Word*>(value);
    if (!Offered(device, i, wanted)) return SANE_STATUS_INVAL;
    device.words[i] = wanted;
  }
  return SANE_STATUS_GOOD;
}

SANE_Status sane_get_parameters(SANE_Handle h, SANE_Parameters* p) {
  std::vector<long long> n;
  const std::string mode = Mode(&n);
  if (const Glass glass = ReadGlass(); mode == "ok" && !glass.rgb.empty()) {
    *p = Scan(*static_cast<OpenDevice*>(h), glass, nullptr);
    return SANE_STATUS_GOOD;
  }
  if (mode == "frame" && n.size() == 7) {
    // Any numbers, as a backend may write them (the format too).
    const SANE_Int fields[] = {int(n[0]), int(n[5]), int(n[3]), int(n[2]), int(n[4]), int(n[1])};
    std::memcpy(p, fields, sizeof *p);
    return SANE_STATUS_GOOD;
  }
  p->format = SANE_FRAME_GRAY;
  p->last_frame = SANE_TRUE;
  p->bytes_per_line = kWidth;
  p->pixels_per_line = kWidth;
  p->lines = mode == "endless" ? -1 : mode == "fuzzy" && !scanning ? 0 : kHeight;
  p->depth = 8;
  return SANE_STATUS_GOOD;
}

SANE_Status sane_start(SANE_Handle h) {
  if (ended) return SANE_STATUS_DEVICE_BUSY;
  Record(*static_cast<OpenDevice*>(h));
  scanning = true;
  line = 0;
  frameBytes = 0;
  served.clear();
  servedRead = 0;
  if (const Glass glass = ReadGlass(); Mode() == "ok" && !glass.rgb.empty())
    Scan(*static_cast<OpenDevice*>(h), glass, &served);
  return SANE_STATUS_GOOD;
}

SANE_Status sane_read(SANE_Handle h, SANE_Byte* data, SANE_Int size, SANE_Int* length) {
  *length = 0;
  std::vector<long long> n;
  const std::string m = Mode(&n);
  if (m == "hang-read")
    for (;;) ::pause();
  if (m == "freeze-read") Freeze();
  if (m == "crash") std::abort();
  if (m == "hang-cancel") return SANE_STATUS_JAMMED;
  if (m == "late" && line == 0) ::usleep(3500000);
  if (!served.empty()) {
    *length = static_cast<SANE_Int>(std::min<std::size_t>(size, served.size() - servedRead));
    std::memcpy(data, served.data() + servedRead, static_cast<std::size_t>(*length));
    servedRead += static_cast<std::size_t>(*length);
  } else if (m == "frame" && n.size() == 7) {
    const long long left = n[6] < 0 ? size : std::min<long long>(size, n[6] - frameBytes);
    *length = static_cast<SANE_Int>(std::max(0LL, left));
    std::memset(data, 0x5A, static_cast<std::size_t>(*length));
    frameBytes += *length;
  } else {
    const int lines = m == "no-data" ? 0 : m == "short" ? 10 : m == "endless" ? line + 1 : kHeight;
    if (m == "slow") ::usleep(50000);
    if (m == "endless") ::usleep(10000);
    // One line per read when slow, otherwise as many as fit.
    const int last = m == "slow" ? std::min(line + 1, lines) : lines;
    for (; line < last && *length + kWidth <= size; ++line) {
      for (int x = 0; x < kWidth; ++x) data[*length + x] = static_cast<SANE_Byte>(x + 3 * line);
      *length += kWidth;
    }
  }
  if (*length > 0) return SANE_STATUS_GOOD;
  SANE_Parameters p{};
  sane_get_parameters(h, &p);
  ended = p.last_frame != SANE_FALSE;
  return SANE_STATUS_EOF;
}

void sane_cancel(SANE_Handle) {
  if (scanning && Mode() == "hang-cancel")
    for (;;) ::pause();
  scanning = false;
  ended = false;
}

SANE_Status sane_set_io_mode(SANE_Handle, SANE_Bool) {
  return SANE_STATUS_UNSUPPORTED;
}

SANE_Status sane_get_select_fd(SANE_Handle, SANE_Int*) {
  return SANE_STATUS_UNSUPPORTED;
}

}  // extern "C"
