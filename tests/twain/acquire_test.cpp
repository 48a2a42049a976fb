// Acquisition: the event loop's paths, the native transfer, the floating-point control state.
#include <QCoreApplication>
#include <QEvent>

#include "scripted_fixture.h"
#include "support/dib_builder.h"
#include "support/test_support.h"

namespace {

// Counts the events of an object of the application's own.
class Receiver : public QObject {
 public:
  int delivered = 0;

 protected:
  bool event(QEvent* event) override {
    if (event->type() == QEvent::User) ++delivered;
    return QObject::event(event);
  }
};

// Catches quit requests that reach the application, so that none ends a later loop of the test.
class QuitCatcher : public QObject {
 public:
  QuitCatcher() { QCoreApplication::instance()->installEventFilter(this); }
  ~QuitCatcher() override { QCoreApplication::instance()->removeEventFilter(this); }
  int caught = 0;

 protected:
  bool eventFilter(QObject* receiver, QEvent* event) override {
    if (receiver != QCoreApplication::instance() || event->type() != QEvent::Quit) return false;
    ++caught;
    return true;
  }
};

// Asks the application to quit when its event comes, as closing the last window does, and has
// the source ask for a transfer right after.
class QuitRequester : public QObject {
 public:
  explicit QuitRequester(ScriptedManager& manager) : manager_(manager) {}
  bool asked = false;

 protected:
  bool event(QEvent* event) override {
    if (event->type() != QEvent::User) return QObject::event(event);
    asked = true;
    QCoreApplication::postEvent(QCoreApplication::instance(), new QEvent(QEvent::Quit));
    manager_.PostSourceEvent(MSG_XFERREADY);
    return true;
  }

 private:
  ScriptedManager& manager_;
};

// The meaningful bits of an x87 control word (bit 6 is reserved and reads as set).
std::uint16_t X87(std::uint16_t word) {
  return word & 0x1F3F;
}

class AcquireTest : public ScriptedTest {
 protected:
  // A source that is opened and enabled by the acquisition and then reports the given messages.
  void Script(std::initializer_list<TW_UINT16> events) { Manager().eventsOnEnable = events; }

