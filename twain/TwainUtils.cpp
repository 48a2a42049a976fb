#include "TwainUtils.h"

#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <span>

#include "platform/bmp.h"
#include "platform/dynamic_library.h"
#include "platform/errors.h"
#include "platform/fpu_control.h"
#include "platform/message_pump.h"

namespace {

constexpr const char* kLibraryName = "TWAIN_32.DLL";
constexpr const char* kEntryName = "DSM_Entry";

// The assertion raised for a library without the entry, in the assertion form
// "message (source file, line 行)".
constexpr const char* kAssertionUnit = "TwainUtils.cpp";
constexpr int kAssertionLine = 184;

// The application's identity as presented to the manager.
constexpr TW_UINT32 kSupportedGroups = DG_CONTROL | DG_IMAGE;
constexpr const char* kVersionInfo = "VERSION INFO";
constexpr const char* kManufacturer = "MANUFACTURER";
constexpr const char* kProductFamily = "PRODUCT FAMILY";
constexpr const char* kProductName = "PRODUCT NAME";

// Module state: the library is loaded exactly while refCount > 0.
std::optional<DynamicLibrary> library;
DSMENTRYPROC entry = nullptr;
std::int32_t refCount = 0;

std::unique_ptr<TTwain>& GlobalObject() {
  static std::unique_ptr<TTwain> object;
  return object;
}

std::string AssertionText() {
  std::string text = FormatMessage(msg::kAssertionForm, msg::kAssertionFailure);
  text = FormatMessage(text, kAssertionUnit);
  return FormatMessage(text, kAssertionLine);
}

// A locked global block: unlocked, then freed, however its user leaves.
class LockedBlock {
 public:
  LockedBlock(HGLOBAL handle, void* address) : handle_(handle), address_(address) {}
  ~LockedBlock() {
    GlobalUnlock(handle_);
    GlobalFree(handle_);
  }
  LockedBlock(const LockedBlock&) = delete;
  LockedBlock& operator=(const LockedBlock&) = delete;
  const void* Address() const { return address_; }
  std::size_t Size() const { return GlobalSize(handle_); }

 private:
  HGLOBAL handle_;
  void* address_;
};

// A global block owned until the end of the scope.
struct GlobalBlockFree {
  void operator()(GlobalBlock* block) const { GlobalFree(block); }
};
using OwnedGlobalBlock = std::unique_ptr<GlobalBlock, GlobalBlockFree>;

// Sends MSG_SET for capability with the one-value container given (a TW_ONEVALUE, or the
// TW_ONEVALUE_FRAME of a rectangle); the container's block lives exactly as long as the call.
template <typename Container>
void SetOneValue(TTwain& twain, TW_UINT16 capability, const Container& value) {
  const OwnedGlobalBlock container(GlobalAlloc(0, sizeof value));
  if (!container) throw std::bad_alloc();
  void* address = GlobalLock(container.get());
  if (!address) throw std::bad_alloc();
  std::memcpy(address, &value, sizeof value);
  GlobalUnlock(container.get());
  TW_CAPABILITY request{capability, TWON_ONEVALUE, container.get()};
  twain.SendOrRaise(&twain.SourceIdentity, DG_CONTROL, DAT_CAPABILITY, MSG_SET, &request);
}

}  // namespace

