// The save paths and the stream reads of platform/files.h, called directly: what a save does to
// every kind of target, after a failure, when killed, and how far a stream is read.
#include "platform/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <utility>

#include "platform/bmp.h"
#include "platform/errors.h"
#include "platform/messages.h"
#include "support/test_support.h"

namespace {

mode_t GetUmask() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

constexpr uid_t kNobody = 65534;

// What a save left behind, seen from the test.
struct SaveTarget {
  std::string path;                     // the name saved to
  std::function<void()> check = [] {};  // the checks of the case, after the save
};

// Saves bytes to the target that prepare makes, in a child process; as an unprivileged user
// when asked and the test runs as root (who may write anything), so that permissions count.
// Returns the error message, "" after success. Only checks that the save could create the
// file when checkOnly.
std::string SaveInChild(const std::vector<std::uint8_t>& bytes, const std::string& path,
                        bool unprivileged, bool checkOnly = false) {
  int fds[2];
  if (::pipe(fds) != 0) return "no pipe";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    ::umask(022);
    if (unprivileged && ::geteuid() == 0 && (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0))
      ::_exit(4);
    std::string message;
    try {
      if (checkOnly)
        CheckFileCreatable(path);
      else
        SaveFileContent(path, bytes);
    } catch (const Exception& e) {
      message = e.Message();
    }
    const bool sent =
        ::write(fds[1], message.data(), message.size()) == static_cast<ssize_t>(message.size());
    ::_exit(sent ? 0 : 3);
  }
  ::close(fds[1]);
  std::string message;
  char buffer[256];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
    message.append(buffer, static_cast<std::size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << path << ": status " << status;
  return message;
}

// Every name under dir with its inode, size and time.
std::vector<std::string> DirectoryListing(const ScratchDir& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path())) {
    struct stat st {};
    ::lstat(entry.path().c_str(), &st);
    names.push_back(entry.path().string() + " " + std::to_string(st.st_ino) + " " +
                    std::to_string(st.st_size) + " " + std::to_string(st.st_mtime));
  }
  std::sort(names.begin(), names.end());
  return names;
}

