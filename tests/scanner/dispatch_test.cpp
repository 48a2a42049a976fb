// The manager's answer to each triplet, in the order a program sends them, on the fake SANE: the
// return code, and the condition that DAT_STATUS then tells (of the manager, or of the source).
#include "scanner/protocol/dispatch.h"

#include <QCoreApplication>
#include <cstring>

#include "fake_sane_fixture.h"

namespace scanner {
namespace {

// What the triplet's data points to.
enum class Data { kNone, kParent, kIdentity, kInterface, kCapability, kHandle, kPending };
// Whom the triplet goes to and whom DAT_STATUS asks after it.
enum class To { kManager, kSource };

struct Triplet {
  const char* state;  // what the rows before have left open
  To to;
  TW_UINT32 dg;
  TW_UINT16 dat, msg;
  Data data;
  TW_UINT16 rc;
  TW_UINT16 condition = TWCC_SUCCESS;
  To statusOf = to;
  const char* name = "fake:1";  // the identity's product name
  TW_UINT16 cap = ICAP_BRIGHTNESS, conType = TWON_ONEVALUE;
  TW_INT16 value = 0;  // a FIX32's whole part
};

constexpr To M = To::kManager, S = To::kSource;
constexpr TW_UINT32 C = DG_CONTROL;

const Triplet kTriplets[] = {
    {"closed", M, C, DAT_IDENTITY, MSG_GETFIRST, Data::kIdentity, TWRC_FAILURE, TWCC_SEQERROR},
    {"closed", M, C, DAT_PARENT, MSG_CLOSEDSM, Data::kParent, TWRC_FAILURE, TWCC_SEQERROR},
    {"closed", M, DG_IMAGE, DAT_PARENT, MSG_OPENDSM, Data::kParent, TWRC_FAILURE, TWCC_BADPROTOCOL},
    {"closed", M, C, DAT_PARENT, MSG_OPENDSM, Data::kParent, TWRC_SUCCESS},
    {"open", M, C, DAT_IDENTITY, MSG_GETFIRST, Data::kNone, TWRC_FAILURE, TWCC_BADVALUE},
    {"open", M, C, DAT_CAPABILITY, MSG_GET, Data::kCapability, TWRC_FAILURE, TWCC_BADPROTOCOL},
    {"open", S, C, DAT_USERINTERFACE, MSG_ENABLEDS, Data::kInterface, TWRC_FAILURE, TWCC_BADDEST,
     M},
    {"open", M, C, DAT_IDENTITY, MSG_CLOSEDS, Data::kIdentity, TWRC_FAILURE, TWCC_SEQERROR},
    {"open", M, C, DAT_IDENTITY, MSG_OPENDS, Data::kIdentity, TWRC_FAILURE, TWCC_NODS, M, "fake:9"},
    {"open", M, C, DAT_IDENTITY, MSG_OPENDS, Data::kIdentity, TWRC_SUCCESS},
    // Capabilities: set only, one value, of a setting the device has, in its range.
    {"source", S, C, DAT_CAPABILITY, MSG_GET, Data::kCapability, TWRC_FAILURE,
     TWCC_CAPBADOPERATION},
    {"source", S, C, DAT_CAPABILITY, MSG_SET, Data::kCapability, TWRC_FAILURE, TWCC_CAPUNSUPPORTED,
     S, "", 0x1234},
    {"source", S, C, DAT_CAPABILITY, MSG_SET, Data::kCapability, TWRC_FAILURE, TWCC_CAPUNSUPPORTED,
     S, "", ICAP_CONTRAST, TWON_ONEVALUE, 10},
    {"source", S, C, DAT_CAPABILITY, MSG_SET, Data::kCapability, TWRC_FAILURE, TWCC_BADVALUE, S, "",
     ICAP_BRIGHTNESS, TWON_ONEVALUE, 101},
    {"source", S, C, DAT_CAPABILITY, MSG_SET, Data::kCapability, TWRC_FAILURE, TWCC_BADVALUE, S, "",
     ICAP_BRIGHTNESS, 3, -20},
    {"source", S, C, DAT_CAPABILITY, MSG_SET, Data::kCapability, TWRC_SUCCESS, TWCC_SUCCESS, S, "",
     ICAP_BRIGHTNESS, TWON_ONEVALUE, -20},
    // Nothing scanned: no picture to transfer, nothing to disable.
    {"source", S, DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, Data::kHandle, TWRC_FAILURE,
     TWCC_SEQERROR},
    {"source", S, C, DAT_USERINTERFACE, MSG_DISABLEDS, Data::kInterface, TWRC_FAILURE,
     TWCC_SEQERROR},
    {"source", S, C, DAT_PENDINGXFERS, MSG_ENDXFER, Data::kPending, TWRC_SUCCESS},
    {"source", S, C, DAT_PARENT, MSG_OPENDSM, Data::kParent, TWRC_FAILURE, TWCC_BADPROTOCOL},
    {"source", S, C, DAT_USERINTERFACE, MSG_ENABLEDS, Data::kInterface, TWRC_SUCCESS},
    // Scanning without a window: enabled once, no capability now, no picture yet.
    {"enabled", S, C, DAT_USERINTERFACE, MSG_ENABLEDS, Data::kInterface, TWRC_FAILURE,
     TWCC_SEQERROR},
    {"enabled", S, C, DAT_CAPABILITY, MSG_SET, Data::kCapability, TWRC_FAILURE, TWCC_SEQERROR, S,
     "", ICAP_BRIGHTNESS, TWON_ONEVALUE, 10},
    {"enabled", S, DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, Data::kHandle, TWRC_FAILURE,
     TWCC_SEQERROR},
    {"enabled", S, C, DAT_USERINTERFACE, MSG_DISABLEDS, Data::kInterface, TWRC_SUCCESS},
    {"source", M, C, DAT_IDENTITY, MSG_CLOSEDS, Data::kIdentity, TWRC_SUCCESS},
    {"open", S, C, DAT_STATUS, MSG_GET, Data::kNone, TWRC_FAILURE, TWCC_BADVALUE, M},
    {"open", M, C, DAT_IDENTITY, MSG_CLOSEDS, Data::kIdentity, TWRC_FAILURE, TWCC_SEQERROR},
    {"open", M, C, DAT_PARENT, MSG_CLOSEDSM, Data::kParent, TWRC_SUCCESS},
    {"closed", M, C, DAT_PARENT, MSG_CLOSEDSM, Data::kParent, TWRC_FAILURE, TWCC_SEQERROR},
};

TEST_F(FakeSaneTest, EachTripletInEachStateGivesItsCodeAndCondition) {
  int argc = 0;
  QCoreApplication application(argc, nullptr);
  TW_IDENTITY program{}, source{};
  for (const Triplet& t : kTriplets) {
    SCOPED_TRACE(testing::Message() << t.state << " dat " << t.dat << " msg " << t.msg);
    TW_HANDLE parent = nullptr;
    TW_IDENTITY identity = source;
    if (t.dat == DAT_IDENTITY && t.msg == MSG_OPENDS) {
      identity = TW_IDENTITY{};
      std::strcpy(identity.ProductName.text, t.name);
    }
    TW_USERINTERFACE ui{};
    TW_FIX32 fix{t.value, 0};
    TW_ONEVALUE one{TWTY_FIX32, 0};
    std::memcpy(&one.Item, &fix, sizeof fix);
    const HGLOBAL container = GlobalAlloc(0, sizeof one);
    std::memcpy(GlobalLock(container), &one, sizeof one);
    GlobalUnlock(container);
    TW_CAPABILITY capability{t.cap, t.conType, container};
    HGLOBAL picture = nullptr;
    TW_PENDINGXFERS pending{};
    TW_MEMREF data[] = {nullptr, &parent, &identity, &ui, &capability, &picture, &pending};
    const TW_UINT16 rc = Dispatch(&program, t.to == S ? &source : nullptr, t.dg, t.dat, t.msg,
                                  data[static_cast<int>(t.data)]);
    GlobalFree(container);
    EXPECT_EQ(rc, t.rc);
    if (t.msg == MSG_OPENDS && rc == TWRC_SUCCESS) source = identity;
    TW_STATUS status{};
    EXPECT_EQ(Dispatch(&program, t.statusOf == S ? &source : nullptr, DG_CONTROL, DAT_STATUS,
                       MSG_GET, &status),
              TWRC_SUCCESS);
    EXPECT_EQ(status.ConditionCode, t.condition);
  }
}

}  // namespace
}  // namespace scanner
