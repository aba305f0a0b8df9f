#include "gateway/line/host_port.h"

#include <cstdlib>

namespace dravik::host {

bool ParseHostPort(const std::string& option, const std::string& examples, const std::string& text,
                   std::string* host, int* port, std::string* error) {
  std::string h;
  std::string p;
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      *error = option + " address \"" + text + "\" is not [IPv6]:PORT";
      return false;
    }
    h = text.substr(1, close - 1);
    p = text.substr(close + 2);
  } else {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
      *error = option + " address \"" + text + "\" is not HOST:PORT";
      return false;
    }
    h = text.substr(0, colon);
    p = text.substr(colon + 1);
  }
  char* end = nullptr;
  const long n = p.empty() ? -1 : std::strtol(p.c_str(), &end, 10);
  if (n < 0 || n > 65535 || *end != '\0') {
    *error = option + " address \"" + text + "\": port \"" + p + "\" is not a number 0..65535";
    return false;
  }
  if (h.empty() || h.find_first_of("/@?# ") != std::string::npos) {
    *error = option + " address \"" + text + "\" needs a host (" + examples + ")";
    return false;
  }
  *host = h;
  *port = static_cast<int>(n);
  return true;
}

}  // namespace dravik::host
