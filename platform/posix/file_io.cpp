#include "platform/file_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace dravik {

namespace {
constexpr int kMaxLinkDepth = 40;  // as the kernel's own limit
constexpr int kMaxTempAttempts = 100;

// Why the write under way failed, set where its error text is made (every
// failure makes one) unless a more precise reason was set before.
thread_local WriteProblem t_problem = WriteProblem::kNone;

WriteProblem ProblemOf(int error_number) {
  switch (error_number) {
    case EACCES:
    case EPERM:
      return WriteProblem::kNoPermission;
    case EROFS:
      return WriteProblem::kFolderReadOnly;
    case ENOENT:
    case ENOTDIR:
      return WriteProblem::kNoFolder;
    case ENOSPC:
    case EDQUOT:
      return WriteProblem::kDiskFull;
    default:
      return WriteProblem::kOther;
  }
}

std::string ErrnoText(const std::string& what, const std::string& path) {
  const int error_number = errno;
  if (t_problem == WriteProblem::kNone) t_problem = ProblemOf(error_number);
  return what + " " + path + ": " + std::strerror(error_number);
}

std::string FolderOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool WriteAll(int fd, const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// A new file beside `path` with the permission bits `mode` (less the umask);
// the name is `path` with the process id and a counter.
int CreateTemporary(const std::string& path, mode_t mode, std::string* temp) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < kMaxTempAttempts; ++attempt) {
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".%d.%u.tmp", static_cast<int>(::getpid()),
                  counter.fetch_add(1));
    *temp = path + suffix;
    const int fd = ::open(temp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

// The mode a temporary file is created with. A new project takes 0666 less
// the umask, as any new file, and keeps it. A replacement starts with the old
// file's owner bits only: until the old owner and group are set on it, its
// group is the process's, and granting the group bits to that group would
// show the project to people the old file kept out. Group and other bits come
// with the old identity, never before it.
mode_t CreationMode(bool exists, const struct stat& old) {
  return exists ? (old.st_mode & S_IRWXU) : 0666;
}

// The old file's owner, group and mode onto the new one. The owner and group
// are best effort (an ordinary user may not give a file away); the mode is
// set after them, since changing the owner clears set-id bits.
bool CopyIdentity(int fd, const struct stat& old) {
  const bool both = ::fchown(fd, old.st_uid, old.st_gid) == 0;
  if (!both && ::fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0) {
    // Neither could be given: the file keeps the process's owner and group.
  }
  return ::fchmod(fd, old.st_mode & 07777) == 0;
}

// A line for the caller's log, or stderr when the caller keeps none.
void Tell(const std::string& line, std::string* note) {
  if (note) {
    *note = line;
  } else {
    std::fprintf(stderr, "%s\n", line.c_str());
  }
}

// After a rename the new name is only durable once the folder is flushed.
// The replacement itself is done by then, so a failure here is a warning for
// the caller's log, not a failed save.
void SyncFolder(const std::string& folder, std::string* warning) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    *warning = ErrnoText("the file was replaced, but cannot open the folder", folder) +
               " to flush it: a power cut may still bring back the old file";
    return;
  }
  // Some file systems cannot sync a folder (EINVAL); the rename stands then.
  if (::fsync(fd) != 0 && errno != EINVAL) {
    *warning = ErrnoText("the file was replaced, but cannot flush the folder", folder) +
               ": a power cut may still bring back the old file";
  }
  ::close(fd);
}

