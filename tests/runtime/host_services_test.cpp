// The message reporter: what reaches the host log, with which flags, and what
// it returns with and without the log library bound.
#include "runtime/host_services.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "host/wendro_r.h"
#include "platform/dynamic_library.h"

namespace dravik {
namespace {

struct Line {
  int kind;
  int flags;
  std::string text;
};

std::mutex g_mutex;
std::vector<Line> g_lines;

std::string ProgramFolder() {
  char path[4096];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  std::string text(path, n > 0 ? static_cast<size_t>(n) : 0);
  return text.substr(0, text.rfind('/') + 1);
}

std::vector<Line> Take() {
  std::lock_guard lock(g_mutex);
  return std::exchange(g_lines, {});
}

TEST(ReportDriverMessage, UnboundThenBound) {
  // Nothing bound yet: the number itself comes back and nothing is logged.
  EXPECT_EQ(ReportDriverMessage(5, 0, "/x.dat"), 5);
  EXPECT_EQ(LookupTagName(7), "");

  // Bind the log the way slot 1 does. The stand-in is loaded by full path
  // first so the runtime's load by name finds it under every sanitizer.
  DynamicLibrary wendro_r;
  ASSERT_TRUE(wendro_r.Load(ProgramFolder() + kWendroRLibrary)) << wendro_r.Error();
  BindRuntimeLibraries();
  auto install =
      reinterpret_cast<void (*)(const WendroRHandler*)>(wendro_r.Symbol("WendroRInstallHandler"));
  ASSERT_NE(install, nullptr);
  WendroRHandler handler;
  handler.on_log = [](void*, int kind, int flags, const char* text) {
    std::lock_guard lock(g_mutex);
    g_lines.push_back({kind, flags, text});
  };
  install(&handler);

  struct Case {
    int number;
    int flags;
    const char* first;
    const char* second;
    int result;
    int logged_flags;  // -1: nothing logged
    const char* text;
  };
  const Case cases[] = {
      {5, 0, "/x.dat", nullptr, -5, 0x100,
       "[Dravik RS232/422] 지정된 파일[/x.dat]을 열 수 없습니다."},
      {16, 2, "PLC1", nullptr, -16, 0x102, "[Dravik RS232/422] 스테이션[PLC1]과 통신할 수 없습니다."},
      {12, 1, "PLC1", "5", -12, 0x101,
       "[Dravik RS232/422] 스테이션[PLC1]로부터 에러번호[5]를 수신받았습니다."},
      {1, 2, "ignored", "ignored", -1, 0x102, "[Dravik RS232/422] 통신시작"},
      {6, 0, nullptr, nullptr, -6, 0x100, "[Dravik RS232/422] 태그[]의 I/O 어드레스[]가 잘못 설정되었습니다."},
      {-3, 2, nullptr, nullptr, -3, -1, ""},
      {19, 2, "x", nullptr, 19, -1, ""},  // past the catalogue: never read
      {1000, 2, "x", nullptr, 1000, -1, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReportDriverMessage(c.number, c.flags, c.first, c.second), c.result) << c.number;
    const auto lines = Take();
    if (c.logged_flags < 0) {
      EXPECT_TRUE(lines.empty()) << c.number;
      continue;
    }
    ASSERT_EQ(lines.size(), 1u) << c.number;
    EXPECT_EQ(lines[0].kind, 3);
    EXPECT_EQ(lines[0].flags, c.logged_flags);
    EXPECT_EQ(lines[0].text, c.text);
  }
  install(nullptr);
}

TEST(ReportDriverMessage, CatalogueHasNineteenEntries) {
  EXPECT_STREQ(MessageFormat(0), "");
  EXPECT_STREQ(MessageFormat(18),
               "국번이 잘못 입력되었습니다. 1에서 FF 사이의 16진수로 입력하십시오.");
  EXPECT_EQ(MessageFormat(19), nullptr);
  EXPECT_EQ(MessageFormat(-1), nullptr);
}

}  // namespace
}  // namespace dravik
