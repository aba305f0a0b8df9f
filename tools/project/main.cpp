// dravik-project: prints a project file, exports it as JSON and builds one
// from JSON with the configuration editor's rules. A command-line program on
// one thread; it uses the model library directly and never loads the driver.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_io.h"
#include "tools/project/project_json.h"

namespace {

using dravik::project::Json;
using dravik::project::ProjectImage;

// Exit codes.
constexpr int kExitOk = 0;
constexpr int kExitFile = 1;   // a file can't be read, loaded or written
constexpr int kExitUsage = 2;  // bad arguments, bad JSON or a rule broken
constexpr size_t kMaxJsonBytes = 64u << 20;
constexpr size_t kMaxErrorLines = 50;

const char kUsage[] =
    "usage: dravik-project show FILE\n"
    "       dravik-project export FILE [-o OUT.json]\n"
    "       dravik-project import JSON -o FILE [--no-validate]\n"
    "\n"
    "show    prints the project file: port settings, stations (number in hex and\n"
    "        decimal) and communication blocks (label, area, start, count, period).\n"
    "export  writes the project as JSON (to stdout without -o). The JSON carries\n"
    "        every stored value, so importing it gives the same file byte for byte.\n"
    "import  builds a project file from JSON. The editor's rules are checked:\n"
    "        station names non-empty and unique ignoring case, numbers 1..255 and\n"
    "        unique, block start valid for its area, block inside its area, no two\n"
    "        blocks of a station overlapping in one area, count 1..480 (word blocks\n"
    "        1..60), period 0..999900 ms. Each problem is reported; nothing is\n"
    "        written when there is one. --no-validate takes stored values as they\n"
    "        are (for files written by other tools).\n"
    "\n"
    "JSON: {\"port\": {\"com\": \"COM1\", \"baud\": 19200, \"parity\": \"none\",\n"
    "        \"data_bits\": 8, \"stop_bits\": 1, \"checksum\": false, \"rts_cts\": false},\n"
    "       \"stations\": [{\"name\": \"PLC1\", \"number\": 1, \"description\": \"\",\n"
    "         \"blocks\": [{\"address\": \"R1\", \"count\": 10, \"period\": 1000}]}]}\n"
    "Stored forms win over readable ones when both are given: port, baud_index,\n"
    "parity_index, data_bits_index, stop_bits_index, options (raw word), block\n"
    "area (0..7 or a prefix) and start, station_names, trailing_bytes (hex).\n"
    "\"encoding\": \"utf-8\" (the default) or \"cp949\" (code page 949, as the Windows\n"
    "original writes) is the encoding of the texts in the file; show and export\n"
    "state the file's own.\n"
    "\n"
    "exit status: 0 done, 1 a file can't be read, loaded or written,\n"
    "             2 bad arguments, bad JSON or a broken rule\n";

int Usage(const char* why) {
  if (why) std::fprintf(stderr, "dravik-project: %s\n", why);
  std::fputs(kUsage, stderr);
  return kExitUsage;
}

int WriteOutput(const std::string& out, const std::vector<uint8_t>& bytes) {
  std::string error;
  std::string note;
  if (!dravik::WriteFileReplacing(out, bytes, &error, &note)) {
    std::fprintf(stderr, "error: %s\n", error.c_str());
    return kExitFile;
  }
  if (!note.empty()) std::fprintf(stderr, "note: %s\n", note.c_str());
  return kExitOk;
}

bool Load(const std::string& path, ProjectImage* image, bool* canonical) {
  std::string error;
  if (!dravik::project::LoadImage(path, image, canonical, &error)) {
    std::fprintf(stderr, "error: cannot load project file %s\n  %s\n", path.c_str(), error.c_str());
    return false;
  }
  return true;
}

int Show(const std::string& path) {
  ProjectImage image;
  bool canonical = true;
  if (!Load(path, &image, &canonical)) return kExitFile;
  std::printf("Project file: %s\n%s", path.c_str(), dravik::project::DescribeImage(image).c_str());
  return kExitOk;
}

int Export(const std::string& path, const std::string& out) {
  ProjectImage image;
  bool canonical = true;
  if (!Load(path, &image, &canonical)) return kExitFile;
  if (!canonical) {
    std::fprintf(stderr,
                 "warning: %s uses an encoding that saving does not produce; an import writes "
                 "the same content in the usual encoding, not the same bytes\n",
                 path.c_str());
  }
  const Json json = dravik::project::ImageToJson(image);
  std::string text;
  try {
    text = json.dump(2, ' ', false, Json::error_handler_t::strict);
  } catch (const Json::exception&) {
    std::fprintf(stderr,
                 "warning: %s holds text that is not UTF-8; it was replaced and an import will "
                 "not reproduce the file byte for byte\n",
                 path.c_str());
    text = json.dump(2, ' ', false, Json::error_handler_t::replace);
  }
  text += "\n";
  if (out.empty()) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    return std::fflush(stdout) == 0 ? kExitOk : kExitFile;
  }
  return WriteOutput(out, std::vector<uint8_t>(text.begin(), text.end()));
}

