// The memory behind a bitmap object's pixels.
#pragma once

#include <cstddef>
#include <cstdint>

// Owns the bytes of one pixel store; their content is undefined until written. Large stores
// start on a 2 MiB boundary and are advised to use huge pages, so that a pass over them takes
// few page faults. A large store that is freed becomes the one spare, and the next store of the
// same size takes it over instead of faulting fresh memory in: an effect's destination reuses the
// store its previous source gave back. A store of another size frees the spare first, so that the
// memory held never exceeds what is in use plus one spare.
class PixelStore {
 public:
  PixelStore() = default;
  // Throws std::bad_alloc when memory runs out.
  explicit PixelStore(std::size_t size);
  ~PixelStore();
  PixelStore(PixelStore&& other) noexcept;
  PixelStore& operator=(PixelStore&& other) noexcept;
  PixelStore(const PixelStore&) = delete;
  PixelStore& operator=(const PixelStore&) = delete;

  std::uint8_t* get() const { return bytes_; }
  std::size_t size() const { return size_; }

  // Stores of at least this size are large.
  static constexpr std::size_t kLarge = std::size_t{1} << 20;
  // Frees the spare, if any.
  static void ReleaseSpare();
  // The size of the spare; 0 without one.
  static std::size_t SpareSize();

 private:
  void Free() noexcept;

  std::uint8_t* bytes_ = nullptr;
  std::size_t size_ = 0;
};

// Advises the kernel to back the whole 2 MiB pages within [bytes, bytes + size) by huge pages,
// for a large buffer about to be written front to back. Advice only: without it the buffer
// works the same.
void AdviseHugePages(std::uint8_t* bytes, std::size_t size);
