#include "dynamic_library.h"

#include <dlfcn.h>

void DynamicLibrary::Closer::operator()(void* handle) const {
  ::dlclose(handle);
}

std::optional<DynamicLibrary> DynamicLibrary::Open(const std::string& name) {
  void* handle = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) return std::nullopt;
  return DynamicLibrary(handle);
}

void* DynamicLibrary::Symbol(const std::string& name) const {
  return ::dlsym(handle_.get(), name.c_str());
}
