#include "socket.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <span>

namespace scanner::wire {
namespace {

// Milliseconds until deadline for poll: -1 without one, 0 once it has passed.
int PollWait(Deadline deadline) {
  if (!deadline) return -1;
  const auto left = std::chrono::duration_cast<Millis>(*deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<decltype(left)>(left, 0, 86400000));
}

}  // namespace

bool WriteMessage(int fd, Packer& message, Deadline deadline) {
  const std::vector<std::uint8_t>& bytes = message.Message();
  std::size_t done = 0;
  while (fd >= 0 && done < bytes.size()) {
    const ssize_t n =
        ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // The other side does not take its messages in: waited for no longer than the deadline.
      const int wait = PollWait(deadline);
      if (wait == 0) return false;
      pollfd p{fd, POLLOUT, 0};
      (void)::poll(&p, 1, wait);
      continue;
    }
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return fd >= 0;
}

bool Receive(int fd, MessageReader& reader, std::optional<Millis> wait) {
  if (fd < 0) return false;
  pollfd p{fd, POLLIN, 0};
  const int ready = ::poll(
      &p, 1, wait ? static_cast<int>(std::clamp<std::int64_t>(wait->count(), 0, 86400000)) : -1);
  if (ready < 0) return errno == EINTR;
  if (ready == 0) return true;
  // What has arrived, without waiting: up to the end of one message at most.
  while (!reader.Complete()) {
    const std::span<std::uint8_t> space = reader.Space();
    const ssize_t n = ::recv(fd, space.data(), space.size(), MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (n <= 0) return false;  // the other side has gone
    if (!reader.Received(static_cast<std::size_t>(n))) return false;
  }
  return true;
}

std::optional<Unpacker> ReadMessage(int fd, Deadline deadline) {
  MessageReader reader;
  for (;;) {
    if (std::optional<Unpacker> message = reader.Take()) return message;
    const int wait = PollWait(deadline);
    if (wait == 0 || !Receive(fd, reader, wait < 0 ? std::nullopt : std::optional(Millis(wait))))
      return std::nullopt;
  }
}

}  // namespace scanner::wire
