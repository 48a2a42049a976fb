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
#include <sane/sane.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

constexpr int kWidth = 40, kHeight = 30;

std::string Mode() {
  const char* path = std::getenv("FAKE_SANE_MODE");
  std::ifstream file(path ? path : "");
  std::string mode;
  return file >> mode ? mode : "ok";
}

const SANE_Device kDevice{"fake:0", "Fake", "Glass", "flatbed scanner"};
const SANE_Device* kDevices[] = {&kDevice, nullptr};
const SANE_String_Const kModes[] = {"Gray", nullptr};
const SANE_Range kResolutions{50, 600, 1};

SANE_Option_Descriptor descriptors[3];
char mode[16] = "Gray";
SANE_Word resolution = 100;
int line = 0;
bool scanning = false;
int handle = 0;

SANE_Option_Descriptor Descriptor(const char* name, SANE_Value_Type type, SANE_Unit unit,
                                  SANE_Int size, SANE_Int cap) {
  SANE_Option_Descriptor d{};
  d.name = name;
  d.title = name;
  d.desc = "";
  d.type = type;
  d.unit = unit;
  d.size = size;
  d.cap = cap;
  return d;
}

void Describe() {
  constexpr SANE_Int kSettable = SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT;
  descriptors[0] =
      Descriptor("", SANE_TYPE_INT, SANE_UNIT_NONE, sizeof(SANE_Word), SANE_CAP_SOFT_DETECT);
  descriptors[1] = Descriptor("mode", SANE_TYPE_STRING, SANE_UNIT_NONE, sizeof mode, kSettable);
  descriptors[1].constraint_type = SANE_CONSTRAINT_STRING_LIST;
  descriptors[1].constraint.string_list = kModes;
  descriptors[2] =
      Descriptor("resolution", SANE_TYPE_INT, SANE_UNIT_DPI, sizeof(SANE_Word), kSettable);
  descriptors[2].constraint_type = SANE_CONSTRAINT_RANGE;
  descriptors[2].constraint.range = &kResolutions;
}

}  // namespace

extern "C" {

SANE_Status sane_init(SANE_Int* version, SANE_Auth_Callback) {
  if (version) *version = SANE_VERSION_CODE(1, 0, 0);
  Describe();
  return SANE_STATUS_GOOD;
}

void sane_exit() {}

SANE_Status sane_get_devices(const SANE_Device*** list, SANE_Bool) {
  if (Mode() == "list-fails") return SANE_STATUS_IO_ERROR;
  *list = kDevices;
  return SANE_STATUS_GOOD;
}

SANE_Status sane_open(SANE_String_Const name, SANE_Handle* h) {
  if (std::strcmp(name, "fake:0") != 0) return SANE_STATUS_INVAL;
  *h = &handle;
  return SANE_STATUS_GOOD;
}

void sane_close(SANE_Handle) {}

const SANE_Option_Descriptor* sane_get_option_descriptor(SANE_Handle, SANE_Int option) {
  return option >= 0 && option < 3 ? &descriptors[option] : nullptr;
}

SANE_Status sane_control_option(SANE_Handle, SANE_Int option, SANE_Action action, void* value,
                                SANE_Int* info) {
  if (info) *info = 0;
  const bool get = action == SANE_ACTION_GET_VALUE;
  switch (option) {
    case 0:
      if (!get) return SANE_STATUS_INVAL;
      *static_cast<SANE_Word*>(value) = 3;
      return SANE_STATUS_GOOD;
    case 1:
      if (get)
        std::memcpy(value, mode, sizeof mode);
      else if (std::strcmp(static_cast<const char*>(value), "Gray") != 0)
        return SANE_STATUS_INVAL;
      return SANE_STATUS_GOOD;
    case 2:
      if (get)
        *static_cast<SANE_Word*>(value) = resolution;
      else
        resolution = *static_cast<SANE_Word*>(value);
      return SANE_STATUS_GOOD;
    default:
      return SANE_STATUS_INVAL;
  }
}

SANE_Status sane_get_parameters(SANE_Handle, SANE_Parameters* p) {
  p->format = SANE_FRAME_GRAY;
  p->last_frame = SANE_TRUE;
  p->bytes_per_line = kWidth;
  p->pixels_per_line = kWidth;
  p->lines = Mode() == "fuzzy" && !scanning ? 0 : kHeight;
  p->depth = 8;
  return SANE_STATUS_GOOD;
}

SANE_Status sane_start(SANE_Handle) {
  scanning = true;
  line = 0;
  return SANE_STATUS_GOOD;
}

SANE_Status sane_read(SANE_Handle, SANE_Byte* data, SANE_Int size, SANE_Int* length) {
  *length = 0;
  const std::string m = Mode();
  if (m == "hang-read")
    for (;;) ::pause();
  if (m == "crash") std::abort();
  if (m == "hang-cancel") return SANE_STATUS_JAMMED;
  const int lines = m == "no-data" ? 0 : m == "short" ? 10 : kHeight;
  if (m == "slow") ::usleep(50000);
  // One line per read when slow, otherwise as many as fit.
  const int last = m == "slow" ? std::min(line + 1, lines) : lines;
  for (; line < last && *length + kWidth <= size; ++line) {
    for (int x = 0; x < kWidth; ++x) data[*length + x] = static_cast<SANE_Byte>(x + 3 * line);
    *length += kWidth;
  }
  return *length > 0 ? SANE_STATUS_GOOD : SANE_STATUS_EOF;
}

void sane_cancel(SANE_Handle) {
  if (scanning && Mode() == "hang-cancel")
    for (;;) ::pause();
  scanning = false;
}

SANE_Status sane_set_io_mode(SANE_Handle, SANE_Bool) {
  return SANE_STATUS_UNSUPPORTED;
}

SANE_Status sane_get_select_fd(SANE_Handle, SANE_Int*) {
  return SANE_STATUS_UNSUPPORTED;
}

}  // extern "C"