// Reads the `size` bytes the file holds now, so that a failed overwrite can
// put them back. False when the file can't be read (opened write-only).
bool ReadBack(int fd, size_t size, std::vector<uint8_t>* bytes) {
  bytes->resize(size);
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pread(fd, bytes->data() + done, size - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool WriteAllAt(int fd, const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n =
        ::pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// The fallback for a folder that refuses new files: the file itself is
// overwritten, which no rename protects, so every step keeps the old content
// loadable for as long as it can fail:
// 1. the space for the new content is reserved before a byte changes, so a
//    full disk refuses the save while the old file is still whole;
// 2. the new bytes go over the old ones and are flushed; the file keeps its
//    old length meanwhile (no O_TRUNC);
// 3. only then is the length cut to the new content's, and flushed again.
// A write that fails anyway (an I/O error) puts the old bytes back.
bool WriteInPlace(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error) {
  bool readable = true;
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0 && errno == EACCES) {
    readable = false;
    fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  }
  if (fd < 0) {
    *error = ErrnoText("cannot open for writing", path);
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    *error = ErrnoText("cannot read the size of", path);
    ::close(fd);
    return false;
  }
  const off_t old_size = st.st_size;
  std::vector<uint8_t> old_bytes;
  readable = readable && ReadBack(fd, static_cast<size_t>(old_size), &old_bytes);

  if (!bytes.empty()) {
    // The length stays as it is: a kill right after this leaves the old file,
    // not the old file followed by reserved zeros.
    const int reserve = ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(bytes.size())) == 0
                            ? 0
                            : errno;
    // A file system without a way to reserve space leaves step 1 out; the
    // read-back copy still covers a failed write.
    if (reserve != 0 && reserve != EOPNOTSUPP && reserve != EINVAL) {
      // Whatever the reservation added beyond the old end goes again.
      if (::ftruncate(fd, old_size) != 0) {
        // Still the old bytes; the blocks reserved past the end are freed on close.
      }
      errno = reserve;
      *error = ErrnoText("no room for " + std::to_string(bytes.size()) + " bytes in", path) +
               " (the file is unchanged)";
      ::close(fd);
      return false;
    }
  }
  const off_t new_size = static_cast<off_t>(bytes.size());
  const char* failed = nullptr;
  if (!WriteAllAt(fd, bytes)) {
    failed = "cannot write";
  } else if (::fsync(fd) != 0) {
    failed = "cannot flush";
  } else if (new_size < old_size && ::ftruncate(fd, new_size) != 0) {
    failed = "cannot cut to its new length";
  } else if (::fsync(fd) != 0) {
    failed = "cannot flush";
  }
  if (failed != nullptr) {
    *error = ErrnoText(failed, path);
    const bool restored =
        readable && WriteAllAt(fd, old_bytes) && ::ftruncate(fd, old_size) == 0 && ::fsync(fd) == 0;
    *error += restored ? " (the old content was written back)"
                       : " (the old content could not be written back: the file is damaged)";
    ::close(fd);
    return false;
  }
  if (::close(fd) != 0) {
    *error = ErrnoText("cannot close", path);
    return false;
  }
  return true;
}

}  // namespace

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool ReadWholeFile(const std::string& path, size_t max_bytes, std::vector<uint8_t>* bytes,
                   std::string* error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = ErrnoText("cannot open", path);
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = "not a regular file: " + path;
    ::close(fd);
    return false;
  }
  if (static_cast<uint64_t>(st.st_size) > max_bytes) {
    *error = path + " is larger than " + std::to_string(max_bytes) + " bytes";
    ::close(fd);
    return false;
  }
  bytes->clear();
  uint8_t buf[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = ErrnoText("cannot read", path);
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    if (bytes->size() + static_cast<size_t>(n) > max_bytes) {
      *error = path + " grew beyond " + std::to_string(max_bytes) + " bytes while reading";
      ::close(fd);
      return false;
    }
    bytes->insert(bytes->end(), buf, buf + n);
  }
  ::close(fd);
  return true;
}

bool ResolveFileLinks(const std::string& path, std::string* target, std::string* error) {
  std::string current = path;
  for (int depth = 0; depth < kMaxLinkDepth; ++depth) {
    struct stat st {};
    // Not there (yet) or not a link: this is the file.
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      *target = current;
      return true;
    }
    char link[PATH_MAX];
    const ssize_t n = ::readlink(current.c_str(), link, sizeof link);
    if (n < 0) {
      *error = ErrnoText("cannot read the link", current);
      return false;
    }
    if (static_cast<size_t>(n) >= sizeof link) {
      *error = "the link " + current + " is too long";
      return false;
    }
    const std::string next(link, static_cast<size_t>(n));
    current = next.front() == '/' ? next : FolderOf(current) + "/" + next;
  }
  *error = path + ": too many levels of symbolic links";
  return false;
}

