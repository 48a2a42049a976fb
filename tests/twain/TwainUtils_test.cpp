// The connection: loading, identity, the steps of each state, source selection, error texts and
// the walk down at destruction.
#include "twain/TwainUtils.h"

#include <cstring>
#include <functional>
#include <optional>

#include "scripted_fixture.h"

namespace {

std::string Text(const TW_STR32& field) {
  return std::string(field.text);
}

bool ZeroAfterText(const TW_STR32& field) {
  const std::size_t length = std::strlen(field.text);
  for (std::size_t i = length; i < sizeof field.text; ++i)
    if (field.text[i] != 0) return false;
  return true;
}

bool AllZero(const TW_IDENTITY& identity) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&identity);
  for (std::size_t i = 0; i < sizeof identity; ++i)
    if (bytes[i] != 0) return false;
  return true;
}

using ConnectionTest = ScriptedTest;

TEST_F(ConnectionTest, ConstructionLoadsOnceAndPresentsTheApplicationIdentity) {
  ASSERT_EQ(TwainRefCount(), 0);
  {
    TTwain first;
    EXPECT_TRUE(TwainLoaded());
    EXPECT_EQ(TwainRefCount(), 1);
    const TW_IDENTITY& id = first.AppIdentity;
    EXPECT_EQ(+id.Id, 0u);
    EXPECT_EQ(id.Version.MajorNum, 0);
    EXPECT_EQ(id.Version.MinorNum, 0);
    EXPECT_EQ(id.Version.Language, 0xFFFF);
    EXPECT_EQ(id.Version.Country, 81);
    EXPECT_EQ(id.ProtocolMajor, 1);
    EXPECT_EQ(id.ProtocolMinor, 8);
    EXPECT_EQ(+id.SupportedGroups, 3u);
    EXPECT_EQ(Text(id.Version.Info), "VERSION INFO");
    EXPECT_EQ(Text(id.Manufacturer), "MANUFACTURER");
    EXPECT_EQ(Text(id.ProductFamily), "PRODUCT FAMILY");
    EXPECT_EQ(Text(id.ProductName), "PRODUCT NAME");
    for (const TW_STR32* field :
         {&id.Version.Info, &id.Manufacturer, &id.ProductFamily, &id.ProductName})
      EXPECT_TRUE(ZeroAfterText(*field));
    EXPECT_TRUE(AllZero(first.SourceIdentity));
    EXPECT_FALSE(first.DSMOpen || first.DSOpen || first.DSEnabled);
    {
      TTwain second;
      EXPECT_EQ(TwainRefCount(), 2);
    }
    EXPECT_EQ(TwainRefCount(), 1);
    EXPECT_TRUE(TwainLoaded());
  }
  EXPECT_EQ(TwainRefCount(), 0);
  EXPECT_FALSE(TwainLoaded());
  EXPECT_TRUE(Calls().empty()) << "nothing was open, so nothing is closed";
}

TEST_F(ConnectionTest, GlobalTwainConstructsOnceAndIsFreedAtTheEnd) {
  TTwain& object = GlobalTwain();
  EXPECT_EQ(&GlobalTwain(), &object);
  EXPECT_EQ(TwainRefCount(), 1);
  FreeGlobalTwain();
  EXPECT_EQ(TwainRefCount(), 0);
  EXPECT_FALSE(TwainLoaded());
}

// One row per step of the state tables.
struct StepCase {
  const char* name;
  Triplet triplet;
  std::function<void(TTwain&)> run;
  bool TTwain::*flag;     // null for steps without a flag
  bool flagAfterSuccess;  // the value the flag takes
};

void ExpectDataOf(const StepCase& step, TTwain& twain, const RecordedCall& call) {
  EXPECT_EQ(call.origin, &twain.AppIdentity) << step.name;
  const void* destination = step.triplet.toSource ? &twain.SourceIdentity : nullptr;
  EXPECT_EQ(call.destination, destination) << step.name;
  if (step.triplet.dat == DAT_PARENT) {
    EXPECT_EQ(call.data, &twain.ParentWindow) << step.name;
  }
  if (step.triplet.dat == DAT_IDENTITY) {
    EXPECT_EQ(call.data, &twain.SourceIdentity) << step.name;
  }
}

