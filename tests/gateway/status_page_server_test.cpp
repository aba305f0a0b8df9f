// The status page's server when its accept loop fails under it, as it does
// when the system's file table is full.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/socket.h>

#include <chrono>
#include <string>
#include <thread>

#include "gateway/http/http_status.h"

namespace dravik::host {
namespace {

// Shuts down the socket listening on `port` here, which ends httplib's
// accept loop with EINVAL; false when there is none.
bool ShutDownListener(int port) {
  for (int fd = 3; fd < 1024; ++fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    int listening = 0;
    socklen_t size = sizeof listening;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
        ntohs(address.sin_port) == port &&
        getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 && listening != 0) {
      return shutdown(fd, SHUT_RDWR) == 0;
    }
  }
  return false;
}

TEST(StatusPageServerTest, AFailedAcceptLoopIsSaidAndThePageListensAgainOnItsPort) {
  HttpStatus page(StatusPageSetup{});
  testing::internal::CaptureStdout();
  Output out(false, false);
  std::string url, error;
  ASSERT_TRUE(page.Start("127.0.0.1:0", &url, &error, &out)) << error;
  const int port = std::stoi(url.substr(url.rfind(':') + 1));
  const auto answers = [port] { return httplib::Client("127.0.0.1", port).Get("/metrics"); };
  ASSERT_TRUE(answers());
  ASSERT_TRUE(ShutDownListener(port));
  bool back = false;
  for (int i = 0; i < 200 && !back; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    back = static_cast<bool>(answers());
  }
  page.Stop();
  out.Close();
  const std::string said = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(back) << said;
  for (const std::string& line :
       {"http: the status page at " + url + " stopped accepting connections; listening again",
        "http: status page at " + url + " again"}) {
    EXPECT_NE(said.find(line), std::string::npos) << line << "\n" << said;
  }
}

}  // namespace
}  // namespace dravik::host
