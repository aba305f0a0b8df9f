// HOST:PORT as the listening faces take it (--http, --modbus-tcp): a host
// name or IPv4 address, or an IPv6 address in brackets, and a port 0..65535
// (0: any free one). Pure.
#pragma once

#include <string>

namespace dravik::host {

// False with the reason, naming `option` and giving `examples` of a host.
bool ParseHostPort(const std::string& option, const std::string& examples, const std::string& text,
                   std::string* host, int* port, std::string* error);

}  // namespace dravik::host
