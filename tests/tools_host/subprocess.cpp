#include "tests/tools_host/subprocess.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char** environ;

namespace dravik::test {

namespace {

void CloseFd(int* fd) {
  if (*fd >= 0) ::close(*fd);
  *fd = -1;
}

#ifdef DRAVIK_TEST_EMULATOR
// The ELF machine of the program at `path`; 0 when it is no ELF file.
unsigned ElfMachine(const char* path) {
  std::ifstream f(path, std::ios::binary);
  unsigned char h[20] = {};
  if (!f.read(reinterpret_cast<char*>(h), sizeof h) || h[0] != 0x7F || h[1] != 'E' || h[2] != 'L' ||
      h[3] != 'F')
    return 0;
  return h[5] == 1 ? h[18] | h[19] << 8u : h[18] << 8u | h[19];  // EI_DATA: byte order
}
#endif

// In a cross build our programs are another machine's code: they start
// through the same user-mode emulator that runs the tests (which finds the
// target's libraries through QEMU_LD_PREFIX in the test's environment).
// Programs of the build machine (a broker, a shell) start as they are.
std::vector<std::string> WithEmulator(const std::vector<std::string>& argv) {
#ifdef DRAVIK_TEST_EMULATOR
  if (!argv.empty() && ElfMachine(argv[0].c_str()) == ElfMachine("/proc/self/exe")) {
    std::vector<std::string> args{DRAVIK_TEST_EMULATOR};
    args.insert(args.end(), argv.begin(), argv.end());
    return args;
  }
#endif
  return argv;
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
  ProcessResult result;
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (::pipe2(in_pipe, O_CLOEXEC) != 0 || ::pipe2(out_pipe, O_CLOEXEC) != 0 ||
      ::pipe2(err_pipe, O_CLOEXEC) != 0) {
    result.err = "pipe failed";
    return result;
  }
  if (options.stdout_terminal) {
    // A pseudo-terminal of our own in place of the stdout pipe: the master
    // is read like the pipe's end, the child writes to the slave.
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    int slave = -1;
    if (master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0) {
      const char* name = ::ptsname(master);
      if (name != nullptr) slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    if (slave < 0) {
      if (master >= 0) ::close(master);
      result.err = "pseudo-terminal failed";
      return result;
    }
    ::close(out_pipe[0]);
    ::close(out_pipe[1]);
    out_pipe[0] = master;
    out_pipe[1] = slave;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_pipe[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], STDERR_FILENO);

  std::vector<std::string> env_strings;
  for (char** e = environ; *e != nullptr; ++e) env_strings.emplace_back(*e);
  for (const auto& extra : options.env) {
    const std::string name = extra.substr(0, extra.find('=') + 1);
    std::erase_if(env_strings, [&](const std::string& s) { return s.rfind(name, 0) == 0; });
    env_strings.push_back(extra);
  }
  std::vector<char*> envp;
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = WithEmulator(argv);
  std::vector<char*> argp;
  for (auto& a : args) argp.push_back(a.data());
  argp.push_back(nullptr);

  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  int in_fd = in_pipe[1];
  int out_fd = out_pipe[0];
  if (options.stdout_unread_ms > 0 && !options.stdout_terminal) {
    ::fcntl(out_fd, F_SETPIPE_SZ, 4096);
  }
  int err_fd = err_pipe[0];
  if (rc != 0) {
    CloseFd(&in_fd);
    CloseFd(&out_fd);
    CloseFd(&err_fd);
    result.err = "posix_spawn failed for " + argv[0];
    return result;
  }

  // Stdin is small; write it at once (the pipe holds it) unless asked to keep it open.
  size_t written = 0;
  while (written < options.stdin_text.size()) {
    const ssize_t n =
        ::write(in_fd, options.stdin_text.data() + written, options.stdin_text.size() - written);
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  if (!options.keep_stdin_open) CloseFd(&in_fd);

  const auto start = std::chrono::steady_clock::now();
  bool signalled = false;
  char buffer[4096];
  while (out_fd >= 0 || err_fd >= 0) {
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
    if (elapsed > options.timeout_ms) {
      result.timed_out = true;
      ::kill(pid, SIGKILL);
      break;
    }
    if (!signalled && options.signal_after_ms > 0 && elapsed >= options.signal_after_ms) {
      ::kill(pid, options.signal_number);
      signalled = true;
    }
    const bool out_stalled = elapsed < options.stdout_unread_ms;
    pollfd fds[2] = {{out_stalled ? -1 : out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    const int ready = ::poll(fds, 2, 50);
    if (ready < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {  // a pty master reads EIO once the child ends
        CloseFd(i == 0 ? &out_fd : &err_fd);
      }
    }
  }
  CloseFd(&out_fd);
  CloseFd(&err_fd);
  CloseFd(&in_fd);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

TempDir::TempDir() {
  char tmpl[] = "/tmp/dravik-tools-host-XXXXXX";
  const char* made = ::mkdtemp(tmpl);
  path_ = made ? made : "";
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

bool WriteText(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary);
  f << text;
  return static_cast<bool>(f);
}

std::string ReadText(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

bool PathExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

int FreeLocalPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

std::vector<int> FindProcesses(const std::vector<std::string>& words) {
  std::vector<int> pids;
  DIR* proc = ::opendir("/proc");
  while (dirent* e = proc == nullptr ? nullptr : ::readdir(proc)) {
    const int pid = std::atoi(e->d_name);
    if (pid <= 0) continue;
    const std::string args = ReadText("/proc/" + std::to_string(pid) + "/cmdline");
    bool all = !args.empty();
    for (const auto& w : words) all = all && args.find(w) != std::string::npos;
    if (all) pids.push_back(pid);
  }
  if (proc != nullptr) ::closedir(proc);
  return pids;
}

long ResidentKb(int pid) {
  std::istringstream status(ReadText("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

}  // namespace dravik::test