struct stat StatOf(const std::string& path, bool followLinks = true) {
  struct stat st {};
  EXPECT_EQ(followLinks ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st), 0) << path;
  return st;
}

}  // namespace
// Every kind of target a save may meet. Files that can be replaced whole are replaced through a
// new file; everything else is written in place and stays what it is.
TEST(SaveFile, EveryKindOfTarget) {
  ScratchDir dir;
  ::chmod(dir.path().c_str(), 0755);  // the unprivileged cases must reach their folders
  TBitmap picture;
  picture.AdoptHandle(MakeFlatPicture(5, 3, {9, 8, 7}));
  const auto bytes = EncodeBitmapFile(*picture.Object());
  const std::vector<std::uint8_t> old = {'o', 'l', 'd'};
  const bool root = ::geteuid() == 0;
  const auto cannotCreate = [](const std::string& path) {
    return FormatMessage(msg::kFileCreate, path);
  };
  const std::string writeError = msg::kStreamWrite;

  const struct Case {
    const char* name;
    bool unprivileged;
    std::function<SaveTarget()> prepare;
    std::function<std::string(const std::string&)> error;  // "" when the save succeeds
  } cases[] = {
      {"new file: default permissions", false,
       [&] {
         const std::string p = dir / "new.bmp";
         return SaveTarget{p, [=] {
                             EXPECT_EQ(ReadBytes(p), bytes);
                             EXPECT_EQ(StatOf(p).st_mode & 07777, 0644u);
                           }};
       },
       [](auto&) { return std::string(); }},
      {"existing file: replaced whole, permissions kept", false,
       [&] {
         const std::string p = dir / "keep-mode.bmp";
         WriteBytes(p, old);
         ::chmod(p.c_str(), 0640);
         const ino_t before = StatOf(p).st_ino;
         return SaveTarget{p, [=] {
                             EXPECT_EQ(ReadBytes(p), bytes);
                             EXPECT_EQ(StatOf(p).st_mode & 07777, 0640u);
                             EXPECT_NE(StatOf(p).st_ino, before) << "not replaced";
                           }};
       },
       [](auto&) { return std::string(); }},
      {"writable file in a read-only folder: written in place", true,
       [&] {
         const std::string folder = dir / "read-only";
         std::filesystem::create_directory(folder);
         const std::string p = folder + "/picture.bmp";
         WriteBytes(p, old);
         ::chmod(p.c_str(), 0666);
         ::chmod(folder.c_str(), 0555);
         const ino_t before = StatOf(p).st_ino;
         return SaveTarget{p, [=] {
                             EXPECT_EQ(ReadBytes(p), bytes);
                             EXPECT_EQ(StatOf(p).st_ino, before);
                             ::chmod(folder.c_str(), 0755);
                           }};
       },
       [](auto&) { return std::string(); }},
      {"read-only file in a writable folder: not replaced behind its back", true,
       [&] {
         const std::string folder = dir / "shared";
         std::filesystem::create_directory(folder);
         ::chmod(folder.c_str(), 0777);
         const std::string p = folder + "/theirs.bmp";
         WriteBytes(p, old);
         ::chmod(p.c_str(), 0444);
         return SaveTarget{p, [=] { EXPECT_EQ(ReadBytes(p), old); }};
       },
       cannotCreate},
      {"hard-linked file: every name sees the new picture", false,
       [&] {
         const std::string p = dir / "a.bmp", other = dir / "b.bmp";
         WriteBytes(p, old);
         std::filesystem::create_hard_link(p, other);
         return SaveTarget{p, [=] {
                             EXPECT_EQ(ReadBytes(p), bytes);
                             EXPECT_EQ(ReadBytes(other), bytes);
                             EXPECT_EQ(StatOf(p).st_nlink, 2u);
                           }};
       },
       [](auto&) { return std::string(); }},
      {"symbolic link: the file it names is written", false,
       [&] {
         const std::string p = dir / "link.bmp", real = dir / "real.bmp";
         WriteBytes(real, old);
         std::filesystem::create_symlink("real.bmp", p);
         return SaveTarget{p, [=] {
                             EXPECT_TRUE(S_ISLNK(StatOf(p, false).st_mode));
                             EXPECT_EQ(ReadBytes(real), bytes);
                           }};
       },
       [](auto&) { return std::string(); }},
      {"dangling symbolic link: its target is created", false,
       [&] {
         const std::string p = dir / "dangling.bmp", real = dir / "made.bmp";
         std::filesystem::create_symlink("made.bmp", p);
         return SaveTarget{p, [=] {
                             EXPECT_TRUE(S_ISLNK(StatOf(p, false).st_mode));
                             EXPECT_EQ(ReadBytes(real), bytes);
                           }};
       },
       [](auto&) { return std::string(); }},
      {"named pipe with a reader: the bytes go through it", false,
       [&] {
         const std::string p = dir / "pipe";
         EXPECT_EQ(::mkfifo(p.c_str(), 0666), 0);
         // Opened before the save; the picture fits the pipe's buffer, so the writer never
         // waits for the reader.
         const int reader = ::open(p.c_str(), O_RDONLY | O_NONBLOCK);
         return SaveTarget{p, [=] {
                             std::vector<std::uint8_t> got(bytes.size() + 16);
                             const ssize_t n = ::read(reader, got.data(), got.size());
                             ::close(reader);
                             got.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
                             EXPECT_EQ(got, bytes);
                             EXPECT_TRUE(S_ISFIFO(StatOf(p).st_mode));
                           }};
       },
       [](auto&) { return std::string(); }},
      {"named pipe nobody reads: refused at once", false,
       [&] {
         const std::string p = dir / "lonely-pipe";
         EXPECT_EQ(::mkfifo(p.c_str(), 0666), 0);
         return SaveTarget{p, [=] { EXPECT_TRUE(S_ISFIFO(StatOf(p).st_mode)); }};
       },
       cannotCreate},
      {"null device: written, stays a device", false,
       [&] {
         const std::string p = CharacterDevice(dir, "null", 3);
         return SaveTarget{p, [=] { EXPECT_TRUE(S_ISCHR(StatOf(p).st_mode)); }};
       },
       [](auto&) { return std::string(); }},
      {"full device: the write error, stays a device", false,
       [&] {
         const std::string p = CharacterDevice(dir, "full", 7);
         return SaveTarget{p, [=] { EXPECT_TRUE(S_ISCHR(StatOf(p).st_mode)); }};
       },
       [&](auto&) { return writeError; }},
      {"a folder", false,
       [&] {
         return SaveTarget{dir / ".", [] {}};
       },
       cannotCreate},
      {"missing folder", false, [&] { return SaveTarget{dir / "missing folder/out.bmp"}; },
       cannotCreate},
      {"a name longer than a name may be: refused before anything is written", false,
       [&] { return SaveTarget{dir / (std::string(252, 'n') + ".bmp")}; }, cannotCreate},
      {"empty name", false, [&] { return SaveTarget{""}; }, cannotCreate},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const SaveTarget target = c.prepare();
    // The check before long work says what the save will say about creating the file (a pipe
    // is only tried by the save: its reader may come meanwhile), and changes nothing.
    const auto before = DirectoryListing(dir);
    const std::string error = c.error(target.path);
    const bool pipe = std::string(c.name).starts_with("named pipe");
    EXPECT_EQ(SaveInChild(bytes, target.path, c.unprivileged, true),
              error == cannotCreate(target.path) && !pipe ? error : "");
    EXPECT_EQ(DirectoryListing(dir), before);
    EXPECT_EQ(SaveInChild(bytes, target.path, c.unprivileged), error);
    target.check();
  }
  // As root, a file of another user is replaced through a new file that takes its owner, group
  // and permissions.
  if (root) {
    const std::string p = dir / "nobodys.bmp";
    WriteBytes(p, old);
    ASSERT_EQ(::chown(p.c_str(), kNobody, kNobody), 0);
    ::chmod(p.c_str(), 0604);
    const ino_t before = StatOf(p).st_ino;
    EXPECT_EQ(SaveInChild(bytes, p, false), "");
    EXPECT_EQ(ReadBytes(p), bytes);
    const struct stat after = StatOf(p);
    EXPECT_NE(after.st_ino, before) << "not replaced";
    EXPECT_EQ(after.st_uid, kNobody);
    EXPECT_EQ(after.st_gid, kNobody);
    EXPECT_EQ(after.st_mode & 07777, 0604u);
  }
  // A file of someone else that we may write keeps its owner: it is written in place.
  if (root) {
    const std::string folder = dir / "shared";
    const std::string p = folder + "/root-owned.bmp";
    WriteBytes(p, old);
    ::chmod(p.c_str(), 0666);
    EXPECT_EQ(SaveInChild(bytes, p, true), "");
    EXPECT_EQ(ReadBytes(p), bytes);
    EXPECT_EQ(StatOf(p).st_uid, 0u);
  }
  // No temporary file is left anywhere.
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path()))
    EXPECT_EQ(entry.path().filename().string().find(".lv"), std::string::npos) << entry.path();
}

