// The manager's end of the SANE helper process: started on first use, every wait on it limited.
// A helper that does not answer in time is killed; one that died is noticed; either way the
// next request starts a fresh one, and what was open in the old one is gone (Generation()
// tells).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "scanner/wire/socket.h"
#include "scanner/wire/wire.h"

namespace scanner {

using wire::Clock;
using wire::Millis;

// How long a scan may go without data (LUMIVANE_SCANNER_TIMEOUT, in seconds, sets it), and the
// limits for the rest: a cancel and a close are acknowledged within 5 s, the end within 1 s.
// Each limit holds for a whole message, whatever the helper does in the middle of one.
Millis DataLimit();
inline constexpr Millis kCancelLimit{5000};
inline constexpr Millis kCloseLimit{5000};
inline constexpr Millis kExitLimit{1000};

class HelperLink {
 public:
  static HelperLink& Instance();
  ~HelperLink();

  // One request and its whole reply of kind expected, both within limit. Nothing when the helper
  // could not be started, did not answer in time, died or answered nonsense: it is then gone.
  std::optional<wire::Unpacker> Call(wire::Packer& request, wire::Kind expected, Millis limit);

  // A scan: the request, then every message until the end, read by the one thread that holds
  // the stream. Cancel may be sent from any thread meanwhile.
  class Stream {
   public:
    // Waits up to wait for what the helper sends and returns the message that it completes;
    // nothing when none was completed meanwhile (the stream goes on, a message begun stays
    // begun) or the helper is gone (Gone()). How long a message may take is the caller's.
    std::optional<wire::Unpacker> Next(Millis wait);
    bool Gone() const { return !sent_; }
    // The helper ended the scan: its socket is free for the next request.
    void Ended() { sent_ = false; }
    // Gives the scan up: the helper is killed. A stream left before its end is given up.
    void Abandon();
    ~Stream() { Abandon(); }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

   private:
    friend class HelperLink;
    Stream(HelperLink& link, std::unique_lock<std::mutex> lock, bool sent)
        : link_(link), lock_(std::move(lock)), sent_(sent) {}
    HelperLink& link_;
    std::unique_lock<std::mutex> lock_;
    bool sent_;
    wire::MessageReader reader_;
  };
  Stream Open(wire::Packer& request);
  // Sends a cancel for the running scan, from any thread, without waiting on the helper; one
  // that does not even take it in is killed. A helper gone takes no notice.
  void SendCancel();

  // Bumped whenever a helper is gone: handles of an earlier generation are void.
  std::uint64_t Generation() const { return generation_.load(); }
  // Ends the helper: asks it to end SANE and waits kExitLimit, then kills it.
  void Shutdown();
  // Kills the helper now, from any thread (the holder of a call notices and cleans up).
  void Kill();
  // For tests and fuzzing: fd is the helper's end of a connection that the caller made, with no
  // process behind it. Once it is gone, no helper is started in its place.
  void Adopt(int fd);

 private:
  HelperLink() = default;
  bool Start();
  void Drop();  // kills, reaps and forgets the helper; caller holds mutex_
  // Reaps helpers that were killed but had not ended yet; caller holds mutex_.
  void ReapEnded();
  // A whole message, or false when it was not all taken by deadline (the socket then holds part
  // of one: the caller gives the helper up).
  bool Write(wire::Packer& packer, Clock::time_point deadline);

  std::mutex mutex_;       // one request or stream at a time
  std::mutex writeMutex_;  // whole messages on the socket
  std::atomic<pid_t> pid_{-1};
  std::atomic<int> fd_{-1};
  std::atomic<std::uint64_t> generation_{1};
  bool adopted_ = false;
  std::vector<pid_t> unreaped_;
};

}  // namespace scanner
