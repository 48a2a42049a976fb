#include "files.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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

// What a save writes to.
struct SaveTarget {
  std::string path;  // "" for a loop of links
  // path is one of the links of /proc (a descriptor's, under /proc/self/fd or /dev/fd) to
  // something that has no name: a pipe ("pipe:[123]"), a socket ("socket:[123]") or an
  // anonymous inode. Such a link is opened as it stands.
  bool magic = false;
};

bool OnProcFileSystem(const std::string& path) {
  struct statfs fs {};
  return ::statfs(path.c_str(), &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
}

// The file that a name stands for: symbolic links are followed while they name paths, also to
// a target that does not exist yet.
SaveTarget FollowLinks(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return {path};
    std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : PATH_MAX), '\0');
    const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    if (n < 0) return {path};
    target.resize(static_cast<std::size_t>(n));
    // A link of /proc always shows an absolute path when it stands for a file with a name;
    // anything else it shows is a description, not a name to follow.
    if (!target.starts_with('/') && OnProcFileSystem(Folder(path))) return {path, true};
    path = target.starts_with('/') ? target : Folder(path).append("/").append(target);
  }
  return {""};
}

// The descriptor that a magic link of our own /proc/self/fd stands for, or -1.
int DescriptorOfLink(const std::string& link) {
  char resolved[PATH_MAX];
  if (!::realpath(Folder(link).c_str(), resolved)) return -1;
  if (std::string(resolved) != "/proc/" + std::to_string(::getpid()) + "/fd") return -1;
  const std::string number = link.substr(link.rfind('/') + 1);
  if (number.empty() || number.size() > 9 ||
      !std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return -1;
  return std::stoi(number);
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

// Opens the magic link of a pipe, a socket or the like in place. A socket cannot be opened
// through its link at all: our own descriptor is then written through a copy of it.
Descriptor OpenMagicInPlace(const std::string& link) {
  Descriptor fd = OpenInPlace(link);
  if (fd || errno != ENXIO) return fd;
  const int own = DescriptorOfLink(link);
  return Descriptor(own < 0 ? -1 : ::fcntl(own, F_DUPFD_CLOEXEC, 0));
}

// Whether the system takes a file of this name at all. A name longer than its folder allows
// would only fail when the new file is given it, after the whole picture was written.
bool NameFits(const std::string& target) {
  const std::size_t slash = target.rfind('/');
  const std::size_t nameLength = target.size() - (slash == std::string::npos ? 0 : slash + 1);
  const long nameMax = ::pathconf(Folder(target).c_str(), _PC_NAME_MAX);
  return target.size() < PATH_MAX &&
         nameLength <= static_cast<std::size_t>(nameMax > 0 ? nameMax : NAME_MAX);
}

// Gives the replacement of an existing file its permissions again once written: writing and
// giving it the owner clear the set-user-ID and set-group-ID bits.
bool KeepMode(int fd, const struct stat* existing) {
  return !existing || ::fchmod(fd, existing->st_mode & 07777) == 0;
}

// Gives a new file target's permissions and owner; false when the owner cannot be kept.
bool TakeModeAndOwner(int fd, const struct stat& existing) {
  if (::fchmod(fd, existing.st_mode & 07777) != 0) return false;
  struct stat made {};
  if (::fstat(fd, &made) == 0 && (made.st_uid != existing.st_uid || made.st_gid != existing.st_gid))
    return ::fchown(fd, existing.st_uid, existing.st_gid) == 0;
  return true;
}

// A name for a temporary file beside target that nobody uses yet: the target's name with a
// suffix, or, where that would be longer than a name may be, a short hidden one.
std::string TemporaryName(const std::string& target) {
  static std::atomic<unsigned> counter{0};
  const std::string suffix = ".lv" + std::to_string(::getpid()) + "-" + std::to_string(++counter) +
                             "-" + std::to_string(std::time(nullptr));
  const std::size_t slash = target.rfind('/');
  const std::size_t nameLength = target.size() - (slash == std::string::npos ? 0 : slash + 1);
  if (nameLength + suffix.size() <= NAME_MAX) return target + suffix;
  return Folder(target) + "/" + suffix;
}

std::atomic<bool> namedTemporaryFilesOnly{false};

// A new file without a name in target's folder (O_TMPFILE), with target's permissions and owner
// when it exists (the process's default permissions otherwise): a save that is killed leaves
// nothing of it. Not every file system offers such files, and giving one a name needs its link
// under /proc/self/fd; without either this returns no descriptor.
Descriptor MakeUnnamedReplacement(const std::string& target, const struct stat* existing) {
  if (namedTemporaryFilesOnly) return Descriptor(-1);
  Descriptor fd(::open(Folder(target).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
  if (!fd) return fd;
  const std::string link = "/proc/self/fd/" + std::to_string(fd.get());
  if (::access(link.c_str(), F_OK) != 0 || (existing && !TakeModeAndOwner(fd.get(), *existing)))
    return Descriptor(-1);
  return fd;
}

// Gives the unnamed file target's name. linkat makes a new name only: over an existing file it
// fails with EEXIST, and no call of the system puts a file without a name in the place of one
// (renameat2 moves and exchanges names, it cannot give one). So the file is linked to a new
// temporary name beside the target and renamed over it, which replaces the old file at once.
// Only a kill between these two calls, not one during the writing, leaves that name behind.
bool LinkReplacement(int fd, const std::string& target, bool exists) {
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const auto linkTo = [&](const std::string& name) {
    return ::linkat(AT_FDCWD, link.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
  };
  if (!exists) {
    if (linkTo(target)) return true;
    if (errno != EEXIST) return false;  // else made meanwhile: replaced as any other
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = TemporaryName(target);
    if (!linkTo(name)) {
      if (errno == EEXIST) continue;
      return false;
    }
    if (::rename(name.c_str(), target.c_str()) == 0) return true;
    ::unlink(name.c_str());
    return false;
  }
  return false;
}

// A new temporary file with a name beside target, with target's permissions and owner when it
// exists, where the file system has no files without a name. Returns its name, or "" when none
// can be made so (the folder is not writable, or the owner cannot be kept): the caller then
// writes in place.
std::string MakeReplacement(const std::string& target, const struct stat* existing,
                            Descriptor& out) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = TemporaryName(target);
    Descriptor fd(::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!fd) {
      if (errno == EEXIST) continue;
      return "";
    }
    if (existing && !TakeModeAndOwner(fd.get(), *existing)) {
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
Descriptor OpenForReading(const std::string& path, struct stat& st, std::uint64_t limit) {
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd || ::fstat(fd.get(), &st) != 0 || S_ISDIR(st.st_mode))
    throw EFOpenError(FormatMessage(msg::kFileOpen, path));
  if (S_ISREG(st.st_mode) && static_cast<std::uint64_t>(st.st_size) > limit)
    throw EOutOfResources(msg::kImageTooLarge);
  return fd;
}

// Whether bytes can begin a picture file that the program reads: a bitmap file begins with
// "BM", a JPEG file with its start-of-image marker, a PNG file with 0x89 "PNG".
bool BeginsAsPicture(std::span<const std::uint8_t> head) {
  return head.size() >= 2 &&
         ((head[0] == 'B' && head[1] == 'M') || (head[0] == 0xFF && head[1] == 0xD8) ||
          (head[0] == 0x89 && head[1] == 'P'));
}

// What is left to read of an open file, until its end: at most limit bytes, refused with
// EOutOfResources as soon as there is one more. Devices, pipes and files of /proc report no
// size or a wrong one, so the bytes are read into pieces that grow up to 64 MiB, never beyond
// the limit and one byte, and are put together at the end, each piece freed once copied: n bytes
// take n bytes and a piece. (A buffer that doubles until the data fit takes three times as much
// while it is copied: an endless device made it reach 4 GB.) A stream whose first piece cannot
// begin a picture file, such as /dev/zero, is read no further: whatever reads it refuses it
// from its first bytes.
std::vector<std::uint8_t> ReadToEnd(const Descriptor& fd, const struct stat& st,
                                    std::uint64_t limit) {
  constexpr std::uint64_t kFirstPiece = 64 << 10, kLargestPiece = 64 << 20;
  std::vector<std::vector<std::uint8_t>> pieces;
  std::uint64_t total = 0;
  std::uint64_t next = S_ISREG(st.st_mode) && st.st_size > 0
                           ? static_cast<std::uint64_t>(st.st_size) + 1
                           : kFirstPiece;
  for (bool atEnd = false; !atEnd;) {
    std::vector<std::uint8_t> piece(static_cast<std::size_t>(std::min(next, limit + 1 - total)));
    std::size_t filled = 0;
    while (filled < piece.size()) {
      const ssize_t n = ::read(fd.get(), piece.data() + filled, piece.size() - filled);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) ReadFailed();
      if (n == 0) {
        atEnd = true;
        break;
      }
      filled += static_cast<std::size_t>(n);
    }
    total += filled;
    if (total > limit) throw EOutOfResources(msg::kImageTooLarge);
    piece.resize(filled);
    if (!piece.empty()) pieces.push_back(std::move(piece));
    if (pieces.size() == 1 && !BeginsAsPicture(pieces.front())) break;
    next = std::min(next * 2, kLargestPiece);
  }
  if (pieces.size() == 1) return std::move(pieces.front());
  std::vector<std::uint8_t> data;
  data.reserve(static_cast<std::size_t>(total));
  for (auto& piece : pieces) {
    data.insert(data.end(), piece.begin(), piece.end());
    std::vector<std::uint8_t>().swap(piece);
  }
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
  Descriptor fd = OpenForReading(path, st, kMaxPictureFileBytes);
  // Devices, pipes and files of /proc report no size or a wrong one: they are read whole.
  if (S_ISREG(st.st_mode) && st.st_size > 0)
    return std::make_unique<FileSource>(std::move(fd), static_cast<std::uint64_t>(st.st_size));
  return std::make_unique<MemorySource>(ReadToEnd(fd, st, kMaxPictureFileBytes));
}

std::vector<std::uint8_t> ReadWholeFile(const std::string& path, std::uint64_t limit) {
  struct stat st {};
  const Descriptor fd = OpenForReading(path, st, limit);
  return ReadToEnd(fd, st, limit);
}

std::vector<std::uint8_t> ReadWholeFile(const std::string& path) {
  return ReadWholeFile(path, kMaxPictureFileBytes);
}

void SaveFileContent(const std::string& path, const std::function<void(ByteSink&)>& write) {
  const auto cannotCreate = [&] { return EFCreateError(FormatMessage(msg::kFileCreate, path)); };
  if (path.empty()) throw cannotCreate();
  const SaveTarget followed = FollowLinks(path);
  const std::string& target = followed.path;
  if (target.empty()) throw cannotCreate();
  if (followed.magic) {
    Descriptor fd = OpenMagicInPlace(target);
    if (!fd) throw cannotCreate();
    DescriptorSink sink(fd.get());
    write(sink);
    if (!fd.Close()) throw EWriteError(msg::kStreamWrite);
    return;
  }

  if (!NameFits(target)) throw cannotCreate();
  struct stat st {};
  const bool exists = ::stat(target.c_str(), &st) == 0;
  // Replacing keeps an old file whole until the new one is complete, but only a lone regular
  // file can be replaced without the user noticing: other hard links would keep the old
  // picture, and a device or a pipe would become a plain file. A file the user may not write
  // is not replaced behind its back either.
  const bool replaceable =
      !exists || (S_ISREG(st.st_mode) && st.st_nlink == 1 && ::access(target.c_str(), W_OK) == 0);
  if (replaceable) {
    if (Descriptor unnamed = MakeUnnamedReplacement(target, exists ? &st : nullptr)) {
      DescriptorSink sink(unnamed.get());
      write(sink);
      if (!KeepMode(unnamed.get(), exists ? &st : nullptr) || ::fsync(unnamed.get()) != 0 ||
          !LinkReplacement(unnamed.get(), target, exists) || !unnamed.Close())
        throw EWriteError(msg::kStreamWrite);
      return;
    }
  }
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
    if (!KeepMode(temporary.get(), exists ? &st : nullptr) || ::fsync(temporary.get()) != 0 ||
        !temporary.Close() || ::rename(temporaryName.c_str(), target.c_str()) != 0)
      throw EWriteError(msg::kStreamWrite);
  } catch (...) {
    ::unlink(temporaryName.c_str());
    throw;
  }
}

void UseNamedTemporaryFilesOnly(bool only) {
  namedTemporaryFilesOnly = only;
}

void CheckFileCreatable(const std::string& path) {
  const auto cannotCreate = [&] { return EFCreateError(FormatMessage(msg::kFileCreate, path)); };
  if (path.empty()) throw cannotCreate();
  const SaveTarget followed = FollowLinks(path);
  if (followed.path.empty()) throw cannotCreate();
  if (followed.magic) return;  // a pipe or socket of ours, written as it stands
  const std::string& target = followed.path;
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
