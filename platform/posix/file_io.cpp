#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/file_io.h"

namespace dravik {

namespace {
std::string ErrnoText(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}
}  // namespace

bool FileExists(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool ReadWholeFile(const std::string& path, size_t max_bytes, std::vector<uint8_t>* bytes,
                   std::string* error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = ErrnoText("cannot open", path);
    return false;
  }
  struct stat st{};
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

bool WriteFileReplacing(const std::string& path, const std::vector<uint8_t>& bytes,
                        std::string* error) {
  std::string temp = path + ".XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) {
    *error = ErrnoText("cannot create a temporary file beside", path);
    return false;
  }
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = ErrnoText("cannot write", temp);
      ::close(fd);
      ::unlink(temp.c_str());
      return false;
    }
    done += static_cast<size_t>(n);
  }
  // Project files are shared between users: keep the usual permissions.
  ::fchmod(fd, 0644);
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    *error = ErrnoText("cannot flush", temp);
    ::unlink(temp.c_str());
    return false;
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    *error = ErrnoText("cannot replace", path);
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

}  // namespace dravik
