// The connection to the scanner manager: loading the manager library, the one TTwain object
// through which the program talks to a scanner source, and the acquisition of one image.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/bitmap.h"
#include "platform/errors.h"
#include "twain/identity_text.h"
#include "twain/twain.h"

// The manager library and its entry. LoadTwain raises when the library cannot be loaded or has
// no entry; on failure nothing stays loaded.
void LoadTwain();
void UnloadTwain();
// Whether the manager library is loaded (it is exactly while TwainRefCount() > 0).
bool TwainLoaded();
// Number of live TTwain objects.
std::int32_t TwainRefCount();

// A transfer that the source failed: "転送中にエラー発生"; the source tells the condition.
class ETwainTransferFailed : public Exception {
 public:
  using Exception::Exception;
};

// A triplet that failed: "TWAIN: <condition text>"; the condition code that its destination
// told, when it told one.
class ETwainError : public Exception {
 public:
  ETwainError(const std::string& message, std::optional<TW_UINT16> condition)
      : Exception(message), condition_(condition) {}
  std::optional<TW_UINT16> Condition() const { return condition_; }

 private:
  std::optional<TW_UINT16> condition_;
};

struct ConditionTextRow {
  std::int32_t code;
  const char* text;
};
extern const std::array<ConditionTextRow, 22> ConditionTexts;

// One connection to the manager and to the source the user chose. The three flags follow the
// protocol's states: manager open (3), source open (4), source enabled (5). Every step sends
// one triplet and leaves its flag unchanged when it raises.
class TTwain {
 public:
  // Loads the manager library when no other object holds it. A construction that raises counts
  // for nothing.
  TTwain();
  // Walks the connection down (disable, close source, close manager; a failure among them is
  // shown and skips the rest), then releases the library with the last object.
  ~TTwain();
  TTwain(const TTwain&) = delete;
  TTwain& operator=(const TTwain&) = delete;

  // The three sending layers.
  TW_UINT16 CallEntry(pTW_IDENTITY origin, pTW_IDENTITY destination, TW_UINT32 dg, TW_UINT16 dat,
                      TW_UINT16 msg, TW_MEMREF data);
  TW_UINT16 Send(pTW_IDENTITY destination, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg,
                 TW_MEMREF data);
  // Send, raising "TWAIN: <condition>" (ETwainError) on any result but TWRC_SUCCESS.
  TW_UINT16 SendOrRaise(pTW_IDENTITY destination, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg,
                        TW_MEMREF data);

  // The steps. None checks a flag; the callers do.
  void OpenDSM(TW_HANDLE window);
  void CloseDSM();
  void OpenDS();
  void CloseDS();
  TW_UINT16 UserSelect();
  void EnableDS(bool show, bool modal, TW_HANDLE parent);
  void DisableDS();

  // Opens the manager if need be and shows its selection dialog. True when a source was chosen.
  bool SelectSource(TW_HANDLE window);
  // The text of the condition that destination (null: the manager) reports; empty when the
  // status request fails or the code has no text.
  std::string ConditionText(pTW_IDENTITY destination);
  // The condition code that destination reports; nothing when the status request fails.
  std::optional<TW_UINT16> ConditionCode(pTW_IDENTITY destination);
  [[noreturn]] void RaiseTwainError(pTW_IDENTITY destination);

  // The sources the manager offers, in its order (MSG_GETFIRST, then MSG_GETNEXT until
  // TWRC_ENDOFLIST), without a dialog. Opens the manager if need be.
  std::vector<TW_IDENTITY> ListSources(TW_HANDLE window);
  // Chooses the source whose ProductName is name, without a dialog: its identity becomes
  // SourceIdentity. A name longer than the field holds also matches the source whose
  // ProductName is that name cut to the field. Like SelectSource it opens the manager if need
  // be and neither opens nor closes a source. Raises, naming it, when no source or more than
  // one source matches.
  void SelectSourceByName(TW_HANDLE window, const std::string& name);
  // Sets a capability of the open source to one value (MSG_SET with a one-value container in
  // global memory, which is freed again however the call ends). Raises "TWAIN: <condition>"
  // with the source's condition when the source refuses.
  void SetCapability(TW_UINT16 capability, TW_UINT16 value);        // TWTY_UINT16
  void SetCapability(TW_UINT16 capability, TW_FIX32 value);         // TWTY_FIX32
  void SetCapability(TW_UINT16 capability, bool value);             // TWTY_BOOL
  void SetCapability(TW_UINT16 capability, const TW_FRAME& value);  // TWTY_FRAME

  // Acquires at most one image into bitmap with the source's own interface (shown and modal as
  // show says, parented to window). True when an image was transferred. The floating-point
  // control state is put back, and the source disabled, however the loop ends.
  bool Acquire(TBitmap& bitmap, bool show, TW_HANDLE window);
  // The modal loop: every event of the GUI thread goes to the source first.
  bool RunEventLoop(TBitmap& bitmap);
  // Offers one message to the source. True when the source claims it; twMessage is what the
  // source reports for it, claimed or not.
  bool ProcessEvent(MSG& message, TW_UINT16& twMessage);
  // One native transfer into bitmap. True when an image was drawn; false when the source
  // answered with a code that brings no image.
  bool TransferNative(TBitmap& bitmap);

  // The window given to the manager; its address is the data of both DAT_PARENT triplets. It
  // carries the QWidget* of the main window.
  TW_HANDLE ParentWindow = nullptr;
  TW_IDENTITY AppIdentity{};
  TW_IDENTITY SourceIdentity{};
  bool DSMOpen = false;
  bool DSOpen = false;
  bool DSEnabled = false;
};

// The one object of the program, constructed on first use. A construction that raises leaves
// none behind, so that the next call tries again.
TTwain& GlobalTwain();
// Destroys the global object, if there is one. The program calls it after its message loop and
// before the main window goes, so that a failure while closing can still be shown.
void FreeGlobalTwain();

// Draws a packed device-independent bitmap (header, colour table, rows) held in block into
// bitmap, which takes its width and height and the pixels at 24 bits. Nothing outside block is
// read: a header, colour table or rows that do not fit raise.
void DrawPackedDib(TBitmap& bitmap, const void* block, std::size_t size);