int Import(const std::string& path, const std::string& out, bool validate) {
  std::vector<uint8_t> bytes;
  std::string error;
  if (!dravik::ReadWholeFile(path, kMaxJsonBytes, &bytes, &error)) {
    std::fprintf(stderr, "error: %s\n", error.c_str());
    return kExitFile;
  }
  Json json;
  if (!dravik::project::ParseProjectJson(
          std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), &json,
          &error)) {
    std::fprintf(stderr, "error: %s is not valid JSON: %s\n", path.c_str(), error.c_str());
    return kExitUsage;
  }
  ProjectImage image;
  std::vector<std::string> errors;
  std::vector<std::string> warnings;
  const bool built = dravik::project::ImageFromJson(json, validate, &image, &errors, &warnings);
  for (const auto& w : warnings) std::fprintf(stderr, "%s\n", w.c_str());
  if (!built) {
    // The first problems tell what is wrong; thousands more would only bury them.
    const size_t shown = std::min(errors.size(), kMaxErrorLines);
    for (size_t i = 0; i < shown; ++i) std::fprintf(stderr, "%s\n", errors[i].c_str());
    if (errors.size() > shown) std::fprintf(stderr, "\u2026 and %zu more\n", errors.size() - shown);
    std::fprintf(stderr, "%s: %zu problem%s, %s not written\n", path.c_str(), errors.size(),
                 errors.size() == 1 ? "" : "s", out.c_str());
    return kExitUsage;
  }
  std::vector<uint8_t> project;
  if (!dravik::project::ImageBytes(image, &project, &error)) {
    std::fprintf(stderr, "error: %s\n%s: %s not written\n", error.c_str(), path.c_str(),
                 out.c_str());
    return kExitUsage;
  }
  return WriteOutput(out, project);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return Usage(nullptr);
  if (args[0] == "-h" || args[0] == "--help" || args[0] == "help") {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  const std::string command = args[0];
  std::vector<std::string> positional;
  std::string out;
  bool validate = true;
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "-o" || args[i] == "--output") {
      if (i + 1 >= args.size()) return Usage("-o needs a file name");
      out = args[++i];
    } else if (args[i] == "--no-validate") {
      validate = false;
    } else if (args[i].size() > 1 && args[i][0] == '-') {
      return Usage(("unknown option " + args[i]).c_str());
    } else {
      positional.push_back(args[i]);
    }
  }
  if (positional.size() != 1) return Usage("expected one file name");
  if (command == "show") {
    if (!out.empty() || !validate) return Usage("show takes no options");
    return Show(positional[0]);
  }
  if (command == "export") {
    if (!validate) return Usage("--no-validate belongs to import");
    return Export(positional[0], out);
  }
  if (command == "import") {
    if (out.empty()) return Usage("import needs -o FILE");
    return Import(positional[0], out, validate);
  }
  return Usage(("unknown command " + command).c_str());
}