// A save that fails part way: a disk that fills up (the file size limit makes a write fail),
// or a writer that gives up after its first megabytes. The old file stays as it was and no
// temporary file is left behind.
TEST(SaveFile, FailedWriteLeavesTheOldFileAndNoPartialFile) {
  const std::vector<std::uint8_t> bytes(3 << 20, 'x');
  const struct {
    const char* name;
    bool diskFull;  // the process may write no more than 1.5 MiB to a file
    std::function<void(const std::string&)> save;
    std::string error;
  } cases[] = {
      {"disk full", true, [&](const std::string& path) { SaveFileContent(path, bytes); },
       msg::kStreamWrite},
      {"writer throws", false,
       [](const std::string& path) {
         SaveFileContent(path, [](ByteSink& sink) {
           sink.Write(std::vector<std::uint8_t>(3 << 20, 'x'));
           throw std::runtime_error("given up");
         });
       },
       "given up"},
  };
  for (const auto& [c, named] : {std::pair{cases[0], false}, std::pair{cases[1], false},
                                 std::pair{cases[0], true}, std::pair{cases[1], true}}) {
    SCOPED_TRACE(std::string(c.name) + (named ? ", named temporary file" : ""));
    UseNamedTemporaryFilesOnly(named);
    ScratchDir dir;
    const std::vector<std::uint8_t> old = {'o', 'l', 'd', ' ', 'f', 'i', 'l', 'e'};
    WriteBytes(dir / "keep.bmp", old);

    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = 3 << 19;
    if (c.diskFull) {
      ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    }
    std::string message;
    try {
      c.save(dir / "keep.bmp");
    } catch (const EWriteError& e) {
      message = e.Message();
    } catch (const std::runtime_error& e) {
      message = e.what();
    }
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    UseNamedTemporaryFilesOnly(false);

    EXPECT_EQ(message, c.error);
    EXPECT_EQ(ReadBytes(dir / "keep.bmp"), old);
    int files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path()))
      ++files;
    EXPECT_EQ(files, 1) << "a temporary file was left behind";
  }
}

