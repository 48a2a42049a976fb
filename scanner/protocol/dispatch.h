// The manager's answer to every triplet: the manager's own (sources listed and chosen, the source
// opened and closed) and, routed to it, the open source's (session.h).
#pragma once

#include "twain/twain.h"

namespace scanner {

// One triplet; never throws. The floating-point control state is the caller's (the entry
// masks it).
TW_UINT16 Dispatch(pTW_IDENTITY origin, pTW_IDENTITY destination, TW_UINT32 dg, TW_UINT16 dat,
                   TW_UINT16 msg, TW_MEMREF data);

}  // namespace scanner
