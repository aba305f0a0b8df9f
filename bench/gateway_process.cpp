#include "bench/gateway_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

extern char** environ;

namespace dravik::bench {

pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& extra_env) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> env_store;
  for (char** e = environ; *e != nullptr; ++e) env_store.emplace_back(*e);
  for (const auto& e : extra_env) env_store.push_back(e);
  std::vector<char*> envp;
  for (auto& e : env_store) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0].c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) {
    pid = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

double CpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0.0;
  std::istringstream fields(text.substr(close + 2));
  std::string f;
  unsigned long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> f; ++i) {
    if (i == 14) utime = std::stoul(f);
    if (i == 15) stime = std::stoul(f);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

bool ImportBenchProject(const std::string& project_bin, const std::string& dir,
                        const nlohmann::json& stations) {
  const nlohmann::json project = {{"port",
                                   {{"com", "COM1"},
                                    {"baud", 19200},
                                    {"parity", "none"},
                                    {"data_bits", 8},
                                    {"stop_bits", 1},
                                    {"checksum", false},
                                    {"rts_cts", false}}},
                                  {"stations", stations}};
  std::ofstream(dir + "/bench.json") << project.dump();
  const pid_t import =
      Spawn({project_bin, "import", dir + "/bench.json", "-o", dir + "/bench.dvk"}, {});
  int status = 0;
  ::waitpid(import, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  const size_t i = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())));
  return v[i];
}

}  // namespace dravik::bench
