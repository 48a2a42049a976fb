#include "RowBands.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "platform/messages.h"

namespace {

std::atomic<std::int32_t> forcedBands{0};

// Whether this thread is running a band. A pass started from inside a band would wait for the
// pass mutex its own pass holds (on the calling thread) or for workers busy with the outer pass
// (on a worker): a hang, so it ends the program at once, in every build.
thread_local bool inBand = false;

void RunBand(const std::function<void(std::int32_t)>& band, std::int32_t i) {
  inBand = true;
  band(i);
  inBand = false;
}

std::int32_t Cores() {
  static const auto cores =
      static_cast<std::int32_t>(std::max(1u, std::thread::hardware_concurrency()));
  return cores;
}

// One thread per core besides the caller's, started at the first split and kept for the life
// of the process. Workers and the caller take bands from a shared counter; one pass at a time.
class BandPool {
 public:
  explicit BandPool(std::int32_t workers) {
    for (std::int32_t i = 0; i < workers; ++i) threads_.emplace_back([this] { Work(); });
  }
  ~BandPool() {
    {
      const std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    for (std::thread& thread : threads_) thread.join();
  }
  BandPool(const BandPool&) = delete;
  BandPool& operator=(const BandPool&) = delete;

  void Run(std::int32_t count, const std::function<void(std::int32_t)>& band) {
    if (inBand) {
      (void)std::fprintf(stderr, msg::kAssertionForm, "band pass started inside a band", __FILE__,
                         __LINE__);
      (void)std::fputc('\n', stderr);
      std::abort();
    }
    const std::lock_guard onePass(passMutex_);
    {
      const std::lock_guard lock(mutex_);
      band_ = &band;
      count_ = count;
      next_ = 0;
      ++generation_;
    }
    wake_.notify_all();
    Drain(band, count);
    // A worker that took this pass has counted itself busy under the lock, so once none is
    // busy no one touches `band` any more; a worker that wakes later finds no band left.
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return busy_ == 0; });
    band_ = nullptr;
  }

 private:
  void Drain(const std::function<void(std::int32_t)>& band, std::int32_t count) {
    for (std::int32_t i; (i = next_.fetch_add(1)) < count;) RunBand(band, i);
  }

  void Work() {
    std::unique_lock lock(mutex_);
    std::uint64_t seen = 0;
    for (;;) {
      wake_.wait(lock, [&] { return stop_ || generation_ != seen; });
      if (stop_) return;
      seen = generation_;
      if (band_ == nullptr) continue;  // that pass is over
      const std::function<void(std::int32_t)>& band = *band_;
      const std::int32_t count = count_;
      ++busy_;
      lock.unlock();
      Drain(band, count);
      lock.lock();
      if (--busy_ == 0) idle_.notify_all();
    }
  }

  std::mutex passMutex_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  const std::function<void(std::int32_t)>* band_ = nullptr;
  std::int32_t count_ = 0;
  std::atomic<std::int32_t> next_{0};
  std::int32_t busy_ = 0;
  std::uint64_t generation_ = 0;
  bool stop_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace

void SetRowBandsForTesting(std::int32_t bands) {
  forcedBands = std::max(0, bands);
}

std::int32_t RowBandCount(std::int64_t pixels, std::int32_t rows) {
  const std::int32_t forced = forcedBands;
  std::int32_t bands = forced;
  if (bands == 0) bands = pixels < kRowBandMinimumPixels ? 1 : Cores();
  return std::max(1, std::min(bands, rows));
}

namespace row_bands_detail {

void RunBands(std::int32_t count, const std::function<void(std::int32_t)>& band) {
  static BandPool pool(Cores() - 1);
  pool.Run(count, band);
}

}  // namespace row_bands_detail