const std::array<ConditionTextRow, 22> ConditionTexts = {{
    {TWCC_SUCCESS, msg::kTwccSuccess},
    {TWCC_BUMMER, msg::kTwccBummer},
    {TWCC_LOWMEMORY, msg::kTwccLowMemory},
    {TWCC_NODS, msg::kTwccNoDataSource},
    {TWCC_MAXCONNECTIONS, msg::kTwccMaxConnections},
    {TWCC_OPERATIONERROR, msg::kTwccOperationError},
    {TWCC_BADCAP, msg::kTwccBadCap},
    {TWCC_BADPROTOCOL, msg::kTwccBadProtocol},
    {TWCC_BADVALUE, msg::kTwccBadValue},
    {TWCC_SEQERROR, msg::kTwccSeqError},
    {TWCC_BADDEST, msg::kTwccBadDest},
    {TWCC_CAPUNSUPPORTED, msg::kTwccCapUnsupported},
    {TWCC_CAPBADOPERATION, msg::kTwccCapBadOperation},
    {TWCC_CAPSEQERROR, msg::kTwccCapSeqError},
    {TWCC_DENIED, msg::kTwccDenied},
    {TWCC_FILEEXISTS, msg::kTwccFileExists},
    {TWCC_FILENOTFOUND, msg::kTwccFileNotFound},
    {TWCC_NOTEMPTY, msg::kTwccNotEmpty},
    {TWCC_PAPERJAM, msg::kTwccPaperJam},
    {TWCC_PAPERDOUBLEFEED, msg::kTwccPaperDoubleFeed},
    {TWCC_FILEWRITEERROR, msg::kTwccFileWriteError},
    {TWCC_CHECKDEVICEONLINE, msg::kTwccCheckDeviceOnline},
}};

// ---- Module ---------------------------------------------------------------------------------

void LoadTwain() {
  std::optional<DynamicLibrary> loaded = DynamicLibrary::Open(kLibraryName);
  if (!loaded) throw Exception(msg::kTwainLibraryMissing);
  auto* found = reinterpret_cast<DSMENTRYPROC>(loaded->Symbol(kEntryName));
  // A library without the entry is not kept: nothing may call through an entry not found.
  if (!found) throw EAssertionFailed(AssertionText());
  library = std::move(loaded);
  entry = found;
}

void UnloadTwain() {
  entry = nullptr;
  library.reset();
}

bool TwainLoaded() {
  return library.has_value();
}

std::int32_t TwainRefCount() {
  return refCount;
}

TTwain& GlobalTwain() {
  std::unique_ptr<TTwain>& object = GlobalObject();
  if (!object) object = std::make_unique<TTwain>();
  return *object;
}

void FreeGlobalTwain() {
  GlobalObject().reset();
}

// ---- Construction and destruction -----------------------------------------------------------

TTwain::TTwain() {
  if (refCount == 0) LoadTwain();
  ++refCount;
  AppIdentity = TW_IDENTITY{};
  SourceIdentity = TW_IDENTITY{};
  AppIdentity.Id = 0;
  AppIdentity.Version.MajorNum = 0;
  AppIdentity.Version.MinorNum = 0;
  AppIdentity.Version.Language = TWLG_USERLOCALE;
  AppIdentity.Version.Country = TWCY_JAPAN;
  SetStr32Text(AppIdentity.Version.Info, kVersionInfo);
  AppIdentity.ProtocolMajor = TWON_PROTOCOLMAJOR;
  AppIdentity.ProtocolMinor = TWON_PROTOCOLMINOR;
  AppIdentity.SupportedGroups = kSupportedGroups;
  SetStr32Text(AppIdentity.Manufacturer, kManufacturer);
  SetStr32Text(AppIdentity.ProductFamily, kProductFamily);
  SetStr32Text(AppIdentity.ProductName, kProductName);
}

TTwain::~TTwain() {
  try {
    if (DSEnabled) DisableDS();
    if (DSOpen) CloseDS();
    if (DSMOpen) CloseDSM();
  } catch (const std::exception& error) {
    ShowException(error);
  }
  if (--refCount == 0) UnloadTwain();
}

// ---- Sending --------------------------------------------------------------------------------

TW_UINT16 TTwain::CallEntry(pTW_IDENTITY origin, pTW_IDENTITY destination, TW_UINT32 dg,
                            TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
  return entry(origin, destination, dg, dat, msg, data);
}

TW_UINT16 TTwain::Send(pTW_IDENTITY destination, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg,
                       TW_MEMREF data) {
  return CallEntry(&AppIdentity, destination, dg, dat, msg, data);
}

TW_UINT16 TTwain::SendOrRaise(pTW_IDENTITY destination, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg,
                              TW_MEMREF data) {
  const TW_UINT16 result = Send(destination, dg, dat, msg, data);
  if (result != TWRC_SUCCESS) RaiseTwainError(destination);
  return result;
}

// ---- Steps ----------------------------------------------------------------------------------