const std::vector<StepCase>& Steps() {
  static const std::vector<StepCase> steps = {
      {"OpenDSM", kOpenDSM, [](TTwain& t) { t.OpenDSM(&t); }, &TTwain::DSMOpen, true},
      {"CloseDSM", kCloseDSM, [](TTwain& t) { t.CloseDSM(); }, &TTwain::DSMOpen, false},
      {"OpenDS", kOpenDS, [](TTwain& t) { t.OpenDS(); }, &TTwain::DSOpen, true},
      {"CloseDS", kCloseDS, [](TTwain& t) { t.CloseDS(); }, &TTwain::DSOpen, false},
      {"EnableDS", kEnableDS, [](TTwain& t) { t.EnableDS(true, false, &t); }, &TTwain::DSEnabled,
       true},
      {"DisableDS", kDisableDS, [](TTwain& t) { t.DisableDS(); }, &TTwain::DSEnabled, false},
  };
  return steps;
}

TEST_F(ConnectionTest, EachStepSendsItsTripletAndSetsItsFlagOnSuccess) {
  for (const StepCase& step : Steps()) {
    Manager().calls.clear();
    TTwain twain;
    twain.*step.flag = !step.flagAfterSuccess;
    step.run(twain);
    ASSERT_EQ(Triplets(), std::vector<Triplet>{step.triplet}) << step.name;
    ExpectDataOf(step, twain, Calls()[0]);
    EXPECT_EQ(twain.*step.flag, step.flagAfterSuccess) << step.name;
    twain.DSMOpen = twain.DSOpen = twain.DSEnabled = false;  // nothing to close
  }
}

TEST_F(ConnectionTest, AFailedStepRaisesWithItsDestinationsConditionAndKeepsItsFlag) {
  for (const StepCase& step : Steps()) {
    for (TW_UINT16 failure : {TWRC_FAILURE, TWRC_CHECKSTATUS, TWRC_CANCEL}) {
      Manager().calls.clear();
      Manager().Answer(step.triplet.dat, step.triplet.msg, failure);
      Manager().statuses.push_back({TWRC_SUCCESS, TWCC_SEQERROR});
      TTwain twain;
      twain.*step.flag = !step.flagAfterSuccess;
      EXPECT_EQ(MessageOf([&] { step.run(twain); }), "TWAIN: DG DAT MSG out of expected sequence")
          << step.name << " " << failure;
      const Triplet status = step.triplet.toSource ? kSourceStatus : kManagerStatus;
      EXPECT_EQ(Triplets(), (std::vector<Triplet>{step.triplet, status})) << step.name;
      const void* destination = step.triplet.toSource ? &twain.SourceIdentity : nullptr;
      EXPECT_EQ(Calls()[1].destination, destination) << step.name;
      EXPECT_EQ(twain.*step.flag, !step.flagAfterSuccess) << step.name;
      twain.DSMOpen = twain.DSOpen = twain.DSEnabled = false;
    }
  }
}

TEST_F(ConnectionTest, OpenDSMStoresTheWindowItHandsOver) {
  TTwain twain;
  int window = 0;
  twain.OpenDSM(&window);
  EXPECT_EQ(twain.ParentWindow, &window);
  EXPECT_EQ(Calls()[0].parent, &window);
  EXPECT_EQ(+twain.AppIdentity.Id, Manager().assignedId) << "the manager assigns the id";
  twain.CloseDSM();
  EXPECT_EQ(Calls()[1].parent, &window);
}

TEST_F(ConnectionTest, EnableDSBuildsItsInterfaceRecordAndDisableDSSendsZeros) {
  TTwain twain;
  int window = 0;
  for (auto [show, modal] : {std::pair{false, false}, {true, false}, {false, true}, {true, true}}) {
    Manager().calls.clear();
    twain.EnableDS(show, modal, &window);
    EXPECT_EQ(Calls()[0].ui.ShowUI, show ? 1 : 0);
    EXPECT_EQ(Calls()[0].ui.ModalUI, modal ? 1 : 0);
    EXPECT_EQ(static_cast<void*>(Calls()[0].ui.hParent), &window);
  }
  Manager().calls.clear();
  twain.DisableDS();
  EXPECT_EQ(Calls()[0].ui.ShowUI, 0);
  EXPECT_EQ(Calls()[0].ui.ModalUI, 0);
  EXPECT_EQ(static_cast<void*>(Calls()[0].ui.hParent), nullptr);
}

TEST_F(ConnectionTest, UserSelectIsPlainAndReturnsTheCode) {
  TTwain twain;
  Manager().Answer(DAT_IDENTITY, MSG_USERSELECT, TWRC_FAILURE);
  EXPECT_EQ(twain.UserSelect(), TWRC_FAILURE);
  EXPECT_EQ(Triplets(), std::vector<Triplet>{kUserSelect}) << "no status request, no raise";
  EXPECT_FALSE(twain.DSMOpen || twain.DSOpen || twain.DSEnabled);
}

