// Test helper: a pseudo-terminal pair the test owns, its slave published as
// COMn in a private ports directory that DRAVIKNET_PORTS points at. The test
// plays the far end of the line on the master. One thread per pair.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace dravik::testing {

class PtyPair {
 public:
  // Publishes the slave as <dir>/COM<com> and sets DRAVIKNET_PORTS to <dir>.
  explicit PtyPair(int com = 1) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
    char name[128];
    if (::ptsname_r(master_, name, sizeof name) != 0) return;
    slave_path_ = name;
    termios tio;
    if (::tcgetattr(master_, &tio) == 0) {
      ::cfmakeraw(&tio);
      ::tcsetattr(master_, TCSANOW, &tio);
    }
    char pattern[] = "/tmp/dravik-test-ports-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return;
    dir_ = pattern;
    link_ = dir_ + "/COM" + std::to_string(com);
    if (::symlink(name, link_.c_str()) != 0) return;
    ::setenv("DRAVIKNET_PORTS", dir_.c_str(), 1);
    ok_ = true;
  }
  ~PtyPair() {
    CloseMaster();
    if (!link_.empty()) ::unlink(link_.c_str());
    for (const auto& extra : extra_links_) ::unlink(extra.c_str());
    if (!dir_.empty()) ::rmdir(dir_.c_str());
  }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool ok() const { return ok_; }
  int master() const { return master_; }
  const std::string& dir() const { return dir_; }
  const std::string& link() const { return link_; }
  const std::string& slave_path() const { return slave_path_; }

  // Adds another entry to the ports directory (for a dangling-link test).
  std::string AddLink(const std::string& name, const std::string& target) {
    const std::string path = dir_ + "/" + name;
    if (::symlink(target.c_str(), path.c_str()) == 0) extra_links_.push_back(path);
    return path;
  }

  void CloseMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }

  bool Send(const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

  // What arrives on the master within `ms` (stops early once `want` bytes came).
  std::vector<uint8_t> Receive(size_t want, int ms) {
    std::vector<uint8_t> out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (out.size() < want) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      uint8_t buf[256];
      const ssize_t n = ::read(master_, buf, sizeof buf);
      if (n <= 0) break;
      out.insert(out.end(), buf, buf + n);
    }
    return out;
  }

 private:
  int master_ = -1;
  bool ok_ = false;
  std::string slave_path_;
  std::string dir_;
  std::string link_;
  std::vector<std::string> extra_links_;
};

}  // namespace dravik::testing
