// File streams: whole-file reads and saves that never surprise.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

// The whole content of the file, also of a device, a pipe or a file that reports no size.
// Throws EFOpenError when it cannot be opened (a folder cannot), EReadError when reading fails,
// EOutOfResources when it is larger than any picture file can be.
std::vector<std::uint8_t> ReadWholeFile(const std::string& path);

// Writes data as the new content of path; symbolic links are followed to the file they name.
// A file that does not exist yet, or a regular file with a single link that the user may write,
// in a folder the user may write, is replaced through a temporary file beside it that takes its
// permissions and owner: a failed save leaves it as it was. Anything else (a hard-linked file,
// a file in a read-only folder, a device, a named pipe) is written in place, created or
// emptied, so that it stays what it is. Throws EFCreateError when the file cannot be created or
// opened (an empty name, a missing folder, no permission, a pipe that nobody reads),
// EWriteError when the bytes cannot all be written.
void SaveFileContent(const std::string& path, std::span<const std::uint8_t> data);