namespace {

// The names in a folder.
std::vector<std::string> Entries(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// A tmpfs and the build's own file system (ext4 here); both have files without a name.
std::vector<std::filesystem::path> SaveFileSystems() {
  std::vector<std::filesystem::path> bases = {std::filesystem::current_path()};
  if (std::filesystem::is_directory("/dev/shm")) bases.emplace_back("/dev/shm");
  return bases;
}

// Passes writes on to a sink; after the first `after` bytes, calls once first.
class WatchedSink final : public ByteSink {
 public:
  WatchedSink(ByteSink& sink, std::size_t after, std::function<void()> once)
      : sink_(sink), after_(after), once_(std::move(once)) {}
  void Write(std::span<const std::uint8_t> data) override {
    if (once_ && written_ >= after_) std::exchange(once_, nullptr)();
    sink_.Write(data);
    written_ += data.size();
  }

 private:
  ByteSink& sink_;
  std::size_t after_;
  std::function<void()> once_;
  std::size_t written_ = 0;
};

}  // namespace

// A new or lone file is replaced through a new file: one without a name where the file system
// offers it (nothing shows in the folder while it is written), a named temporary one otherwise.
// Both keep the permissions and replace whole, also under the longest names.
TEST(SaveFile, ReplacementWithAndWithoutATemporaryName) {
  TBitmap picture;
  picture.AdoptHandle(MakeFlatPicture(300, 200, {9, 8, 7}));
  const auto bytes = EncodeBitmapFile(*picture.Object());
  const std::vector<std::uint8_t> old = {'o', 'l', 'd'};
  for (const auto& base : SaveFileSystems()) {
    for (const bool named : {false, true}) {
      SCOPED_TRACE(base.string() + (named ? ", named" : ", unnamed"));
      ScratchDir dir(base);
      UseNamedTemporaryFilesOnly(named);
      const struct {
        std::string name;
        bool exists;
      } cases[] = {{"new.bmp", false},
                   {"old.bmp", true},
                   {std::string(250, 'n') + ".bmp", true},
                   {std::string(251, 'm') + ".bmp", false}};
      for (const auto& c : cases) {
        SCOPED_TRACE(c.name.size());
        const std::string path = dir / c.name;
        ino_t before = 0;
        if (c.exists) {
          WriteBytes(path, old);
          ::chmod(path.c_str(), 07750);  // set-user-ID, set-group-ID and sticky bits too
          before = StatOf(path).st_ino;
        }
        const auto entriesBefore = Entries(dir.path());
        std::size_t entriesDuring = 0;
        SaveFileContent(path, [&](ByteSink& sink) {
          WatchedSink watched(sink, 0, [&] { entriesDuring = Entries(dir.path()).size(); });
          WriteBitmapFile(*picture.Object(), watched);
        });
        EXPECT_EQ(entriesDuring, entriesBefore.size() + (named ? 1 : 0));
        EXPECT_EQ(ReadBytes(path), bytes);
        EXPECT_EQ(StatOf(path).st_mode & 07777, c.exists ? 07750u : 0666u & ~GetUmask());
        if (c.exists) {
          EXPECT_NE(StatOf(path).st_ino, before) << "written in place";
        }
      }
      for (const auto& name : Entries(dir.path()))
        EXPECT_EQ(name.find(".lv"), std::string::npos) << name;
      UseNamedTemporaryFilesOnly(false);
    }
  }
}

// A save killed part way through a big picture leaves the old file as it was and nothing else.
TEST(SaveFile, AKilledSaveLeavesOnlyTheOldFile) {
  TBitmap picture;
  picture.AdoptHandle(NoisePicture(3000, 2000, 4));  // 18 MB
  const std::vector<std::uint8_t> old = {'o', 'l', 'd'};
  for (const auto& base : SaveFileSystems()) {
    for (const bool existing : {true, false}) {
      SCOPED_TRACE(base.string() + (existing ? ", over a file" : ", new file"));
      ScratchDir dir(base);
      const std::string path = dir / "picture.bmp";
      if (existing) WriteBytes(path, old);
      int fds[2];
      ASSERT_EQ(::pipe(fds), 0);
      const pid_t pid = ::fork();
      if (pid == 0) {
        ::close(fds[0]);
        // Half the picture written, the parent is told and the save waits to be killed.
        SaveFileContent(path, [&](ByteSink& sink) {
          WatchedSink watched(sink, 9 << 20, [&] {
            if (::write(fds[1], "k", 1) != 1) ::_exit(3);
            for (;;) ::pause();
          });
          WriteBitmapFile(*picture.Object(), watched);
        });
        ::_exit(0);
      }
      ::close(fds[1]);
      char told = 0;
      EXPECT_EQ(::read(fds[0], &told, 1), 1);
      ::close(fds[0]);
      ::kill(pid, SIGKILL);
      int status = 0;
      ::waitpid(pid, &status, 0);
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
      EXPECT_EQ(Entries(dir.path()),
                existing ? std::vector<std::string>{"picture.bmp"} : std::vector<std::string>{});
      if (existing) {
        EXPECT_EQ(ReadBytes(path), old);
      }
    }
  }
}

// Standard output as a pipe or a socket: /dev/stdout leads to a link of /proc that names no
// file ("pipe:[…]", "socket:[…]"); the bytes go through it.
TEST(SaveFile, StandardOutputAsAPipeOrASocket) {
  TBitmap picture;
  picture.AdoptHandle(MakeFlatPicture(300, 200, {9, 8, 7}));  // more than a pipe's buffer
  const auto bytes = EncodeBitmapFile(*picture.Object());
  for (const bool socket : {false, true}) {
    for (const char* name : {"/dev/stdout", "/dev/fd/1", "/proc/self/fd/1"}) {
      SCOPED_TRACE(std::string(socket ? "socket " : "pipe ") + name);
      int fds[2];
      ASSERT_EQ(socket ? ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) : ::pipe(fds), 0);
      const pid_t pid = ::fork();
      if (pid == 0) {
        ::close(fds[0]);
        if (::dup2(fds[1], 1) != 1) ::_exit(3);
        ::close(fds[1]);
        try {
          SaveFileContent(name, bytes);
        } catch (const Exception&) {
          ::_exit(1);
        }
        ::_exit(0);
      }
      ::close(fds[1]);
      std::vector<std::uint8_t> got;
      std::uint8_t buffer[65536];
      for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
        got.insert(got.end(), buffer, buffer + n);
      ::close(fds[0]);
      int status = 0;
      ::waitpid(pid, &status, 0);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
      EXPECT_EQ(got, bytes);
    }
  }
}

