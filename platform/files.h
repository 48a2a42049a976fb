// File streams: reads and saves that never surprise.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

// Bytes that a reader takes piece by piece at any offset: a file, or a block in memory.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual std::uint64_t Size() const = 0;
  // Fills the pieces, one after another, with the bytes from offset at on. Throws EReadError
  // when the bytes are not all there or cannot be read.
  virtual void Read(std::uint64_t at, std::span<const std::span<std::uint8_t>> pieces) = 0;
  // count bytes from offset at, read into storage where they are not in memory already.
  virtual std::span<const std::uint8_t> View(std::uint64_t at, std::size_t count,
                                             std::vector<std::uint8_t>& storage);
};

// A block in memory as a source; it keeps the bytes it is given as a vector.
class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  explicit MemorySource(std::vector<std::uint8_t> bytes)
      : owned_(std::move(bytes)), bytes_(owned_) {}
  std::uint64_t Size() const override { return bytes_.size(); }
  void Read(std::uint64_t at, std::span<const std::span<std::uint8_t>> pieces) override;
  std::span<const std::uint8_t> View(std::uint64_t at, std::size_t count,
                                     std::vector<std::uint8_t>& storage) override;

 private:
  std::vector<std::uint8_t> owned_;
  std::span<const std::uint8_t> bytes_;
};

// The whole content of the file, also of a device, a pipe or a file that reports no size.
// Throws EFOpenError when it cannot be opened (a folder cannot), EReadError when reading fails,
// EOutOfResources when it is larger than any picture file can be (a stream is read up to that
// size and one byte, no further). Of a stream that does not begin as a bitmap, JPEG or PNG file
// (a device such as /dev/zero), only the first 64 KiB are read.
std::vector<std::uint8_t> ReadWholeFile(const std::string& path);
// The same with another size limit in bytes.
std::vector<std::uint8_t> ReadWholeFile(const std::string& path, std::uint64_t limit);

// The file as a source with the errors of ReadWholeFile. A regular file that reports its size
// is read in place, piece by piece; anything else is read whole first.
std::unique_ptr<ByteSource> OpenByteSource(const std::string& path);

// Where a save's bytes go. Write throws EWriteError when they cannot all be written.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual void Write(std::span<const std::uint8_t> data) = 0;
};

// Writes what write gives its sink as the new content of path; symbolic links are followed to
// the file they name. A file that does not exist yet, or a regular file with a single link that
// the user may write, in a folder the user may write, is replaced through a new file that takes
// its permissions and owner: a failed save (also an exception from write) leaves it as it was.
// Where the file system offers them (ext4, tmpfs, btrfs, xfs), the new file has no name until it
// is complete, so that not even a killed save leaves anything behind; elsewhere it is a
// temporary file beside the target, removed after a failure. Anything else (a hard-linked file,
// a file in a read-only folder, a device, a named pipe) is written in place, created or emptied,
// so that it stays what it is; so is a descriptor's link of /proc that names no file (standard
// output as a pipe or a socket, as /dev/stdout). Throws EFCreateError when the file cannot be
// created or opened (an empty name, a missing folder, no permission, a pipe that nobody reads),
// EWriteError when the bytes cannot all be written.
void SaveFileContent(const std::string& path, const std::function<void(ByteSink&)>& write);
// The same for bytes in memory.
void SaveFileContent(const std::string& path, std::span<const std::uint8_t> data);

// For the tests: saves make their new files with a name even where files without one exist.
void UseNamedTemporaryFilesOnly(bool only);

// Checks, before long work whose result goes to path, that SaveFileContent will be able to
// create or open it, leaving nothing behind: a new file is created and removed again, an
// existing one must be writable and no folder. Throws EFCreateError as SaveFileContent does.
void CheckFileCreatable(const std::string& path);
