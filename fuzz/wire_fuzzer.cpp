// The manager's side of the wire: what a helper may send, as a byte stream, taken in by the
// same code the manager uses (the link's reading, the replies' unpacking, a scan's checks and
// the conversion of its frames). The input is what the helper's end of the connection says to
// the manager's requests in turn: a search for devices, opening one, setting its resolution,
// its parameters, a live scan and closing the device. Whatever it says, every request ends.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "scanner/device/device.h"
#include "scanner/device/helper_link.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The input waits whole in the socket before the manager reads it.
  constexpr std::size_t kLargest = 1 << 20;
  int fds[2];
  if (size > kLargest || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
  const int buffer = 2 * kLargest;
  (void)::setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
  std::size_t sent = 0;
  while (sent < size) {
    const ssize_t n = ::send(fds[1], data + sent, size - sent, MSG_DONTWAIT);
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  ::shutdown(fds[1], SHUT_WR);  // then the helper has said all it says
  scanner::HelperLink::Instance().Adopt(fds[0]);

  (void)scanner::FindDevices(false);
  SANE_Status status = SANE_STATUS_GOOD;
  if (std::unique_ptr<scanner::Device> device = scanner::Device::Open("fuzz:0", status)) {
    (void)device->SetNumber("resolution", 300);
    SANE_Parameters parameters{};
    (void)device->Parameters(parameters);
    device->StartScan({}, true);
    const scanner::ScanResult result = device->TakeResult();
    std::vector<std::uint8_t> live;
    (void)device->LiveBytes(0, parameters, live);
    // A complete picture is a packed bitmap whose rows the header accounts for.
    if (result.outcome == scanner::ScanResult::Outcome::kComplete && result.dib.size() < 40)
      __builtin_trap();
  }
  scanner::EndScanning();
  ::close(fds[1]);
  return 0;
}