TEST_F(ConnectionTest, ConditionTextsFollowTheTable) {
  struct Case {
    TW_UINT16 statusResult;
    TW_UINT16 code;
    const char* message;
  };
  const Case cases[] = {
      {TWRC_SUCCESS, 0, "TWAIN: It worked!"},
      {TWRC_SUCCESS, 1, "TWAIN: Failure due to unknown causes"},
      {TWRC_SUCCESS, 6, "TWAIN: Unknown capability"},
      {TWRC_SUCCESS, 7, "TWAIN: "},
      {TWRC_SUCCESS, 8, "TWAIN: "},
      {TWRC_SUCCESS, 9, "TWAIN: Unrecognized MSG DG DAT combination"},
      {TWRC_SUCCESS, 23, "TWAIN: The device went offline prior to or during this operation"},
      {TWRC_SUCCESS, 24, "TWAIN: "},
      {TWRC_FAILURE, 0, "TWAIN: "},  // the status request itself failed
  };
  TTwain twain;
  for (const Case& c : cases) {
    Manager().Answer(DAT_PARENT, MSG_OPENDSM, TWRC_FAILURE);
    Manager().statuses.push_back({c.statusResult, c.code});
    EXPECT_EQ(MessageOf([&] { twain.OpenDSM(nullptr); }), c.message) << c.code;
  }
  EXPECT_EQ(ConditionTexts.size(), 22u);
  for (const ConditionTextRow& row : ConditionTexts) {
    Manager().statuses.push_back({TWRC_SUCCESS, static_cast<TW_UINT16>(row.code)});
    EXPECT_EQ(twain.ConditionText(nullptr), row.text);
  }
}

TEST_F(ConnectionTest, SelectSourceOpensTheManagerOnceAndSendsTheEarlierChoice) {
  TTwain twain;
  int window = 0;
  Manager().chosen.Id = 99;
  std::strcpy(Manager().chosen.ProductName.text, "Flatbed");
  EXPECT_TRUE(twain.SelectSource(&window));
  EXPECT_EQ(Triplets(), (std::vector<Triplet>{kOpenDSM, kUserSelect}));
  EXPECT_TRUE(AllZero(Calls()[1].identity)) << "nothing chosen before";
  EXPECT_EQ(Calls()[0].parent, &window);
  EXPECT_EQ(+twain.SourceIdentity.Id, 99u);

  Manager().calls.clear();
  twain.DSOpen = true;  // a source opened by an earlier acquisition stays open
  Manager().Answer(DAT_IDENTITY, MSG_USERSELECT, TWRC_CANCEL);
  EXPECT_FALSE(twain.SelectSource(&window));
  EXPECT_EQ(Triplets(), std::vector<Triplet>{kUserSelect});
  EXPECT_EQ(+Calls()[0].identity.Id, 99u);
  EXPECT_EQ(std::string(Calls()[0].identity.ProductName.text), "Flatbed");
  EXPECT_TRUE(twain.DSMOpen && twain.DSOpen && !twain.DSEnabled);
  EXPECT_TRUE(shown_.empty());
  twain.DSOpen = false;
}

TEST_F(ConnectionTest, SelectSourceCancelledLeavesOnlyTheManagerOpen) {
  TTwain twain;
  Manager().Answer(DAT_IDENTITY, MSG_USERSELECT, TWRC_CANCEL);
  EXPECT_FALSE(twain.SelectSource(nullptr));
  EXPECT_TRUE(twain.DSMOpen);
  EXPECT_FALSE(twain.DSOpen || twain.DSEnabled);
  Manager().Answer(DAT_IDENTITY, MSG_USERSELECT, TWRC_FAILURE);
  EXPECT_FALSE(twain.SelectSource(nullptr));
  EXPECT_EQ(Count(kOpenDSM), 1);
  EXPECT_EQ(Count(kManagerStatus), 0);
}

TEST_F(ConnectionTest, DestructionWalksDownInOrderThenUnloads) {
  {
    TTwain twain;
    twain.DSMOpen = twain.DSOpen = twain.DSEnabled = true;
  }
  EXPECT_EQ(Triplets(), (std::vector<Triplet>{kDisableDS, kCloseDS, kCloseDSM}));
  EXPECT_FALSE(TwainLoaded());
  EXPECT_TRUE(shown_.empty());
}

