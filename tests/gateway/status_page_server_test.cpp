// The status page's server itself: what happens when its accept loop fails
// under it, as it does when the system's file table is full.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "gateway/http/http_status.h"

namespace dravik::host {
namespace {

bool PageAnswers(int port) {
  httplib::Client client("127.0.0.1", port);
  client.set_connection_timeout(1, 0);
  const auto res = client.Get("/api/v1/stations");
  return res && res->status == 200;
}

// Shuts down this process's socket listening on `port`: accept then fails
// with EINVAL, which ends httplib's accept loop. Returns how many it found.
int ShutDownListener(int port) {
  int found = 0;
  for (int fd = 3; fd < 1024; ++fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    int listening = 0;
    socklen_t size = sizeof listening;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        address.sin_family != AF_INET || ntohs(address.sin_port) != port ||
        getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 || listening == 0) {
      continue;
    }
    shutdown(fd, SHUT_RDWR);
    ++found;
  }
  return found;
}

TEST(StatusPageServerTest, AFailedAcceptLoopIsSaidAndThePageListensAgainOnItsPort) {
  StatusPageSetup setup;
  setup.stations = {"PLC1"};
  HttpStatus page(setup);
  testing::internal::CaptureStdout();
  Output out(false, false);
  std::string url, error;
  ASSERT_TRUE(page.Start("127.0.0.1:0", &url, &error, &out)) << error;
  const int port = std::atoi(url.c_str() + url.rfind(':') + 1);
  ASSERT_TRUE(PageAnswers(port));

  ASSERT_EQ(ShutDownListener(port), 1);
  bool back = false;
  for (int i = 0; i < 200 && !back; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    back = PageAnswers(port);
  }
  page.Stop();
  out.Close();
  const std::string said = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(back) << said;
  EXPECT_NE(said.find("http: the status page at " + url +
                      " stopped accepting connections; listening again"),
            std::string::npos)
      << said;
  EXPECT_NE(said.find("http: status page at " + url + " again"), std::string::npos) << said;
}

}  // namespace
}  // namespace dravik::host
