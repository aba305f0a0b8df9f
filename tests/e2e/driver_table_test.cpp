// The function table as a host sees it: constant slots, instance handles,
// refused handles, the message for an unreadable file, the one export.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "tests/e2e/driver_host.h"

namespace dravik::test {
namespace {

TEST(DriverTable, ConstantSlotsAndNullTail) {
  DriverHost& host = DriverHost::Get();
  EXPECT_EQ(host.Slot<DrvGetVersionFn>(DRV_SLOT_VERSION)(), 65536);
  EXPECT_EQ(host.Slot<DrvReserved8Fn>(DRV_SLOT_RESERVED_8)(), 0);
  EXPECT_EQ(host.Slot<DrvReserved9Fn>(DRV_SLOT_RESERVED_9)(), 1);
  host.Slot<DrvReserved10Fn>(DRV_SLOT_RESERVED_10)();
  host.Slot<DrvReserved11Fn>(DRV_SLOT_RESERVED_11)();
  EXPECT_STREQ(host.Slot<DrvGetNameFn>(DRV_SLOT_NAME)(), "Dravik RS232/422");
  for (int slot = 0; slot <= 16; ++slot) EXPECT_NE(host.Table()[slot], nullptr) << slot;
  for (int slot = 17; slot < 32; ++slot) EXPECT_EQ(host.Table()[slot], nullptr) << slot;
}

TEST(DriverTable, OnlyTheTableIsExported) {
  const std::string cmd =
      std::string(DRAVIK_NM) + " -D --defined-only '" + DriverHost::Get().LibraryPath() + "'";
  FILE* pipe = popen(cmd.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string symbols;
  char line[512];
  while (fgets(line, sizeof line, pipe)) symbols += line;
  ASSERT_EQ(pclose(pipe), 0);
  // Every defined dynamic symbol, by name.
  std::vector<std::string> names;
  size_t pos = 0;
  while (pos < symbols.size()) {
    const size_t end = symbols.find('\n', pos);
    const std::string row = symbols.substr(pos, end - pos);
    names.push_back(row.substr(row.rfind(' ') + 1));
    pos = end == std::string::npos ? symbols.size() : end + 1;
  }
  EXPECT_EQ(names, std::vector<std::string>{"DrvFuncTable"}) << symbols;
}

TEST(DriverTable, HandlesCountUpAndAFailedCreateConsumesNone) {
  DriverHost& host = DriverHost::Get();
  TempDir dir;
  CDravikNetDoc doc;
  doc.Stations().push_back(MakeStation("PLC1", 7));
  doc.Stations().back()->description = "Press line";
  SaveProject(doc, dir.File("good.dat"));

  host.ClearRecords();
  const int first = host.Create(dir.File("good.dat"));
  const std::string missing = dir.File("missing.dat");
  EXPECT_EQ(host.Create(missing), -1);
  const int second = host.Create(dir.File("good.dat"));
  EXPECT_EQ(second, first + 1);

  const auto logs = host.Logs();
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_EQ(logs[0].flags, 0x100);
  EXPECT_EQ(logs[0].text, "[Dravik RS232/422] 지정된 파일[" + missing + "]을 열 수 없습니다.");

  // A file that is not a project file is refused the same way.
  FILE* f = fopen(dir.File("junk.dat").c_str(), "wb");
  fputs("not a project", f);
  fclose(f);
  EXPECT_EQ(host.Create(dir.File("junk.dat")), -1);
  EXPECT_EQ(host.Create(dir.File("good.dat")), second + 1);

  // Station texts through slot 16, matched without regard to case.
  CString number = "untouched", description = "untouched";
  host.Slot<DrvGetStationTextsFn>(DRV_SLOT_STATION_TEXTS)(second, "plc1", &number, &description);
  EXPECT_EQ(number, "07");
  EXPECT_EQ(description, "Press line");
  number = "untouched";
  host.Slot<DrvGetStationTextsFn>(DRV_SLOT_STATION_TEXTS)(second, "PLC9", &number, &description);
  EXPECT_EQ(number, "untouched");
}

TEST(DriverTable, RefusedHandlesAndSlotsBeforePreparation) {
  DriverHost& host = DriverHost::Get();
  TempDir dir;
  CDravikNetDoc doc;
  doc.Stations().push_back(MakeStation("PLC1", 1));
  SaveProject(doc, dir.File("p.dat"));
  const int inst = host.Create(dir.File("p.dat"));
  ASSERT_GE(inst, 0);
  const int beyond = inst + 1000;
  int out[4] = {5, 5, 5, 5};

  struct Case {
    const char* what;
    int got;
    int want;
  };
  host.ClearRecords();
  const Case cases[] = {
      {"slot 3, handle -1", host.Prepare(-1), 0},
      {"slot 4, bad handle", host.BuildRequests(beyond), 0},
      {"slot 5, bad handle", host.Stop(-1), 0},
      {"slot 6, bad handle", host.Bind(beyond, "D.PLC1", "R1", 1, 2, 1), -1},
      {"slot 7, bad handle", host.Write(-5, 0, 1.0), 0},
      {"slot 15, bad handle", host.Statistics(beyond, nullptr, out), -1},
      // Before slot 3 there is no engine: refused values, nothing done.
      {"slot 4 before 3", host.BuildRequests(inst), 0},
      {"slot 5 before 3", host.Stop(inst), 0},
      {"slot 6 before 3", host.Bind(inst, "D.PLC1", "R1", 1, 2, 1), -1},
      {"slot 7 before 3", host.Write(inst, 0, 1.0), 0},
      {"slot 15 before 3", host.Statistics(inst, nullptr, out), -1},
  };
  for (const Case& c : cases) EXPECT_EQ(c.got, c.want) << c.what;
  host.SetRunState(inst, nullptr, 1);  // no engine: nothing starts
  host.ResetCounters(beyond, nullptr);
  EXPECT_EQ(out[0] + out[1] + out[2] + out[3], 20);
  EXPECT_TRUE(host.Logs().empty());
}

TEST(DriverTable, UnloadWhileRunningStopsTheThreadsFirst) {
  // In a child process: load, start a line, unload without stopping.
  const std::string library = DriverHost::Get().LibraryPath();
  EXPECT_EXIT(
      {
        TempDir dir;
        CDravikNetDoc doc;
        doc.Stations().push_back(MakeStation("PLC1", 1));
        AddBlock(*doc.Stations().back(), "R1", 7, 1, 4, 0);
        SaveProject(doc, dir.File("p.dat"));
        setenv("DRAVIKNET_PORTS", dir.path().c_str(), 1);
        // A port that exists but never answers: a pseudo-terminal with no peer.
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(master);
        unlockpt(master);
        symlink(ptsname(master), dir.File("COM1").c_str());
        void* lib = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (lib == nullptr) std::_Exit(2);
        auto** table = static_cast<void**>(dlsym(lib, "DrvFuncTable"));
        const int inst = reinterpret_cast<DrvCreateInstanceFn>(table[1])(dir.File("p.dat").c_str());
        if (reinterpret_cast<DrvPrepareCommFn>(table[3])(inst) != 0) std::_Exit(3);
        reinterpret_cast<DrvSetRunStateFn>(table[13])(inst, nullptr, 1);
        usleep(300 * 1000);
        // Unloading runs the module's teardown (now, or at exit when the
        // library cannot be unloaded early); either way it must stop the
        // running engine before deleting it.
        dlclose(lib);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace dravik::test