// A stream (a pipe here) is read up to the size limit and one byte, no further, and refused
// beyond it; one that cannot begin a picture file, such as /dev/zero, only for its first 64 KiB.
TEST(ReadFile, StreamsAreReadUpToTheLimit) {
  constexpr std::size_t kLimit = 1 << 20;  // bytes; the pieces read are 64 KiB and up
  const struct {
    std::size_t size;
    bool endless;  // the writer goes on until the reader has gone
    bool read;
  } cases[] = {{3, false, true},
               {kLimit - 1, false, true},
               {kLimit, false, true},
               {kLimit + 1, false, false},
               {0, true, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    auto bytes = RandomBytes(c.endless ? 1 << 16 : c.size, 9);
    bytes[0] = 'B', bytes[1] = 'M';
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t writer = ::fork();
    if (writer == 0) {
      ::close(fds[0]);
      do {
        for (std::size_t done = 0; done < bytes.size();) {
          const ssize_t n = ::write(fds[1], bytes.data() + done, bytes.size() - done);
          if (n <= 0) ::_exit(0);
          done += static_cast<std::size_t>(n);
        }
      } while (c.endless);
      ::_exit(0);
    }
    ::close(fds[1]);
    const std::string path = "/proc/self/fd/" + std::to_string(fds[0]);
    if (c.read) {
      EXPECT_EQ(ReadWholeFile(path, kLimit), bytes);
    } else {
      EXPECT_THROW(ReadWholeFile(path, kLimit), EOutOfResources);
    }
    ::close(fds[0]);
    ::waitpid(writer, nullptr, 0);
  }
  const auto zeros = ReadWholeFile("/dev/zero");
  EXPECT_EQ(zeros.size(), 64u << 10);
  EXPECT_EQ(std::count(zeros.begin(), zeros.end(), 0), 64 << 10);
}
