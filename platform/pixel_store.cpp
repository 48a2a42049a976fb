#include "pixel_store.h"

#include <sys/mman.h>

#include <mutex>
#include <new>
#include <utility>

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::align_val_t kAlignment{kHugePage};

std::uint8_t* AllocateLarge(std::size_t size) {
  auto* bytes = static_cast<std::uint8_t*>(::operator new(size, kAlignment));
  AdviseHugePages(bytes, size);
  return bytes;
}

void FreeLarge(std::uint8_t* bytes) noexcept {
  ::operator delete(bytes, kAlignment);
}

// The one large store kept after it was freed.
class Spare {
 public:
  // The spare if it has this size; otherwise the spare is freed and null comes back.
  std::uint8_t* Take(std::size_t size) noexcept {
    std::uint8_t* stale = nullptr;
    std::uint8_t* taken = nullptr;
    {
      const std::lock_guard lock(mutex_);
      (size_ == size ? taken : stale) = std::exchange(bytes_, nullptr);
      size_ = 0;
    }
    if (stale) FreeLarge(stale);
    return taken;
  }

  // Keeps bytes as the spare; the one kept before is freed.
  void Keep(std::uint8_t* bytes, std::size_t size) noexcept {
    std::uint8_t* stale = nullptr;
    {
      const std::lock_guard lock(mutex_);
      stale = std::exchange(bytes_, bytes);
      size_ = size;
    }
    if (stale) FreeLarge(stale);
  }

  std::size_t Size() noexcept {
    const std::lock_guard lock(mutex_);
    return size_;
  }

  // No destructor: a bitmap freed during the program's exit still finds the spare, and a
  // spare left at exit stays reachable from here.
 private:
  std::mutex mutex_;
  std::uint8_t* bytes_ = nullptr;
  std::size_t size_ = 0;
};

constinit Spare theSpare;

}  // namespace

PixelStore::PixelStore(std::size_t size) : size_(size) {
  if (size < kLarge) {
    bytes_ = static_cast<std::uint8_t*>(::operator new(size == 0 ? 1 : size));
    return;
  }
  bytes_ = theSpare.Take(size);
  if (!bytes_) bytes_ = AllocateLarge(size);
}

PixelStore::~PixelStore() {
  Free();
}

PixelStore::PixelStore(PixelStore&& other) noexcept
    : bytes_(std::exchange(other.bytes_, nullptr)), size_(std::exchange(other.size_, 0)) {}

PixelStore& PixelStore::operator=(PixelStore&& other) noexcept {
  if (this != &other) {
    Free();
    bytes_ = std::exchange(other.bytes_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

void PixelStore::Free() noexcept {
  if (!bytes_) return;
  if (size_ < kLarge)
    ::operator delete(bytes_);
  else
    theSpare.Keep(bytes_, size_);
  bytes_ = nullptr;
  size_ = 0;
}

void PixelStore::ReleaseSpare() {
  theSpare.Take(0);
}

std::size_t PixelStore::SpareSize() {
  return theSpare.Size();
}

void AdviseHugePages(std::uint8_t* bytes, std::size_t size) {
  const auto start = reinterpret_cast<std::uintptr_t>(bytes);
  const std::uintptr_t begin = (start + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t end = (start + size) & ~(kHugePage - 1);
  // The advice is only a hint: a kernel without huge pages refuses it, and nothing changes.
  if (end > begin) (void)::madvise(bytes + (begin - start), end - begin, MADV_HUGEPAGE);
}
