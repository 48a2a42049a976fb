// File streams: whole-file reads and all-or-nothing writes.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

// The whole content of the file. Throws EFOpenError when it cannot be opened, EReadError when
// reading fails.
std::vector<std::uint8_t> ReadWholeFile(const std::string& path);

// Writes data as the new content of path, or leaves path as it was: the bytes go to a temporary
// file beside it that replaces path only once everything is written. Throws EFCreateError when
// the file cannot be created, EWriteError when the bytes cannot all be written or committed.
void WriteFileAtomically(const std::string& path, std::span<const std::uint8_t> data);