  TTwain& Twain() { return GlobalTwain(); }
  int window_ = 0;
  TBitmap bitmap_;
};

const std::vector<Triplet> kTransfer = {kOpenDSM,   kOpenDS,  kEnableDS, kClaimedEvent,
                                        kNativeGet, kEndXfer, kDisableDS};

TEST_F(AcquireTest, ATransferOpensEnablesTransfersAndDisables) {
  Script({MSG_XFERREADY});
  Manager().images.push_back(Dib24(3, 2, 77));
  EXPECT_TRUE(Twain().Acquire(bitmap_, true, &window_));
  EXPECT_EQ(Triplets(), kTransfer);
  const RecordedCall* enable = Find(DAT_USERINTERFACE, MSG_ENABLEDS);
  EXPECT_EQ(enable->ui.ShowUI, 1);
  EXPECT_EQ(enable->ui.ModalUI, 1);
  EXPECT_EQ(static_cast<void*>(enable->ui.hParent), &window_);
  EXPECT_EQ(Find(DAT_PARENT, MSG_OPENDSM)->parent, &window_);
  EXPECT_TRUE(Twain().DSMOpen && Twain().DSOpen && !Twain().DSEnabled);
  ASSERT_EQ(bitmap_.Width(), 3);
  ASSERT_EQ(bitmap_.Height(), 2);
  EXPECT_EQ(bitmap_.Format(), PixelFormat::pf24bit);
  EXPECT_EQ(PixelColour(*bitmap_.Object(), 2, 1), (std::array<std::uint8_t, 3>{2, 1, 77}));
  EXPECT_EQ(GlobalBlockCount(), 0u) << "the image block is freed";
  EXPECT_EQ(Manager().window->delivered, 0) << "a claimed event is not delivered";
}

TEST_F(AcquireTest, ALaterAcquisitionSkipsTheOpeningSteps) {
  Script({MSG_XFERREADY});
  Manager().images.push_back(Dib24(1, 1, 1));
  ASSERT_TRUE(Twain().Acquire(bitmap_, false, &window_));
  Manager().calls.clear();
  Script({MSG_NULL, MSG_XFERREADY});
  Manager().images.push_back(Dib24(4, 5, 2));
  EXPECT_TRUE(Twain().Acquire(bitmap_, false, &window_));
  EXPECT_EQ(Triplets(), (std::vector<Triplet>{kEnableDS, kClaimedEvent, kClaimedEvent, kNativeGet,
                                              kEndXfer, kDisableDS}));
  EXPECT_EQ(Find(DAT_USERINTERFACE, MSG_ENABLEDS)->ui.ShowUI, 0);
  EXPECT_EQ(bitmap_.Width(), 4) << "the second image replaces the first";
  EXPECT_EQ(bitmap_.Height(), 5);
}

TEST_F(AcquireTest, ACloseRequestEndsTheLoopWithoutAnImage) {
  for (TW_UINT16 request : {MSG_CLOSEDSREQ, MSG_CLOSEDSOK}) {
    Manager().calls.clear();
    Script({MSG_NULL, request, MSG_XFERREADY});
    bitmap_.AdoptHandle(MakeFlatPicture(2, 2, {9, 9, 9}));
    EXPECT_FALSE(Twain().Acquire(bitmap_, true, &window_));
    EXPECT_EQ(Count(kNativeGet), 0);
    EXPECT_EQ(Count(kDisableDS), 1);
    EXPECT_EQ(Triplets().back(), kDisableDS);
    EXPECT_EQ(PixelsOf(*bitmap_.Object()), std::vector<Bgr>(4, Bgr{9, 9, 9}));
    EXPECT_TRUE(shown_.empty());
    QCoreApplication::processEvents();  // the unused source event goes before the next round
  }
}

TEST_F(AcquireTest, EventsTheSourceDoesNotClaimAreOfferedAndDelivered) {
  Receiver receiver;
  QCoreApplication::postEvent(&receiver, new QEvent(QEvent::User));
  QCoreApplication::postEvent(&receiver, new QEvent(QEvent::User));
  Script({MSG_CLOSEDSREQ});  // posted after the application's own events
  EXPECT_FALSE(Twain().Acquire(bitmap_, true, &window_));
  EXPECT_EQ(receiver.delivered, 2);
  int offered = 0;
  for (const RecordedCall& call : Calls())
    if (call.dat == DAT_EVENT && call.message.receiver == &receiver) {
      ++offered;
      EXPECT_EQ(call.result, TWRC_NOTDSEVENT);
      EXPECT_EQ(call.data != nullptr, true);
    }
  EXPECT_EQ(offered, 2);
}

TEST_F(AcquireTest, ProcessEventPassesTheMessageAndReportsTheSourcesAnswer) {
  TTwain& twain = Twain();
  Receiver receiver;
  QEvent event(QEvent::User);
  MSG message{&receiver, &event};
  TW_UINT16 twMessage = 0xFFFF;
  EXPECT_FALSE(twain.ProcessEvent(message, twMessage));
  EXPECT_EQ(twMessage, MSG_NULL);
  EXPECT_EQ(Calls()[0].message.event, &event);
  EXPECT_EQ(Calls()[0].destination, &twain.SourceIdentity);
  // A failure counts as "not claimed"; twMessage is still what the source wrote.
  SourceEvent own(MSG_XFERREADY);
  MSG ownMessage{Manager().window.get(), &own};
  Manager().Answer(DAT_EVENT, MSG_PROCESSEVENT, TWRC_FAILURE);
  EXPECT_FALSE(twain.ProcessEvent(ownMessage, twMessage));
  EXPECT_EQ(twMessage, MSG_XFERREADY);
  EXPECT_TRUE(twain.ProcessEvent(ownMessage, twMessage));
}

struct FailedTransferCase {
  const char* name;
  std::function<void(ScriptedManager&)> script;
  const char* message;
  bool ended;  // whether MSG_ENDXFER was sent
};

TEST_F(AcquireTest, AFailedTransferRaisesAfterDisablingTheSourceOnce) {
  const std::vector<Triplet> notEnded = {kOpenDSM,      kOpenDS,    kEnableDS,
                                         kClaimedEvent, kNativeGet, kDisableDS};
  const FailedTransferCase cases[] = {
      {"failure", [](ScriptedManager& m) { m.Answer(DAT_IMAGENATIVEXFER, MSG_GET, TWRC_FAILURE); },
       "転送中にエラー発生", false},
      {"cancel", [](ScriptedManager& m) { m.Answer(DAT_IMAGENATIVEXFER, MSG_GET, TWRC_CANCEL); },
       "キャンセルされました", false},
      {"no lock",
       [](ScriptedManager& m) {
         m.images.push_back(std::nullopt);
         m.statuses.push_back({TWRC_SUCCESS, TWCC_LOWMEMORY});
       },
       "TWAIN: Not enough memory to perform operation", false},
      {"end of transfer",
       [](ScriptedManager& m) {
         m.images.push_back(Dib24(2, 2, 5));
         m.Answer(DAT_PENDINGXFERS, MSG_ENDXFER, TWRC_FAILURE);
         m.statuses.push_back({TWRC_SUCCESS, TWCC_SEQERROR});
       },
       "TWAIN: DG DAT MSG out of expected sequence", true},
      {"image beyond its block",
       [](ScriptedManager& m) {
         std::vector<std::uint8_t> image = Dib24(4, 4, 5);
         image.erase(image.end() - 20, image.end());
         m.images.push_back(image);
       },
       "ストリームからの読み込みエラー", false},
  };
  for (const FailedTransferCase& c : cases) {
    FreeGlobalTwain();
    Manager().Reset();
    Script({MSG_XFERREADY});
    c.script(Manager());
    bitmap_.AdoptHandle(MakeFlatPicture(1, 1, {1, 2, 3}));
    EXPECT_EQ(MessageOf([&] { Twain().Acquire(bitmap_, true, &window_); }), c.message) << c.name;
    EXPECT_EQ(Count(kDisableDS), 1) << c.name;
    EXPECT_EQ(Count(kEndXfer), c.ended ? 1 : 0) << c.name;
    EXPECT_FALSE(Twain().DSEnabled) << c.name;
    EXPECT_EQ(GlobalBlockCount(), 0u) << c.name;
    if (!c.ended) {
      EXPECT_EQ(PixelsOf(*bitmap_.Object()), (std::vector<Bgr>{Bgr{1, 2, 3}})) << c.name;
    }
  }
}

TEST_F(AcquireTest, ATransferThatBringsNoImageEndsTheLoopWithoutAResult) {
  Script({MSG_XFERREADY});
  Manager().Answer(DAT_IMAGENATIVEXFER, MSG_GET, TWRC_SUCCESS);
  bitmap_.AdoptHandle(MakeFlatPicture(1, 1, {1, 2, 3}));
  EXPECT_FALSE(Twain().Acquire(bitmap_, true, &window_));
  EXPECT_EQ(Count(kEndXfer), 0);
  EXPECT_EQ(Count(kDisableDS), 1);
  EXPECT_EQ(PixelsOf(*bitmap_.Object()), (std::vector<Bgr>{Bgr{1, 2, 3}}));
}

TEST_F(AcquireTest, AFailedOpeningStepTouchesNeitherTheSourceNorTheControlState) {
  Manager().Answer(DAT_IDENTITY, MSG_OPENDS, TWRC_FAILURE);
  Manager().statuses.push_back({TWRC_SUCCESS, TWCC_NODS});
  const FpuControl before = CurrentFpuControl();
  EXPECT_EQ(MessageOf([&] { Twain().Acquire(bitmap_, true, &window_); }), "TWAIN: No Data Source");
  EXPECT_EQ(Triplets(), (std::vector<Triplet>{kOpenDSM, kOpenDS, kManagerStatus}));
  EXPECT_TRUE(Twain().DSMOpen) << "nothing is rolled back";
  EXPECT_FALSE(Twain().DSOpen);
  EXPECT_EQ(CurrentFpuControl(), before);
}

TEST_F(AcquireTest, AFailedDisableReplacesTheResultAndLeavesTheSourceEnabled) {
  Script({MSG_XFERREADY});
  Manager().images.push_back(Dib24(1, 1, 1));
  Manager().Answer(DAT_USERINTERFACE, MSG_DISABLEDS, TWRC_FAILURE);
  Manager().statuses.push_back({TWRC_SUCCESS, TWCC_BUMMER});
  EXPECT_EQ(MessageOf([&] { Twain().Acquire(bitmap_, true, &window_); }),
            "TWAIN: Failure due to unknown causes");
  EXPECT_TRUE(Twain().DSEnabled);

  // The next acquisition goes straight to the loop; the enabled source still sends events.
  Manager().calls.clear();
  Manager().PostSourceEvent(MSG_CLOSEDSREQ);
  EXPECT_FALSE(Twain().Acquire(bitmap_, true, &window_));
  EXPECT_EQ(Triplets(), (std::vector<Triplet>{kClaimedEvent, kDisableDS}));
  EXPECT_FALSE(Twain().DSEnabled);
}

TEST_F(AcquireTest, AFailedDisableReplacesAnExceptionOnItsWay) {
  Script({MSG_XFERREADY});
  Manager().Answer(DAT_IMAGENATIVEXFER, MSG_GET, TWRC_CANCEL);
  Manager().Answer(DAT_USERINTERFACE, MSG_DISABLEDS, TWRC_FAILURE);
  Manager().statuses.push_back({TWRC_SUCCESS, TWCC_PAPERJAM});
  EXPECT_EQ(MessageOf([&] { Twain().Acquire(bitmap_, true, &window_); }),
            "TWAIN: The feeder is jammed");
  EXPECT_EQ(Count(kDisableDS), 1);
}

TEST_F(AcquireTest, TheControlStateIsMaskedInTheLoopAndRestoredBeforeDisabling) {
  // x87: invalid, zero-divide and overflow raise; SSE: zero-divide raises.
  const FpuControl program{0x1332, 0x1D80};
  const FpuControl masked{0x133F, 0x1F80};
  struct Case {
    const char* name;
    std::function<void(ScriptedManager&)> script;
    bool raises;
  };
  const Case cases[] = {
      {"transfer", [](ScriptedManager& m) { m.images.push_back(Dib24(1, 1, 1)); }, false},
      {"failure", [](ScriptedManager& m) { m.Answer(DAT_IMAGENATIVEXFER, MSG_GET, TWRC_FAILURE); },
       true},
      {"bad image", [](ScriptedManager& m) { m.images.push_back(std::vector<std::uint8_t>(8)); },
       true},
  };
  const FpuControl original = CurrentFpuControl();
  for (const Case& c : cases) {
    FreeGlobalTwain();
    Manager().Reset();
    Script({MSG_XFERREADY});
    c.script(Manager());
    SetFpuControl(program);
    const std::string message = MessageOf([&] { Twain().Acquire(bitmap_, true, &window_); });
    const FpuControl after = CurrentFpuControl();
    SetFpuControl(original);
    EXPECT_EQ(!message.empty(), c.raises) << c.name;
    EXPECT_EQ(X87(after.x87), program.x87) << c.name;
    EXPECT_EQ(after.mxcsr, program.mxcsr) << c.name;
    for (const RecordedCall& call : Calls()) {
      const bool inLoop =
          call.dat == DAT_EVENT || call.dat == DAT_IMAGENATIVEXFER || call.dat == DAT_PENDINGXFERS;
      const FpuControl expected = inLoop ? masked : program;
      EXPECT_EQ(X87(call.fpu.x87), expected.x87) << c.name << " dat " << call.dat;
      EXPECT_EQ(call.fpu.mxcsr, expected.mxcsr) << c.name << " dat " << call.dat;
    }
  }
}

TEST_F(AcquireTest, AQuitRequestEndsTheLoopAndIsPassedOn) {
  QuitCatcher catcher;  // installed first, so the loop's own filter sees the request before it
  // While the loop runs, the application is asked to quit; the source then asks for a transfer.
  QuitRequester requester(Manager());
  QCoreApplication::postEvent(&requester, new QEvent(QEvent::User));
  Manager().images.push_back(Dib24(1, 1, 1));
  EXPECT_FALSE(Twain().Acquire(bitmap_, true, &window_));
  EXPECT_TRUE(requester.asked);
  EXPECT_EQ(catcher.caught, 0) << "the loop consumed the request";
  EXPECT_EQ(Count(kNativeGet), 0);
  EXPECT_EQ(Count(kDisableDS), 1);
  QCoreApplication::processEvents();
  EXPECT_EQ(catcher.caught, 1) << "the request stands once the command has unwound";
}

}  // namespace
