// The SANE library, loaded at run time on first use and kept loaded for the life of the process.
#pragma once

#include <sane/sane.h>

namespace scanner {

struct SaneApi {
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
};

// The library's functions; null when libsane.so.1 cannot be loaded or lacks one of them.
const SaneApi* Sane();

// sane_init once until the matching EndSane; both from one thread at a time.
bool StartSane();
void EndSane();
bool SaneStarted();

}  // namespace scanner
