// Whole-file reads and replace-on-success writes for the project file. A read
// refuses files above a size limit instead of allocating for them; a write
// goes to a temporary file beside the target and is renamed over it only once
// every byte is on disk, so a failed save never leaves a half-written file.
// Stateless; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace dravik {

bool FileExists(const std::string& path);
bool ReadWholeFile(const std::string& path, size_t max_bytes, std::vector<uint8_t>* bytes,
                   std::string* error);

// Replaces the file at `path` with `bytes` so that a crash at any moment
// leaves either the old file or the new one:
// - a symbolic link at `path` is followed and its target replaced (the link
//   stays);
// - the new file takes the old one's mode, and its owner and group where the
//   process may set them (a new file: 0666 less the umask); it is never
//   readable by more people than the final file, not even for a moment;
// - the temporary file is flushed to disk before the rename, the folder after.
// When the folder refuses a new file but the file itself is writable, the
// file is written in place instead (no longer safe against a power cut, but
// a failed write still leaves the old content whole: the space is reserved
// first, the old length kept until every new byte is flushed, and the old
// bytes written back should a write fail anyway). `note` then says so, for
// the caller's log (with no `note` it goes to stderr); it also carries the
// warning when the folder could not be flushed after the rename (the file is
// replaced, but a power cut could still bring the old one back). False with
// `error` when nothing could be written or the write failed; the old file is
// then unchanged.
bool WriteFileReplacing(const std::string& path, const std::vector<uint8_t>& bytes,
                        std::string* error, std::string* note = nullptr);

// `path` with symbolic links in its last component followed, also a link to
// a file that does not exist yet. Fails on a loop or an unreadable link.
bool ResolveFileLinks(const std::string& path, std::string* target, std::string* error);

}  // namespace dravik
