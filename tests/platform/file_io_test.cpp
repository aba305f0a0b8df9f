// Replacing a project file: a new file takes the umask, a dangling link gets
// its target created, and a folder that refuses new files falls back to
// writing the file in place, saying so. (Links to existing files, their mode
// and owner are covered by the project file tests.)
#include "platform/file_io.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace dravik {
namespace {

using Bytes = std::vector<uint8_t>;

class FileIoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/dravik-fileio-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    chmod(dir_.c_str(), 0700);
    std::system(("rm -rf " + dir_).c_str());
  }
  std::string PathFor(const std::string& name) const { return dir_ + "/" + name; }
  Bytes Read(const std::string& path) {
    Bytes bytes;
    std::string error;
    EXPECT_TRUE(ReadWholeFile(path, 1024, &bytes, &error)) << error;
    return bytes;
  }

  std::string dir_;
};

TEST_F(FileIoTest, NewFileTakesTheUmaskAndADanglingLinkItsTarget) {
  const mode_t old_umask = umask(027);
  std::string error;
  const bool written = WriteFileReplacing(PathFor("new.dat"), {1, 2}, &error);
  umask(old_umask);
  ASSERT_TRUE(written) << error;
  struct stat st {};
  ASSERT_EQ(stat(PathFor("new.dat").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);

  ASSERT_EQ(symlink("later.dat", PathFor("link.dat").c_str()), 0);
  ASSERT_TRUE(WriteFileReplacing(PathFor("link.dat"), {3}, &error)) << error;
  ASSERT_EQ(lstat(PathFor("link.dat").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(Read(PathFor("later.dat")), Bytes{3});

  // A link loop is refused, with nothing written.
  ASSERT_EQ(symlink("loop.dat", PathFor("loop.dat").c_str()), 0);
  EXPECT_FALSE(WriteFileReplacing(PathFor("loop.dat"), {4}, &error));
  EXPECT_NE(error.find("too many levels of symbolic links"), std::string::npos) << error;
}

// The folder refuses new files, the file takes writes: written in place,
// with a note. Run by a user without privileges (a root process may create
// files anywhere), in a child process when the test runs as root.
TEST_F(FileIoTest, ReadOnlyFolderFallsBackToWritingInPlace) {
  const std::string path = PathFor("line.dat");
  std::string error;
  ASSERT_TRUE(WriteFileReplacing(path, {9, 9, 9, 9}, &error)) << error;
  const uid_t nobody = 65534;
  if (geteuid() == 0) {
    ASSERT_EQ(chown(dir_.c_str(), nobody, nobody), 0);
    ASSERT_EQ(chown(path.c_str(), nobody, nobody), 0);
  }
  ASSERT_EQ(chmod(dir_.c_str(), 0555), 0);

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (geteuid() == 0 && (setgid(nobody) != 0 || setuid(nobody) != 0)) _exit(10);
    std::string why, note;
    if (!WriteFileReplacing(path, {1, 2}, &why, &note)) _exit(11);
    const bool said = note.find("refuses new files") != std::string::npos &&
                      note.find(path + " was truncated and written in place") != std::string::npos;
    // A file the folder holds but the user may not write is still refused.
    if (chmod(path.c_str(), 0444) != 0) _exit(12);
    if (WriteFileReplacing(path, {7}, &why, &note)) _exit(13);
    _exit(said ? 0 : 14);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(Read(path), (Bytes{1, 2}));
}

}  // namespace
}  // namespace dravik
