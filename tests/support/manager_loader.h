// Loading a scripted manager library in a test.
#pragma once

#include <dlfcn.h>

// Loads the manager library of the test's folder: by its bare name through the loader, as the
// program does; when a sanitizer's dlopen hides the executable's run path, by its full path,
// after which the bare name finds it loaded. Null when neither loads.
inline void* LoadTestManager(const char* fullPath) {
  if (void* library = ::dlopen("TWAIN_32.DLL", RTLD_NOW | RTLD_LOCAL)) return library;
  return ::dlopen(fullPath, RTLD_NOW | RTLD_LOCAL);
}
