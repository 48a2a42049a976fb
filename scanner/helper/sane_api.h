// The SANE library as the helper process uses it: loaded at run time, every call through one
// object, which writes each call and its status to standard error when LUMIVANE_SCANNER_TRACE is
// set. LUMIVANE_SANE_LIBRARY names another library with SANE's functions (tests load a fake).
#pragma once

#include <sane/sane.h>

#include <memory>

namespace scanner {

class SaneApi {
 public:
  // The library's functions; null when it cannot be loaded or lacks one of them.
  static std::unique_ptr<SaneApi> Load();
  ~SaneApi();

  SANE_Status Init();
  void Exit();
  SANE_Status GetDevices(const SANE_Device*** list);
  SANE_Status Open(const char* name, SANE_Handle* handle);
  void Close(SANE_Handle handle);
  const SANE_Option_Descriptor* Descriptor(SANE_Handle handle, SANE_Int option);
  SANE_Status Control(SANE_Handle handle, SANE_Int option, SANE_Action action, void* value,
                      SANE_Int* info);
  SANE_Status Parameters(SANE_Handle handle, SANE_Parameters* parameters);
  SANE_Status Start(SANE_Handle handle);
  SANE_Status Read(SANE_Handle handle, SANE_Byte* data, SANE_Int size, SANE_Int* length);
  void Cancel(SANE_Handle handle);
  SANE_Status SetIoMode(SANE_Handle handle, bool nonBlocking);
  SANE_Status SelectFd(SANE_Handle handle, SANE_Int* fd);

 private:
  struct Functions;
  explicit SaneApi(std::unique_ptr<Functions> functions);
  std::unique_ptr<Functions> f_;
  bool trace_;
};

}  // namespace scanner