namespace {

// Removes the temporary files that saves of `target` killed before their
// rename left beside it: `name`.PID.N.tmp whose process no longer runs. A
// live process's file (another save under way) is left alone.
void RemoveStaleTemporaries(const std::string& target) {
  const std::string folder = FolderOf(target);
  const auto slash = target.find_last_of('/');
  const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return;
  while (const struct dirent* entry = ::readdir(dir)) {
    const std::string file = entry->d_name;
    if (file.size() <= name.size() + 1 || file.compare(0, name.size(), name) != 0 ||
        file[name.size()] != '.') {
      continue;
    }
    int pid = 0;
    unsigned n = 0;
    int used = 0;
    const std::string rest = file.substr(name.size());
    if (std::sscanf(rest.c_str(), ".%d.%u.tmp%n", &pid, &n, &used) != 2 ||
        static_cast<size_t>(used) != rest.size() || pid <= 0) {
      continue;
    }
    if (pid == ::getpid() || ::kill(pid, 0) == 0 || errno != ESRCH) continue;
    ::unlink((folder + "/" + file).c_str());
  }
  ::closedir(dir);
}

bool Replace(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error,
             std::string* note) {
  std::string target;
  if (!ResolveFileLinks(path, &target, error)) return false;
  struct stat old {};
  const bool exists = ::stat(target.c_str(), &old) == 0;
  if (exists && !S_ISREG(old.st_mode)) {
    *error = "not a regular file: " + target;
    return false;
  }
  // Renaming over a file needs only the folder's permission; changing it
  // needs the file's own. A read-only file stays as it is.
  if (exists && (old.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
    t_problem = WriteProblem::kFileReadOnly;
    *error = target + " is read-only (no write permission at all): it is not replaced";
    return false;
  }
  if (exists && ::access(target.c_str(), W_OK) != 0) {
    t_problem = WriteProblem::kNoPermission;
    *error = ErrnoText("may not write", target) + ": it is not replaced";
    return false;
  }
  RemoveStaleTemporaries(target);

  std::string temp;
  const int fd = CreateTemporary(target, CreationMode(exists, old), &temp);
  if (fd < 0) {
    const int create_errno = errno;
    const bool folder_refused = create_errno == EACCES || create_errno == EPERM;
    if (exists && folder_refused && ::access(target.c_str(), W_OK) == 0) {
      if (!WriteInPlace(target, bytes, error)) return false;
      Tell("the folder " + FolderOf(target) + " refuses new files (" + std::strerror(create_errno) +
               "), so " + target + " was written in place (not safe against a power cut)",
           note);
      return true;
    }
    errno = create_errno;
    if (folder_refused) t_problem = WriteProblem::kFolderReadOnly;
    *error = ErrnoText("cannot create a temporary file beside", target);
    return false;
  }

  auto fail = [&](const std::string& what, const std::string& name) {
    *error = ErrnoText(what, name);
    if (exists) *error += " (" + target + " is unchanged)";
    ::close(fd);
    ::unlink(temp.c_str());
    return false;
  };
  if (!WriteAll(fd, bytes)) return fail("cannot write", temp);
  if (exists && !CopyIdentity(fd, old)) return fail("cannot set the mode of", temp);
  if (::fsync(fd) != 0) return fail("cannot flush", temp);
  if (::close(fd) != 0) {
    *error = ErrnoText("cannot close", temp);
    ::unlink(temp.c_str());
    return false;
  }
  if (::rename(temp.c_str(), target.c_str()) != 0) {
    *error = ErrnoText("cannot replace", target);
    ::unlink(temp.c_str());
    return false;
  }
  std::string warning;
  SyncFolder(FolderOf(target), &warning);
  if (!warning.empty()) Tell(warning, note);
  return true;
}

}  // namespace

bool WriteFileReplacing(const std::string& path, const std::vector<uint8_t>& bytes,
                        std::string* error, std::string* note, WriteProblem* problem) {
  t_problem = WriteProblem::kNone;
  const bool written = Replace(path, bytes, error, note);
  if (problem != nullptr) {
    *problem = written                           ? WriteProblem::kNone
               : t_problem == WriteProblem::kNone ? WriteProblem::kOther
                                                  : t_problem;
  }
  return written;
}

}  // namespace dravik
