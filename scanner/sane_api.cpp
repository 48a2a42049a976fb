#include "sane_api.h"

#include <dlfcn.h>

#include <atomic>
#include <optional>

namespace scanner {
namespace {

constexpr const char* kSaneLibrary = "libsane.so.1";

// Discovery may run on a worker thread while the GUI thread waits for it.
std::atomic<bool> started = false;

template <typename Function>
bool Resolve(void* library, const char* name, Function& function) {
  function = reinterpret_cast<Function>(::dlsym(library, name));
  return function != nullptr;
}

std::optional<SaneApi> Load() {
  // Kept for the life of the process: backends may leave threads and handlers behind that
  // point into it.
  void* library = ::dlopen(kSaneLibrary, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (!library) return std::nullopt;
  SaneApi api{};
  const bool complete =
      Resolve(library, "sane_init", api.init) && Resolve(library, "sane_exit", api.exit) &&
      Resolve(library, "sane_get_devices", api.get_devices) &&
      Resolve(library, "sane_open", api.open) && Resolve(library, "sane_close", api.close) &&
      Resolve(library, "sane_get_option_descriptor", api.get_option_descriptor) &&
      Resolve(library, "sane_control_option", api.control_option) &&
      Resolve(library, "sane_get_parameters", api.get_parameters) &&
      Resolve(library, "sane_start", api.start) && Resolve(library, "sane_read", api.read) &&
      Resolve(library, "sane_cancel", api.cancel);
  if (!complete) return std::nullopt;
  return api;
}

}  // namespace

const SaneApi* Sane() {
  static const std::optional<SaneApi> api = Load();
  return api ? &*api : nullptr;
}

bool StartSane() {
  if (started) return true;
  const SaneApi* api = Sane();
  if (!api) return false;
  SANE_Int version = 0;
  started = api->init(&version, nullptr) == SANE_STATUS_GOOD;
  return started;
}

void EndSane() {
  if (!started) return;
  started = false;
  Sane()->exit();
}

bool SaneStarted() {
  return started;
}

}  // namespace scanner
