// Byte streams of the PNG writer: the abstract stream and a growable memory stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// A stream with a position. Read and Write return the count they moved; WriteBuffer insists
// on all of it.
class TStream {
 public:
  enum class Origin { kBeginning, kCurrent, kEnd };

  virtual ~TStream() = default;
  virtual std::size_t Read(void* buffer, std::size_t count) = 0;
  virtual std::size_t Write(const void* buffer, std::size_t count) = 0;
  // The new position.
  virtual std::int64_t Seek(std::int64_t offset, Origin origin) = 0;

  std::int64_t Position() { return Seek(0, Origin::kCurrent); }
  void SetPosition(std::int64_t position) { Seek(position, Origin::kBeginning); }
  // Throws EWriteError when fewer bytes than count could be written.
  void WriteBuffer(const void* buffer, std::size_t count);
  void WriteBuffer(std::span<const std::uint8_t> bytes) { WriteBuffer(bytes.data(), bytes.size()); }
};

// Bytes in memory with a position. Writing past the end grows it; when memory runs out the
// write throws EStreamError and the content stays as it was.
class TMemoryStream final : public TStream {
 public:
  std::size_t Read(void* buffer, std::size_t count) override;
  std::size_t Write(const void* buffer, std::size_t count) override;
  std::int64_t Seek(std::int64_t offset, Origin origin) override;

  std::size_t Size() const { return bytes_.size(); }
  std::span<const std::uint8_t> Data() const { return bytes_; }
  // Makes room for capacity bytes at once, so that a stream of known final size is allocated
  // exactly once.
  void Reserve(std::size_t capacity);
  // Hands the content over; the stream is empty afterwards.
  std::vector<std::uint8_t> Release();

 private:
  std::vector<std::uint8_t> bytes_;
  std::size_t position_ = 0;
};
