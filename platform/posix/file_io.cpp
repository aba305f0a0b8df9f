#include "platform/file_io.h"

#include <fcntl.h>
#include <limits.h>
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

std::string ErrnoText(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
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

// A new file beside `path`, created with 0666 so that the umask applies as
// for any new file; the name is `path` with the process id and a counter.
int CreateTemporary(const std::string& path, std::string* temp) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < kMaxTempAttempts; ++attempt) {
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".%d.%u.tmp", static_cast<int>(::getpid()),
                  counter.fetch_add(1));
    *temp = path + suffix;
    const int fd = ::open(temp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

// The old file's owner, group and mode onto the new one. The owner and group
// are best effort (an ordinary user may not give a file away); the mode is
// set after them, since changing the owner clears set-id bits.
bool CopyIdentity(int fd, const struct stat& old) {
  if (::fchown(fd, old.st_uid, old.st_gid) != 0)
    (void)::fchown(fd, static_cast<uid_t>(-1), old.st_gid);
  return ::fchmod(fd, old.st_mode & 07777) == 0;
}

bool SyncFolder(const std::string& folder, std::string* error) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    *error = ErrnoText("cannot open the folder", folder);
    return false;
  }
  // Some file systems cannot sync a folder (EINVAL); the rename stands then.
  const bool ok = ::fsync(fd) == 0 || errno == EINVAL;
  if (!ok) *error = ErrnoText("cannot flush the folder", folder);
  ::close(fd);
  return ok;
}

// The fallback for a folder that refuses new files: truncate and write.
bool WriteInPlace(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) {
    *error = ErrnoText("cannot open for writing", path);
    return false;
  }
  const bool written = WriteAll(fd, bytes);
  if (!written) *error = ErrnoText("cannot write", path);
  const bool synced = written && ::fsync(fd) == 0;
  if (written && !synced) *error = ErrnoText("cannot flush", path);
  if (::close(fd) != 0 && synced) {
    *error = ErrnoText("cannot close", path);
    return false;
  }
  return synced;
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

bool WriteFileReplacing(const std::string& path, const std::vector<uint8_t>& bytes,
                        std::string* error, std::string* note) {
  std::string target;
  if (!ResolveFileLinks(path, &target, error)) return false;
  struct stat old {};
  const bool exists = ::stat(target.c_str(), &old) == 0;
  if (exists && !S_ISREG(old.st_mode)) {
    *error = "not a regular file: " + target;
    return false;
  }

  std::string temp;
  const int fd = CreateTemporary(target, &temp);
  if (fd < 0) {
    const int create_errno = errno;
    const bool folder_refused = create_errno == EACCES || create_errno == EPERM;
    if (exists && folder_refused && ::access(target.c_str(), W_OK) == 0) {
      if (!WriteInPlace(target, bytes, error)) return false;
      const std::string line = "the folder " + FolderOf(target) + " refuses new files (" +
                               std::strerror(create_errno) + "), so " + target +
                               " was truncated and written in place";
      if (note) {
        *note = line;
      } else {
        std::fprintf(stderr, "%s\n", line.c_str());
      }
      return true;
    }
    errno = create_errno;
    *error = ErrnoText("cannot create a temporary file beside", target);
    return false;
  }

  auto fail = [&](const std::string& what, const std::string& name) {
    *error = ErrnoText(what, name);
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
  return SyncFolder(FolderOf(target), error);
}

}  // namespace dravik
