// Whole messages over the socket between the manager and its helper: the one reading and writing
// code of both sides, every wait bounded by a deadline (none: as long as it takes, which only the
// helper asks for: it waits on the manager, which ends it when it gives it up).
#pragma once

#include <chrono>
#include <optional>

#include "scanner/wire/wire.h"

namespace scanner::wire {

using Millis = std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;
inline constexpr Deadline kNoDeadline = std::nullopt;

// Writes the whole message; false when the other side has gone or has not taken it all in by
// deadline (the socket may then hold part of it: the connection is given up).
bool WriteMessage(int fd, Packer& message, Deadline deadline);
// Takes in what has arrived of the message under way, up to its end and no further, waiting up to
// wait (none: without limit) for the first byte; false when the other side has gone or sent what
// cannot be a message.
bool Receive(int fd, MessageReader& reader, std::optional<Millis> wait);
// One whole message by deadline; nothing when none came in time or the other side has gone.
std::optional<Unpacker> ReadMessage(int fd, Deadline deadline);

}  // namespace scanner::wire