void TTwain::OpenDSM(TW_HANDLE window) {
  ParentWindow = window;
  SendOrRaise(nullptr, DG_CONTROL, DAT_PARENT, MSG_OPENDSM, &ParentWindow);
  DSMOpen = true;
}

void TTwain::CloseDSM() {
  SendOrRaise(nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, &ParentWindow);
  DSMOpen = false;
}

void TTwain::OpenDS() {
  SendOrRaise(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &SourceIdentity);
  DSOpen = true;
}

void TTwain::CloseDS() {
  SendOrRaise(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &SourceIdentity);
  DSOpen = false;
}

TW_UINT16 TTwain::UserSelect() {
  return Send(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_USERSELECT, &SourceIdentity);
}

void TTwain::EnableDS(bool show, bool modal, TW_HANDLE parent) {
  TW_USERINTERFACE ui{};
  ui.ShowUI = show ? 1 : 0;
  ui.ModalUI = modal ? 1 : 0;
  ui.hParent = parent;
  SendOrRaise(&SourceIdentity, DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui);
  DSEnabled = true;
}

void TTwain::DisableDS() {
  TW_USERINTERFACE ui{};
  SendOrRaise(&SourceIdentity, DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
  DSEnabled = false;
}

// ---- Source selection and errors ------------------------------------------------------------

bool TTwain::SelectSource(TW_HANDLE window) {
  if (!DSMOpen) OpenDSM(window);
  return UserSelect() == TWRC_SUCCESS;
}

std::optional<TW_UINT16> TTwain::ConditionCode(pTW_IDENTITY destination) {
  TW_STATUS status{};
  if (Send(destination, DG_CONTROL, DAT_STATUS, MSG_GET, &status) != TWRC_SUCCESS)
    return std::nullopt;
  return status.ConditionCode;
}

namespace {

std::string TextOfCondition(std::optional<TW_UINT16> code) {
  if (!code) return {};
  for (const ConditionTextRow& row : ConditionTexts)
    if (row.code == *code) return row.text;
  return {};
}

}  // namespace

std::string TTwain::ConditionText(pTW_IDENTITY destination) {
  return TextOfCondition(ConditionCode(destination));
}

void TTwain::RaiseTwainError(pTW_IDENTITY destination) {
  const std::optional<TW_UINT16> code = ConditionCode(destination);
  throw ETwainError(msg::kTwainErrorPrefix + TextOfCondition(code), code);
}

// ---- Sources and capabilities without a dialog ---------------------------------------------

std::vector<TW_IDENTITY> TTwain::ListSources(TW_HANDLE window) {
  if (!DSMOpen) OpenDSM(window);
  std::vector<TW_IDENTITY> sources;
  TW_UINT16 msg = MSG_GETFIRST;
  for (;;) {
    TW_IDENTITY identity{};
    const TW_UINT16 result = Send(nullptr, DG_CONTROL, DAT_IDENTITY, msg, &identity);
    if (result == TWRC_ENDOFLIST) return sources;
    if (result != TWRC_SUCCESS) RaiseTwainError(nullptr);
    sources.push_back(identity);
    msg = MSG_GETNEXT;
  }
}

void TTwain::SelectSourceByName(TW_HANDLE window, const std::string& name) {
  const std::vector<TW_IDENTITY> sources = ListSources(window);
  // The one source whose name matches; more than one is an error, as either might be meant.
  auto only = [&](const std::function<bool(const std::string& product)>& matches) {
    const TW_IDENTITY* found = nullptr;
    for (const TW_IDENTITY& identity : sources) {
      if (!matches(Str32Text(identity.ProductName))) continue;
      if (found) throw Exception(FormatMessage(msg::kTwainAmbiguousSource, name));
      found = &identity;
    }
    return found;
  };
  const TW_IDENTITY* found = only([&](const std::string& product) { return product == name; });
  // A manager cuts a longer name to the field, at a character boundary: up to three bytes of an
  // unfinished UTF-8 character may be missing at its end.
  if (!found && name.size() > kStr32TextBytes) {
    found = only([&](const std::string& product) {
      return product.size() + kStr32CutShortBy >= kStr32TextBytes && name.starts_with(product);
    });
  }
  if (!found) throw Exception(FormatMessage(msg::kTwainNoSuchSource, name));
  SourceIdentity = *found;
}

void TTwain::SetCapability(TW_UINT16 capability, TW_UINT16 value) {
  SetOneValue(*this, capability, TW_ONEVALUE{TWTY_UINT16, value});
}

void TTwain::SetCapability(TW_UINT16 capability, TW_FIX32 value) {
  // The item holds the fixed-point number in its low bytes: Whole, then Frac.
  TW_UINT32 item = 0;
  std::memcpy(&item, &value, sizeof value);
  SetOneValue(*this, capability, TW_ONEVALUE{TWTY_FIX32, item});
}

void TTwain::SetCapability(TW_UINT16 capability, bool value) {
  SetOneValue(*this, capability, TW_ONEVALUE{TWTY_BOOL, value ? 1u : 0u});
}

void TTwain::SetCapability(TW_UINT16 capability, const TW_FRAME& value) {
  SetOneValue(*this, capability, TW_ONEVALUE_FRAME{TWTY_FRAME, value});
}

// ---- Acquisition ----------------------------------------------------------------------------

bool TTwain::Acquire(TBitmap& bitmap, bool show, TW_HANDLE window) {
  if (!DSMOpen) OpenDSM(window);
  if (!DSOpen) OpenDS();
  if (!DSEnabled) EnableDS(show, show, window);
  const FpuControl saved = CurrentFpuControl();
  bool result = false;
  try {
    SetFpuControl(WithAllExceptionsMasked(saved));
    result = RunEventLoop(bitmap);
  } catch (...) {
    // The control state goes back before the source is disabled; a failure to disable takes
    // the place of the exception on its way.
    SetFpuControl(saved);
    DisableDS();
    throw;
  }
  SetFpuControl(saved);
  DisableDS();
  return result;
}

bool TTwain::RunEventLoop(TBitmap& bitmap) {
  bool result = false;
  PumpMessages([&](MSG& message) {
    TW_UINT16 twMessage = MSG_NULL;
    if (!ProcessEvent(message, twMessage)) return MessageVerdict::kDeliver;
    switch (twMessage) {
      case MSG_XFERREADY:
        result = TransferNative(bitmap);
        return MessageVerdict::kClaimAndEnd;
      case MSG_CLOSEDSREQ:
      case MSG_CLOSEDSOK:
        return MessageVerdict::kClaimAndEnd;
      default:
        return MessageVerdict::kClaim;
    }
  });
  return result;
}

bool TTwain::ProcessEvent(MSG& message, TW_UINT16& twMessage) {
  TW_EVENT event{};
  event.pEvent = &message;
  event.TWMessage = MSG_NULL;
  const TW_UINT16 result = Send(&SourceIdentity, DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event);
  twMessage = event.TWMessage;
  return result == TWRC_DSEVENT;
}

bool TTwain::TransferNative(TBitmap& bitmap) {
  HGLOBAL handle = nullptr;
  switch (Send(&SourceIdentity, DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &handle)) {
    case TWRC_FAILURE:
      throw ETwainTransferFailed(msg::kTwainTransferFailed);
    case TWRC_CANCEL:
      throw Exception(msg::kTwainTransferCancelled);
    case TWRC_XFERDONE:
      break;
    default:
      return false;  // no image came
  }
  void* address = GlobalLock(handle);
  if (!address) RaiseTwainError(&SourceIdentity);
  const LockedBlock block(handle, address);
  DrawPackedDib(bitmap, block.Address(), block.Size());
  TW_PENDINGXFERS pending{};
  SendOrRaise(&SourceIdentity, DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending);
  return true;
}

void DrawPackedDib(TBitmap& bitmap, const void* block, std::size_t size) {
  TBitmap image;
  image.AdoptHandle(DecodePackedDib(std::span(static_cast<const std::uint8_t*>(block), size)));
  image.ConvertTo24Bit();
  bitmap.AdoptHandle(image.DetachHandle());
}
