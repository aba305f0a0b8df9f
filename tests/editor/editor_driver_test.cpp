// Slot 2 of the real driver library: it loads the design-time stand-in and
// libdraviknet-editor.so from its own folder and runs the Qt editor. Closing
// without saving returns 0; saving first returns 1 and writes the file.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "draviknet/driver_table.h"
#include "model/dravik_doc.h"
#include "qt_script.h"

namespace dravik::test {
namespace {

namespace fs = std::filesystem;

std::string ProgramFolder() { return fs::read_symlink("/proc/self/exe").parent_path().string(); }

class DriverEditTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    // Loaded once and kept for the program's life, as the host keeps its
    // drivers; the editor library itself is loaded and freed by each call.
    static void* const handle =
        ::dlopen((ProgramFolder() + "/libdraviknet.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << ::dlerror();
    auto* table = static_cast<void**>(::dlsym(handle, "DrvFuncTable"));
    ASSERT_NE(table, nullptr);
    edit_ = reinterpret_cast<DrvEditConfigFn>(table[DRV_SLOT_EDIT]);
    ASSERT_NE(edit_, nullptr);
    char pattern[] = "/tmp/dravik-editor-slot2-XXXXXX";
    dir_ = ::mkdtemp(pattern);
  }
  void TearDown() override { fs::remove_all(dir_); }

  DrvEditConfigFn edit_ = nullptr;
  std::string dir_;
};

TEST_F(DriverEditTest, ClosingWithoutSavingReturns0) {
  const std::string path = dir_ + "/slot2.dat";
  ModalScript script;
  script.On("dlg9001", [](QWidget* w) {
    Shot(w, "slot2_editor");
    Click(w, "btn2");
  });
  EXPECT_EQ(edit_(path.c_str()), 0);
  EXPECT_TRUE(script.Done());
  EXPECT_FALSE(fs::exists(path));
}

TEST_F(DriverEditTest, SavingReturns1AndTheFileLoads) {
  const std::string path = dir_ + "/slot2.dat";
  ModalScript script;
  script.On("dlg9001", [](QWidget* w) {
    Click(w, "btn9011");
    Click(w, "btn2");
  });
  EXPECT_EQ(edit_(path.c_str()), 1);
  EXPECT_TRUE(script.Done());
  CDravikNetDoc back;
  EXPECT_EQ(back.LoadFile(path.c_str()), 1) << back.LastError();
}

}  // namespace
}  // namespace dravik::test
