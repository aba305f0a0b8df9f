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
// first without changing the length, so a kill before the overwrite leaves
// exactly the old file; the old length is kept until every new byte is
// flushed, and the old bytes are written back should a write fail anyway; a
// kill during the overwrite itself can still leave a mix). `note` then says
// so, for the caller's log (with no `note` it goes to stderr); it also carries the
// warning when the folder could not be flushed after the rename (the file is
// replaced, but a power cut could still bring the old one back). False with
// `error` when nothing could be written or the write failed; the old file is
// then unchanged.
// A file that exists but that the user may not write (no write permission,
// or no write bit at all, which holds even for root, as the read-only
// attribute does on Windows) is refused, not replaced: the folder's
// permission to rename over it is no permission to change the file.
// Temporary files left beside `path` by a save that was killed (named
// `path`.PID.N.tmp, their process gone) are removed first.
// `problem`, when given, says why a write failed, for a message in the
// user's words.
enum class WriteProblem {
  kNone,
  kFileReadOnly,    // no write bit on the file
  kNoPermission,    // the user may not write the file
  kFolderReadOnly,  // the folder (or its file system) takes no new file
  kNoFolder,        // the folder does not exist
  kDiskFull,        // no room on the disk, or the quota is used up
  kOther,
};
bool WriteFileReplacing(const std::string& path, const std::vector<uint8_t>& bytes,
                        std::string* error, std::string* note = nullptr,
                        WriteProblem* problem = nullptr);

// `path` with symbolic links in its last component followed, also a link to
// a file that does not exist yet. Fails on a loop or an unreadable link.
bool ResolveFileLinks(const std::string& path, std::string* target, std::string* error);

}  // namespace dravik