TEST_F(ConnectionTest, AFailureWhileClosingIsShownAndSkipsTheRest) {
  Manager().Answer(DAT_IDENTITY, MSG_CLOSEDS, TWRC_FAILURE);
  Manager().statuses.push_back({TWRC_SUCCESS, TWCC_SEQERROR});
  {
    TTwain twain;
    twain.DSMOpen = twain.DSOpen = true;
  }
  EXPECT_EQ(Triplets(), (std::vector<Triplet>{kCloseDS, kManagerStatus}));
  EXPECT_EQ(shown_, std::vector<std::string>{"TWAIN: DG DAT MSG out of expected sequence."});
  EXPECT_EQ(TwainRefCount(), 0);
  EXPECT_FALSE(TwainLoaded());
}

}  // namespace

namespace {

TW_IDENTITY Source(TW_UINT32 id, const char* name) {
  TW_IDENTITY identity{};
  identity.Id = id;
  std::strncpy(identity.ProductName.text, name, sizeof identity.ProductName.text - 1);
  std::strcpy(identity.Manufacturer.text, "Maker");
  return identity;
}

// The source list: every identity the manager hands out, in order, and its failures.
TEST_F(ConnectionTest, ListSourcesEnumeratesUntilTheEndOfTheList) {
  const std::string longest(33, 'L');  // fills the field up to its terminating zero
  const std::vector<TW_IDENTITY> three = {Source(1, "Flatbed"), Source(2, "Sheetfed"),
                                          Source(3, longest.c_str())};
  struct Case {
    const char* name;
    std::vector<TW_IDENTITY> sources;
    bool managerOpen;
    std::optional<TW_UINT16> failing;  // the message that fails, with TWCC_SEQERROR
    std::vector<Triplet> triplets;
  };
  const Case cases[] = {
      {"three", three, false, {}, {kOpenDSM, kGetFirst, kGetNext, kGetNext, kGetNext}},
      {"none", {}, false, {}, {kOpenDSM, kGetFirst}},
      {"manager already open", three, true, {}, {kGetFirst, kGetNext, kGetNext, kGetNext}},
      {"first fails", three, false, MSG_GETFIRST, {kOpenDSM, kGetFirst, kManagerStatus}},
      {"next fails", three, false, MSG_GETNEXT, {kOpenDSM, kGetFirst, kGetNext, kManagerStatus}},
  };
  for (const Case& c : cases) {
    Manager().Reset();
    Manager().sources = c.sources;
    if (c.failing) {
      Manager().Answer(DAT_IDENTITY, *c.failing, TWRC_FAILURE);
      Manager().statuses.push_back({TWRC_SUCCESS, TWCC_SEQERROR});
    }
    TTwain twain;
    twain.DSMOpen = c.managerOpen;
    int window = 0;
    std::vector<TW_IDENTITY> listed;
    const std::string message = MessageOf([&] { listed = twain.ListSources(&window); });
    EXPECT_EQ(Triplets(), c.triplets) << c.name;
    EXPECT_EQ(message, c.failing ? "TWAIN: DG DAT MSG out of expected sequence" : "") << c.name;
    const std::size_t expected = c.failing ? 0 : c.sources.size();
    ASSERT_EQ(listed.size(), expected) << c.name;
    for (std::size_t i = 0; i < expected; ++i) {
      EXPECT_EQ(+listed[i].Id, +c.sources[i].Id) << c.name;
      EXPECT_EQ(Str32Text(listed[i].ProductName), Str32Text(c.sources[i].ProductName)) << c.name;
      EXPECT_EQ(Str32Text(listed[i].Manufacturer), "Maker") << c.name;
    }
    for (const RecordedCall& call : Calls())
      if (call.dat == DAT_IDENTITY) {
        EXPECT_EQ(call.destination, nullptr) << c.name;
      }
    if (!c.managerOpen) {
      EXPECT_EQ(Calls()[0].parent, &window) << c.name;
    }
    EXPECT_TRUE(twain.DSMOpen) << c.name;
    twain.DSMOpen = false;
  }
}

TEST_F(ConnectionTest, SelectSourceByNameTakesTheOneIdentityOfThatName) {
  const std::string longest(33, 'L');  // fills the field
  const std::string cut(31, 'M');      // a name cut before a three-byte character
  const std::string cut4(30, 'N');     // and one cut before a four-byte character
  struct Case {
    std::string name;
    TW_UINT32 chosen;  // 0: none
    const char* message;
  };
  const Case cases[] = {
      {"Flatbed", 1, ""},
      {"Sheetfed", 2, ""},
      {longest, 3, ""},
      {longest + "-and-more", 3, ""},
      {cut + "\u3042 and more", 6, ""},
      {cut4 + "\U0001F600", 7, ""},
      {"Flat", 0, "スキャナー Flat が見つかりません"},
      {"flatbed", 0, "スキャナー flatbed が見つかりません"},
      {"", 0, "スキャナー  が見つかりません"},
      {"Flatbed with a name longer than the field", 0,
       "スキャナー Flatbed with a name longer than the field が見つかりません"},
      {"Twin", 0, "スキャナー Twin に当てはまるスキャナーが複数あります"},
  };
  for (const Case& c : cases) {
    Manager().Reset();
    Manager().sources = {Source(1, "Flatbed"),   Source(2, "Sheetfed"), Source(3, longest.c_str()),
                         Source(4, "Twin"),      Source(5, "Twin"),     Source(6, cut.c_str()),
                         Source(7, cut4.c_str())};
    TTwain twain;
    twain.SourceIdentity = Source(77, "Earlier");
    EXPECT_EQ(MessageOf([&] { twain.SelectSourceByName(nullptr, c.name); }), c.message) << c.name;
    EXPECT_EQ(+twain.SourceIdentity.Id, c.chosen ? c.chosen : 77u) << c.name;
    EXPECT_EQ(Count(kOpenDS) + Count(kCloseDS), 0) << "no source is opened or closed";
    EXPECT_FALSE(twain.DSOpen);
    twain.DSMOpen = false;
  }
}

TEST_F(ConnectionTest, SetCapabilitySendsAOneValueContainerAndFreesIt) {
  struct Case {
    const char* name;
    std::function<void(TTwain&)> set;
    TW_UINT16 cap, type;
    TW_UINT32 item;
    bool refused;
  };
  const Case cases[] = {
      {"pixel type", [](TTwain& t) { t.SetCapability(ICAP_PIXELTYPE, TWPT_GRAY); }, ICAP_PIXELTYPE,
       TWTY_UINT16, TWPT_GRAY, false},
      {"x resolution",
       [](TTwain& t) {
         t.SetCapability(ICAP_XRESOLUTION, TW_FIX32{300, 0});
       },
       ICAP_XRESOLUTION, TWTY_FIX32, 300, false},
      {"y resolution with a fraction",
       [](TTwain& t) {
         t.SetCapability(ICAP_YRESOLUTION, TW_FIX32{72, 0x8000});
       },
       ICAP_YRESOLUTION, TWTY_FIX32, 0x80000048, false},
      {"refused", [](TTwain& t) { t.SetCapability(ICAP_PIXELTYPE, TWPT_BW); }, ICAP_PIXELTYPE,
       TWTY_UINT16, TWPT_BW, true},
  };
  for (const Case& c : cases) {
    Manager().Reset();
    if (c.refused) {
      Manager().Answer(DAT_CAPABILITY, MSG_SET, TWRC_FAILURE);
      Manager().statuses.push_back({TWRC_SUCCESS, TWCC_BADVALUE});
    }
    TTwain twain;
    twain.DSMOpen = twain.DSOpen = true;
    const std::string message = MessageOf([&] { c.set(twain); });
    EXPECT_EQ(message, c.refused ? "TWAIN: Data parameter out of range" : "") << c.name;
    const std::vector<Triplet> expected = c.refused
                                              ? std::vector<Triplet>{kSetCapability, kSourceStatus}
                                              : std::vector<Triplet>{kSetCapability};
    ASSERT_EQ(Triplets(), expected) << c.name;
    const RecordedCall& call = Calls()[0];
    EXPECT_EQ(call.destination, &twain.SourceIdentity) << c.name;
    EXPECT_EQ(call.capability.Cap, c.cap) << c.name;
    EXPECT_EQ(call.capability.ConType, TWON_ONEVALUE) << c.name;
    EXPECT_EQ(call.oneValue.ItemType, c.type) << c.name;
    EXPECT_EQ(+call.oneValue.Item, c.item) << c.name;
    if (c.refused) {
      EXPECT_EQ(Calls()[1].destination, &twain.SourceIdentity);
    }
    EXPECT_EQ(GlobalBlockCount(), 0u) << "the container is freed: " << c.name;
    EXPECT_TRUE(twain.DSOpen && !twain.DSEnabled) << c.name;
    twain.DSMOpen = twain.DSOpen = false;
  }
}

}  // namespace
