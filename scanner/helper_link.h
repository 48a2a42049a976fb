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

#include "wire.h"

namespace scanner {

using Millis = std::chrono::milliseconds;

// How long a scan may go without data (LUMIVANE_SCANNER_TIMEOUT, in seconds, sets it), and the
// limits for the rest: a cancel and a close are acknowledged within 5 s, the end within 1 s.
Millis DataLimit();
inline constexpr Millis kCancelLimit{5000};
inline constexpr Millis kCloseLimit{5000};
inline constexpr Millis kExitLimit{1000};

class HelperLink {
 public:
  static HelperLink& Instance();
  ~HelperLink();

  // One request and its reply of kind expected. Nothing when the helper could not be started,
  // did not answer within limit, died or answered nonsense: it is then gone.
  std::optional<wire::Unpacker> Call(wire::Packer& request, wire::Kind expected, Millis limit);

  // A scan: the request, then every message until the end, read by the one thread that holds
  // the stream. Cancel may be sent from any thread meanwhile.
  class Stream {
   public:
    // The next message; nothing when none began within limit (the stream goes on) or the helper
    // is gone (Gone()).
    std::optional<wire::Unpacker> Next(Millis limit);
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
  };
  Stream Open(wire::Packer& request);
  // Sends a cancel for the running scan, from any thread; a helper gone takes no notice.
  void SendCancel();

  // Bumped whenever a helper is gone: handles of an earlier generation are void.
  std::uint64_t Generation() const { return generation_.load(); }
  // Ends the helper: asks it to end SANE and waits kExitLimit, then kills it.
  void Shutdown();
  // Kills the helper now, from any thread (the holder of a call notices and cleans up).
  void Kill();

 private:
  HelperLink() = default;
  bool Start();
  void Drop();  // kills, reaps and forgets the helper; caller holds mutex_
  bool Write(wire::Packer& packer);
  std::optional<wire::Unpacker> Read(Millis limit);
  // Whether a message begins within limit; false also when the helper has gone.
  bool Readable(Millis limit, bool& gone);

  std::mutex mutex_;       // one request or stream at a time
  std::mutex writeMutex_;  // whole messages on the socket
  std::atomic<pid_t> pid_{-1};
  std::atomic<int> fd_{-1};
  std::atomic<std::uint64_t> generation_{1};
};

}  // namespace scanner
