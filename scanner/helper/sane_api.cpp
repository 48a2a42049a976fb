#include "sane_api.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

#include "scanner/wire/wire.h"

namespace scanner {

struct SaneApi::Functions {
  SANE_Status (*init)(SANE_Int*, SANE_Auth_Callback);
  void (*exit)();
  SANE_Status (*get_devices)(const SANE_Device***, SANE_Bool);
  SANE_Status (*open)(SANE_String_Const, SANE_Handle*);
  void (*close)(SANE_Handle);
  const SANE_Option_Descriptor* (*get_option_descriptor)(SANE_Handle, SANE_Int);
  SANE_Status (*control_option)(SANE_Handle, SANE_Int, SANE_Action, void*, SANE_Int*);
  SANE_Status (*get_parameters)(SANE_Handle, SANE_Parameters*);
  SANE_Status (*start)(SANE_Handle);
  SANE_Status (*read)(SANE_Handle, SANE_Byte*, SANE_Int, SANE_Int*);
  void (*cancel)(SANE_Handle);
  SANE_Status (*set_io_mode)(SANE_Handle, SANE_Bool);
  SANE_Status (*get_select_fd)(SANE_Handle, SANE_Int*);
};

namespace {

constexpr const char* kSaneLibrary = "libsane.so.1";

template <typename Function>
bool Resolve(void* library, const char* name, Function& function) {
  function = reinterpret_cast<Function>(::dlsym(library, name));
  return function != nullptr;
}

// A backend's status, read as the number it returned: one that SANE does not define is an I/O
// error of the device.
SANE_Status Checked(const SANE_Status& returned) {
  return wire::StatusOf(wire::NumberIn(returned)).value_or(SANE_STATUS_IO_ERROR);
}

const char* StatusName(SANE_Status status) {
  static constexpr const char* kNames[] = {
      "GOOD",   "UNSUPPORTED", "CANCELLED",  "DEVICE_BUSY", "INVAL",  "EOF",
      "JAMMED", "NO_DOCS",     "COVER_OPEN", "IO_ERROR",    "NO_MEM", "ACCESS_DENIED"};
  const auto i = static_cast<unsigned>(status);
  return i < std::size(kNames) ? kNames[i] : "?";
}

}  // namespace

SaneApi::SaneApi(std::unique_ptr<Functions> functions)
    : f_(std::move(functions)), trace_(std::getenv("LUMIVANE_SCANNER_TRACE") != nullptr) {}

SaneApi::~SaneApi() = default;

std::unique_ptr<SaneApi> SaneApi::Load() {
  const char* path = std::getenv("LUMIVANE_SANE_LIBRARY");
  // Kept for the life of the process: backends may leave threads and handlers behind that point
  // into it.
  void* library =
      ::dlopen(path && *path ? path : kSaneLibrary, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (!library) return nullptr;
  auto f = std::make_unique<Functions>();
  const bool complete =
      Resolve(library, "sane_init", f->init) && Resolve(library, "sane_exit", f->exit) &&
      Resolve(library, "sane_get_devices", f->get_devices) &&
      Resolve(library, "sane_open", f->open) && Resolve(library, "sane_close", f->close) &&
      Resolve(library, "sane_get_option_descriptor", f->get_option_descriptor) &&
      Resolve(library, "sane_control_option", f->control_option) &&
      Resolve(library, "sane_get_parameters", f->get_parameters) &&
      Resolve(library, "sane_start", f->start) && Resolve(library, "sane_read", f->read) &&
      Resolve(library, "sane_cancel", f->cancel) &&
      Resolve(library, "sane_set_io_mode", f->set_io_mode) &&
      Resolve(library, "sane_get_select_fd", f->get_select_fd);
  if (!complete) return nullptr;
  return std::unique_ptr<SaneApi>(new SaneApi(std::move(f)));
}

#define LV_TRACE(...)                                    \
  do {                                                   \
    if (trace_) (void)std::fprintf(stderr, __VA_ARGS__); \
  } while (0)

SANE_Status SaneApi::Init() {
  SANE_Int version = 0;
  const SANE_Status s = Checked(f_->init(&version, nullptr));
  LV_TRACE("sane_init -> %s\n", StatusName(s));
  return s;
}

void SaneApi::Exit() {
  LV_TRACE("sane_exit\n");
  f_->exit();
}

SANE_Status SaneApi::GetDevices(const SANE_Device*** list) {
  const SANE_Status s = Checked(f_->get_devices(list, SANE_FALSE));
  LV_TRACE("sane_get_devices -> %s\n", StatusName(s));
  return s;
}

SANE_Status SaneApi::Open(const char* name, SANE_Handle* handle) {
  const SANE_Status s = Checked(f_->open(name, handle));
  LV_TRACE("sane_open(%s) -> %s\n", name, StatusName(s));
  return s;
}

void SaneApi::Close(SANE_Handle handle) {
  LV_TRACE("sane_close\n");
  f_->close(handle);
}

const SANE_Option_Descriptor* SaneApi::Descriptor(SANE_Handle handle, SANE_Int option) {
  return f_->get_option_descriptor(handle, option);
}

SANE_Status SaneApi::Control(SANE_Handle handle, SANE_Int option, SANE_Action action, void* value,
                             SANE_Int* info) {
  const SANE_Status s = Checked(f_->control_option(handle, option, action, value, info));
  if (action == SANE_ACTION_SET_VALUE)
    LV_TRACE("sane_control_option(%d, set) -> %s\n", option, StatusName(s));
  return s;
}

SANE_Status SaneApi::Parameters(SANE_Handle handle, SANE_Parameters* parameters) {
  const SANE_Status s = Checked(f_->get_parameters(handle, parameters));
  LV_TRACE("sane_get_parameters -> %s (%d x %d)\n", StatusName(s), parameters->pixels_per_line,
           parameters->lines);
  return s;
}

SANE_Status SaneApi::Start(SANE_Handle handle) {
  const SANE_Status s = Checked(f_->start(handle));
  LV_TRACE("sane_start -> %s\n", StatusName(s));
  return s;
}

SANE_Status SaneApi::Read(SANE_Handle handle, SANE_Byte* data, SANE_Int size, SANE_Int* length) {
  const SANE_Status s = Checked(f_->read(handle, data, size, length));
  LV_TRACE("sane_read -> %s %d\n", StatusName(s), *length);
  return s;
}

void SaneApi::Cancel(SANE_Handle handle) {
  LV_TRACE("sane_cancel\n");
  f_->cancel(handle);
  LV_TRACE("sane_cancel returned\n");
}

SANE_Status SaneApi::SetIoMode(SANE_Handle handle, bool nonBlocking) {
  const SANE_Status s = Checked(f_->set_io_mode(handle, nonBlocking ? SANE_TRUE : SANE_FALSE));
  LV_TRACE("sane_set_io_mode(%d) -> %s\n", nonBlocking ? 1 : 0, StatusName(s));
  return s;
}

SANE_Status SaneApi::SelectFd(SANE_Handle handle, SANE_Int* fd) {
  const SANE_Status s = Checked(f_->get_select_fd(handle, fd));
  LV_TRACE("sane_get_select_fd -> %s\n", StatusName(s));
  return s;
}

}  // namespace scanner
