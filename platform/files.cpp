#include "files.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>

#include "bitmap.h"
#include "errors.h"

namespace {

// The largest file a picture can come from: a bitmap object at the size limit with the largest
// headers and colour table. Larger files, or endless devices, are refused before they fill memory.
constexpr std::uint64_t kMaxPictureFileBytes = kMaxBitmapBytes + (1 << 20);

// A file descriptor, closed when it goes.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) {
      if (fd_ >= 0) ::close(fd_);
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  // Closes now and says whether the system accepted everything written (some file systems only
  // report a failed write here).
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

// While it lives, a write to a pipe whose reader has gone fails with EPIPE instead of ending the
// program with SIGPIPE; a SIGPIPE raised meanwhile is consumed before the signal is let through.
class SigpipeBlocked {
 public:
  SigpipeBlocked() {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipe, &saved_);
    sigset_t pending;
    ::sigpending(&pending);
    wasPending_ = sigismember(&pending, SIGPIPE) == 1;
  }
  ~SigpipeBlocked() {
    if (!wasPending_) {
      sigset_t pipe;
      sigemptyset(&pipe);
      sigaddset(&pipe, SIGPIPE);
      const timespec now{0, 0};
      while (::sigtimedwait(&pipe, nullptr, &now) == SIGPIPE) {
      }
    }
    ::pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
  }
  SigpipeBlocked(const SigpipeBlocked&) = delete;
  SigpipeBlocked& operator=(const SigpipeBlocked&) = delete;

 private:
  sigset_t saved_{};
  bool wasPending_ = false;
};

// Writes every byte, or returns false.
bool WriteAll(int fd, std::span<const std::uint8_t> data) {
  const SigpipeBlocked noSignal;
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::string Folder(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The file that a name stands for: symbolic links are followed, also to a target that does not
// exist yet. Returns "" for a loop of links.
std::string FollowLinks(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : PATH_MAX), '\0');
    const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    if (n < 0) return path;
    target.resize(static_cast<std::size_t>(n));
    path = target.starts_with('/') ? target : Folder(path) + "/" + target;
  }
  return "";
}

// Opens the file itself for writing, created or emptied: for what cannot be replaced by a new
// file (a hard-linked file, a device, a pipe, a file in a folder we may not write).
// A pipe nobody reads fails at once instead of blocking.
Descriptor OpenInPlace(const std::string& path) {
  Descriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0666));
  if (fd) {
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags >= 0) ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
  }
  return fd;
}

// A new temporary file beside target, with target's permissions and owner when it exists (the
// process's default permissions otherwise). Returns its name, or "" when none can be made so
// (the folder is not writable, or the owner cannot be kept): the caller then writes in place.
std::string MakeReplacement(const std::string& target, const struct stat* existing,
                            Descriptor& out) {
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = target + ".lv" + std::to_string(::getpid()) + "-" +
                             std::to_string(++counter) + "-" + std::to_string(std::time(nullptr));
    Descriptor fd(::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!fd) {
      if (errno == EEXIST) continue;
      return "";
    }
    bool kept = true;
    if (existing) {
      kept = ::fchmod(fd.get(), existing->st_mode & 07777) == 0;
      struct stat made {};
      if (kept && ::fstat(fd.get(), &made) == 0 &&
          (made.st_uid != existing->st_uid || made.st_gid != existing->st_gid))
        kept = ::fchown(fd.get(), existing->st_uid, existing->st_gid) == 0;
    }
    if (!kept) {
      ::unlink(name.c_str());
      return "";
    }
    out = std::move(fd);
    return name;
  }
  return "";
}

[[noreturn]] void ReadFailed() {
  throw EReadError(msg::kStreamRead);
}

// A regular file read where it lies, with positioned reads that leave no offset behind.
class FileSource final : public ByteSource {
 public:
  FileSource(Descriptor fd, std::uint64_t size) : fd_(std::move(fd)), size_(size) {}
  std::uint64_t Size() const override { return size_; }
  void Read(std::uint64_t at, std::span<const std::span<std::uint8_t>> pieces) override {
    constexpr std::size_t kMaxPieces = 1024;  // the system's limit of one vectored read
    std::vector<iovec> left;
    left.reserve(std::min(pieces.size(), kMaxPieces));
    for (std::size_t first = 0; first < pieces.size(); first += kMaxPieces) {
      left.clear();
      for (const auto piece : pieces.subspan(first, std::min(kMaxPieces, pieces.size() - first)))
        if (!piece.empty()) left.push_back({piece.data(), piece.size()});
      for (std::size_t next = 0; next < left.size();) {
        const ssize_t n = ::preadv(fd_.get(), left.data() + next,
                                   static_cast<int>(left.size() - next), static_cast<off_t>(at));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ReadFailed();  // an error, or the file ends early
        at += static_cast<std::uint64_t>(n);
        // Drops what arrived: whole pieces, then the front of a partly filled one.
        for (auto got = static_cast<std::size_t>(n); got > 0;) {
          const std::size_t taken = std::min(got, left[next].iov_len);
          left[next].iov_base = static_cast<std::uint8_t*>(left[next].iov_base) + taken;
          left[next].iov_len -= taken;
          got -= taken;
          if (left[next].iov_len == 0) ++next;
        }
      }
    }
  }

 private:
  Descriptor fd_;
  std::uint64_t size_;
};

// Opens a file for reading, with the errors of ReadWholeFile.
Descriptor OpenForReading(const std::string& path, struct stat& st) {
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd || ::fstat(fd.get(), &st) != 0 || S_ISDIR(st.st_mode))
    throw EFOpenError(FormatMessage(msg::kFileOpen, path));
  if (S_ISREG(st.st_mode) && static_cast<std::uint64_t>(st.st_size) > kMaxPictureFileBytes)
    throw EOutOfResources(msg::kImageTooLarge);
  return fd;
}

