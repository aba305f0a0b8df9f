// What the gateway benches share: dravik-host and its helpers as child
// processes, a process's CPU time, and percentiles of latencies. Any thread.
#pragma once

#include <sys/types.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace dravik::bench {

// Starts `args` with the environment plus `extra_env`, stdout and stderr to
// /dev/null; -1 when it could not start.
pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& extra_env);

// utime + stime of a process, in seconds.
double CpuSeconds(pid_t pid);

// Writes DIR/bench.json with `stations` on COM1 (19200 8N1, no checksum) and
// imports it with dravik-project (`project_bin`) as DIR/bench.dvk; false when
// the import failed.
bool ImportBenchProject(const std::string& project_bin, const std::string& dir,
                        const nlohmann::json& stations);

// The value at share `p` (0..1) of the sorted values; 0 for none.
double Percentile(std::vector<double> v, double p);

}  // namespace dravik::bench
