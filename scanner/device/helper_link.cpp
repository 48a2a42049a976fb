#include "helper_link.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace scanner {
namespace {

constexpr const char* kHelperName = "lumivane-sane-helper";
constexpr int kHelperSocket = 3;
// A cancel is a few bytes: a helper that cannot take them in at once takes in nothing.
constexpr Millis kCancelWrite{100};

// The helper lives beside this library (LUMIVANE_SANE_HELPER names another).
std::string HelperPath() {
  if (const char* path = std::getenv("LUMIVANE_SANE_HELPER"); path && *path) return path;
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&DataLimit), &info) && info.dli_fname)
    return (std::filesystem::path(info.dli_fname).parent_path() / kHelperName).string();
  return kHelperName;
}

// Waits up to limit for the process to end and reaps it; false when it has not ended.
bool Reap(pid_t pid, Millis limit) {
  const auto deadline = Clock::now() + limit;
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR)) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(Millis(5));
  }
}

}  // namespace

Millis DataLimit() {
  const char* text = std::getenv("LUMIVANE_SCANNER_TIMEOUT");
  const double seconds = text ? std::atof(text) : 0;
  return seconds > 0 && seconds < 86400 ? Millis(static_cast<std::int64_t>(seconds * 1000))
                                        : Millis(30000);
}

HelperLink& HelperLink::Instance() {
  static HelperLink link;
  return link;
}

HelperLink::~HelperLink() {
  // The program ends: never wait on SANE's end for long, nor on a scan still under way.
  if (mutex_.try_lock()) {
    mutex_.unlock();
    Shutdown();
  } else {
    Kill();
  }
}

void HelperLink::ReapEnded() {
  std::erase_if(unreaped_, [](pid_t pid) { return Reap(pid, Millis(0)); });
}

void HelperLink::Adopt(int fd) {
  const std::lock_guard lock(mutex_);
  Drop();
  adopted_ = true;
  fd_ = fd;
}

bool HelperLink::Start() {
  ReapEnded();
  if (fd_ >= 0) return true;
  if (adopted_) return false;
  int sockets[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) return false;
  // The child's end goes to descriptor 3 (dup2 clears close-on-exec there); it must not already
  // be 3, where dup2 would do nothing.
  if (sockets[1] == kHelperSocket) {
    const int moved = ::fcntl(sockets[1], F_DUPFD_CLOEXEC, 10);
    ::close(sockets[1]);
    sockets[1] = moved;
  }
  const std::string path = HelperPath();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, sockets[1], kHelperSocket);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  // The helper starts with default signal dispositions, whatever the program set.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t all;
  sigfillset(&all);
  posix_spawnattr_setsigdefault(&attributes, &all);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  char* argv[] = {const_cast<char*>(kHelperName), nullptr};
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, path.c_str(), &actions, &attributes, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(sockets[1]);
  if (spawned != 0) {
    (void)std::fprintf(stderr, "lumivane: cannot start %s: %s\n", path.c_str(),
                       std::strerror(spawned));
    ::close(sockets[0]);
    return false;
  }
  pid_ = pid;
  fd_ = sockets[0];
  return true;
}

void HelperLink::Drop() {
  const int fd = fd_.exchange(-1);
  const pid_t pid = pid_.exchange(-1);
  if (pid > 0) {
    ::kill(pid, SIGKILL);
    // A process in an uninterruptible wait ends a little later; it is not waited for long, and
    // reaped at the next use.
    if (!Reap(pid, Millis(200))) unreaped_.push_back(pid);
  }
  if (fd >= 0) {
    const std::lock_guard write(writeMutex_);
    ::close(fd);
  }
  ++generation_;
}

void HelperLink::Kill() {
  if (const pid_t pid = pid_.load(); pid > 0) ::kill(pid, SIGKILL);
}

bool HelperLink::Write(wire::Packer& packer, Clock::time_point deadline) {
  const std::lock_guard write(writeMutex_);
  return wire::WriteMessage(fd_, packer, deadline);
}

std::optional<wire::Unpacker> HelperLink::Call(wire::Packer& request, wire::Kind expected,
                                               Millis limit) {
  const std::lock_guard lock(mutex_);
  if (!Start()) return std::nullopt;
  const Clock::time_point deadline = Clock::now() + limit;
  std::optional<wire::Unpacker> reply;
  if (Write(request, deadline)) reply = wire::ReadMessage(fd_, deadline);
  if (!reply || reply->kind() != expected) {
    Drop();
    return std::nullopt;
  }
  return reply;
}

HelperLink::Stream HelperLink::Open(wire::Packer& request) {
  std::unique_lock lock(mutex_);
  const bool sent = Start() && Write(request, Clock::now() + DataLimit());
  if (!sent && fd_ >= 0) Drop();
  return Stream(*this, std::move(lock), sent);
}

std::optional<wire::Unpacker> HelperLink::Stream::Next(Millis wait) {
  if (!sent_) return std::nullopt;
  if (!wire::Receive(link_.fd_, reader_, wait)) {
    Abandon();
    return std::nullopt;
  }
  return reader_.Take();
}

void HelperLink::Stream::Abandon() {
  if (!sent_) return;
  link_.Drop();
  sent_ = false;
}

void HelperLink::SendCancel() {
  wire::Packer cancel(wire::Kind::kCancel);
  if (fd_ >= 0 && !Write(cancel, Clock::now() + kCancelWrite)) Kill();
}

void HelperLink::Shutdown() {
  const std::lock_guard lock(mutex_);
  ReapEnded();
  if (fd_ < 0 && pid_ <= 0) return;
  const Clock::time_point deadline = Clock::now() + kExitLimit;
  wire::Packer exit(wire::Kind::kExit);
  if (Write(exit, deadline)) (void)wire::ReadMessage(fd_, deadline);
  if (const pid_t pid = pid_; pid > 0 && Reap(pid, Millis(50))) pid_ = -1;
  Drop();
}

}  // namespace scanner
