// Fuzzes the status page's own request handling (routes, method refusal,
// header limits, error bodies) behind cpp-httplib's parser: the page runs
// once on a loopback port with a small line's view, and each input goes to it
// as the raw bytes of one connection (Exchange). Besides memory errors in
// the server's threads it traps when an answer breaks the page's rules: every
// answer is an HTTP status line; none is a 500 (a handler that threw); a
// request with any method but GET or HEAD is never answered 2xx; a 2xx comes
// with the page's no-store and nosniff headers, a 405 with Allow.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "gateway/http/http_status.h"

using namespace dravik::host;

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

// The page of a line with two stations and three tags, names with the
// characters the metrics and JSON must escape, and some values and counts.
struct Page {
  Page() {
    StatusPageSetup setup;
    setup.line = "line \"one\"\\";
    setup.port = "COM1";
    setup.stations = {"PLC1", "PL\"C\n2"};
    setup.tags = {"Level", "Valve\\", "T\xff\xfe"};
    setup.tag_stations = {"PLC1", "pl\"c\n2", ""};
    setup.mqtt = true;
    page = std::make_unique<HttpStatus>(setup);
    TagValue number;
    number.kind = TagValue::Kind::kNumber;
    number.number = 12.5;
    TagValue text;
    text.kind = TagValue::Kind::kText;
    text.text = "a\"b\xc3";
    page->OfferValue(0, number, 1700000000000);
    page->OfferValue(2, text, 1700000000100);
    StationReport ok;
    ok.state = "ok";
    ok.reads_sent = 10;
    ok.reads_failed = 1;
    StationReport failing;
    failing.state = "failing";
    failing.writes_sent = 3;
    page->OfferLine({ok, failing}, 42, "connected", 1700000000200);
    std::string url, error;
    Check(page->Start("127.0.0.1:0", &url, &error));
    port = std::atoi(url.c_str() + url.rfind(':') + 1);
    Check(port > 0);
  }
  std::unique_ptr<HttpStatus> page;
  int port = 0;
};

// Whether the server has the whole first request in `request`, roughly: a
// head ended by a blank line, and the body its Content-Length gives or the
// last chunk. Otherwise it would wait for the rest until its time-out.
bool Whole(const std::string& request) {
  size_t end = request.find("\r\n\r\n");
  end = end == std::string::npos ? request.find("\n\n") : end + 2;
  if (end == std::string::npos) return false;
  end += 2;
  std::string head = request.substr(0, end);
  for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (head.find("transfer-encoding:") != std::string::npos) {
    return request.find("0\r\n\r\n", end) != std::string::npos;
  }
  const size_t length = head.find("content-length:");
  if (length == std::string::npos) return true;
  return std::strtoull(head.c_str() + length + 15, nullptr, 10) <= request.size() - end;
}

// libFuzzer's timer signal (-timeout) interrupts blocking calls: an
// interrupted call is carried on, never taken for what the server did.
int PollFor(int fd, short events, int ms) {
  pollfd p{fd, events, 0};
  int ready = 0;
  while ((ready = ::poll(&p, 1, ms)) < 0 && errno == EINTR) {
  }
  return ready;
}

// An interrupted connect goes on in the background; its end is awaited.
bool Connect(int fd, const sockaddr_in& to) {
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) return true;
  if (errno != EINTR) return false;
  const int ready = PollFor(fd, POLLOUT, 3000);
  if (ready <= 0) {
    if (ready == 0) errno = ETIMEDOUT;  // not the EINTR left from the connect
    return false;
  }
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return false;
  errno = error;
  return error == 0;
}

// Sends `request` on a new connection and returns what came back: at least
// the head of the first answer, when there is one. The server writes nothing
// more to a client that has closed its sending side (it looks before each
// write), so the first answer is awaited before that close, and only for an
// input with the blank line that ends a request's head: for any other the
// server would wait for the rest until its time-out. The handlers of what
// the server got still run; after the close it hangs up.
std::string Exchange(int port, const std::string& request) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  Check(fd >= 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  // Closed with a reset, a connection leaves no TIME_WAIT behind: at a
  // thousand inputs a second a long run would otherwise hold tens of
  // thousands of them, near the number of local ports.
  const linger reset{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  if (!Connect(fd, to)) {
    std::fprintf(stderr, "cannot connect to the page: %s\n", std::strerror(errno));
    Check(false);
  }
  for (size_t sent = 0; sent < request.size();) {
    const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // the server may answer and close before reading it all
    sent += static_cast<size_t>(n);
  }
  if (Whole(request)) PollFor(fd, POLLIN, 20);
  ::shutdown(fd, SHUT_WR);
  std::string reply;
  char buffer[16384];
  // The server drops a silent client after 2 s; past that, give up.
  while (PollFor(fd, POLLIN, 3000) > 0) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    reply.append(buffer, static_cast<size_t>(n));
    const size_t head_end = reply.find("\r\n\r\n");
    if (head_end != std::string::npos && reply.find("text/event-stream") < head_end &&
        reply.find("\n\n", head_end + 4) != std::string::npos) {
      break;
    }
  }
  ::close(fd);
  return reply;
}

bool HasHeader(const std::string& head, const std::string& line) {
  return head.find("\r\n" + line + "\r\n") != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const Page page;
  const std::string request(reinterpret_cast<const char*>(data), size);
  std::string reply = Exchange(page.port, request);
  // An interim 100 Continue (Expect: 100-continue) comes before the answer.
  while (reply.rfind("HTTP/1.1 100 ", 0) == 0) {
    const size_t end = reply.find("\r\n\r\n");
    reply = end == std::string::npos ? "" : reply.substr(end + 4);
  }
  if (reply.empty()) return 0;  // nothing to answer, or the connection dropped
  Check(reply.size() >= 13 && reply.rfind("HTTP/1.", 0) == 0 && reply[8] == ' ' &&
        reply[12] == ' ');
  const int status = std::atoi(reply.substr(9, 3).c_str());
  Check(status >= 100 && status <= 599 && status != 500);
  const std::string head = reply.substr(0, reply.find("\r\n\r\n") + 2);
  // cpp-httplib splits the request line at spaces and trims blanks around
  // each part ("  GET / HTTP/1.1" and "GET\t / HTTP/1.1" are GETs).
  const size_t method_start = std::min(request.find_first_not_of(" \t\r\n"), request.size());
  const size_t method_end = request.find(' ', method_start);
  std::string method = request.substr(method_start, method_end - method_start);
  method.erase(method.find_last_not_of(" \t") + 1);
  if (method_end != std::string::npos && method != "GET" && method != "HEAD") {
    Check(status < 200 || status > 299);
  }
  if (status >= 200 && status <= 299) {
    Check(HasHeader(head, "Cache-Control: no-store"));
    Check(HasHeader(head, "X-Content-Type-Options: nosniff"));
  }
  if (status == 405) Check(HasHeader(head, "Allow: GET, HEAD"));
  return 0;
}
