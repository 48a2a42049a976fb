// A shared library loaded at run time, unloaded when its owner goes.
#pragma once

#include <memory>
#include <optional>
#include <string>

class DynamicLibrary {
 public:
  // Loads by name through the system loader, so a bare file name is looked for in the loader's
  // search order. Nothing when the library cannot be loaded.
  static std::optional<DynamicLibrary> Open(const std::string& name);

  // The address of an exported symbol; null when there is none.
  void* Symbol(const std::string& name) const;

 private:
  struct Closer {
    void operator()(void* handle) const;
  };
  explicit DynamicLibrary(void* handle) : handle_(handle) {}

  std::unique_ptr<void, Closer> handle_;
};