// What is left to read of an open file, until its end.
std::vector<std::uint8_t> ReadToEnd(const Descriptor& fd, const struct stat& st) {
  // Devices, pipes and files of /proc report no size or a wrong one: read until the end.
  std::vector<std::uint8_t> data;
  std::size_t done = 0;
  data.resize(S_ISREG(st.st_mode) && st.st_size > 0 ? static_cast<std::size_t>(st.st_size) + 1
                                                    : std::size_t{64} << 10);
  for (;;) {
    if (done == data.size()) {
      if (data.size() > kMaxPictureFileBytes) throw EOutOfResources(msg::kImageTooLarge);
      data.resize(std::min<std::size_t>(data.size() * 2, kMaxPictureFileBytes + 1));
    }
    const ssize_t n = ::read(fd.get(), data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ReadFailed();
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  data.resize(done);
  return data;
}

// Writes to a descriptor, throwing on the first failure.
class DescriptorSink final : public ByteSink {
 public:
  explicit DescriptorSink(int fd) : fd_(fd) {}
  void Write(std::span<const std::uint8_t> data) override {
    if (!WriteAll(fd_, data)) throw EWriteError(msg::kStreamWrite);
  }

 private:
  int fd_;
};

}  // namespace

std::span<const std::uint8_t> ByteSource::View(std::uint64_t at, std::size_t count,
                                               std::vector<std::uint8_t>& storage) {
  storage.resize(count);
  const std::span<std::uint8_t> whole(storage);
  Read(at, {&whole, 1});
  return storage;
}

void MemorySource::Read(std::uint64_t at, std::span<const std::span<std::uint8_t>> pieces) {
  for (const auto piece : pieces) {
    if (at > bytes_.size() || piece.size() > bytes_.size() - at) ReadFailed();
    if (!piece.empty()) std::memcpy(piece.data(), bytes_.data() + at, piece.size());
    at += piece.size();
  }
}

std::span<const std::uint8_t> MemorySource::View(std::uint64_t at, std::size_t count,
                                                 std::vector<std::uint8_t>&) {
  if (at > bytes_.size() || count > bytes_.size() - at) ReadFailed();
  return bytes_.subspan(static_cast<std::size_t>(at), count);
}

std::unique_ptr<ByteSource> OpenByteSource(const std::string& path) {
  struct stat st {};
  Descriptor fd = OpenForReading(path, st);
  // Devices, pipes and files of /proc report no size or a wrong one: they are read whole.
  if (S_ISREG(st.st_mode) && st.st_size > 0)
    return std::make_unique<FileSource>(std::move(fd), static_cast<std::uint64_t>(st.st_size));
  return std::make_unique<MemorySource>(ReadToEnd(fd, st));
}

std::vector<std::uint8_t> ReadWholeFile(const std::string& path) {
  struct stat st {};
  const Descriptor fd = OpenForReading(path, st);
  return ReadToEnd(fd, st);
}

void SaveFileContent(const std::string& path, const std::function<void(ByteSink&)>& write) {
  const auto cannotCreate = [&] { return EFCreateError(FormatMessage(msg::kFileCreate, path)); };
  if (path.empty()) throw cannotCreate();
  const std::string target = FollowLinks(path);
  if (target.empty()) throw cannotCreate();

  struct stat st {};
  const bool exists = ::stat(target.c_str(), &st) == 0;
  // Replacing keeps an old file whole until the new one is complete, but only a lone regular
  // file can be replaced without the user noticing: other hard links would keep the old
  // picture, and a device or a pipe would become a plain file. A file the user may not write
  // is not replaced behind its back either.
  const bool replaceable =
      !exists || (S_ISREG(st.st_mode) && st.st_nlink == 1 && ::access(target.c_str(), W_OK) == 0);
  Descriptor temporary(-1);
  const std::string temporaryName =
      replaceable ? MakeReplacement(target, exists ? &st : nullptr, temporary) : "";
  if (temporaryName.empty()) {
    Descriptor fd = OpenInPlace(target);
    if (!fd) throw cannotCreate();
    DescriptorSink sink(fd.get());
    write(sink);
    if (!fd.Close()) throw EWriteError(msg::kStreamWrite);
    return;
  }
  try {
    DescriptorSink sink(temporary.get());
    write(sink);
    if (::fsync(temporary.get()) != 0 || !temporary.Close() ||
        ::rename(temporaryName.c_str(), target.c_str()) != 0)
      throw EWriteError(msg::kStreamWrite);
  } catch (...) {
    ::unlink(temporaryName.c_str());
    throw;
  }
}

void CheckFileCreatable(const std::string& path) {
  const auto cannotCreate = [&] { return EFCreateError(FormatMessage(msg::kFileCreate, path)); };
  if (path.empty()) throw cannotCreate();
  const std::string target = FollowLinks(path);
  if (target.empty()) throw cannotCreate();
  struct stat st {};
  if (::stat(target.c_str(), &st) == 0) {
    // A pipe or a device is opened only when the save comes: a reader may appear meanwhile.
    if (S_ISDIR(st.st_mode) || ::access(target.c_str(), W_OK) != 0) throw cannotCreate();
    return;
  }
  Descriptor fd(::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
  if (!fd) {
    if (errno == EEXIST) return;  // made meanwhile by someone else: theirs to keep
    throw cannotCreate();
  }
  ::unlink(target.c_str());
}

void SaveFileContent(const std::string& path, std::span<const std::uint8_t> data) {
  SaveFileContent(path, [data](ByteSink& sink) { sink.Write(data); });
}
