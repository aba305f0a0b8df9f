// Replacing a project file: a new file takes the umask, a dangling link gets
// its target created, a folder that refuses new files falls back to writing
// the file in place, saying so, and a full disk leaves the old file whole
// either way. (Links to existing files, their mode and owner are covered by
// the project file tests.)
#include "platform/file_io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/fanotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace dravik {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr uid_t kNobody = 65534;

class FileIoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/dravik-fileio-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    umount2(dir_.c_str(), MNT_DETACH);  // the full-disk test's tmpfs, if mounted
    chmod(dir_.c_str(), 0700);
    std::system(("rm -rf " + dir_).c_str());
  }
  std::string PathFor(const std::string& name) const { return dir_ + "/" + name; }
  // Runs `body` in a child process, as user nobody when `as_nobody`; Wait
  // gives its exit code (-1 when it did not exit).
  static pid_t Start(bool as_nobody, const std::function<int()>& body) {
    const pid_t child = fork();
    if (child != 0) return child;
    if (as_nobody && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) _exit(99);
    _exit(body());
  }
  static int Wait(pid_t child) {
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
  }
  Bytes Read(const std::string& path) {
    Bytes bytes;
    std::string error;
    EXPECT_TRUE(ReadWholeFile(path, 1 << 20, &bytes, &error)) << error;
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
                      note.find(path + " was written in place") != std::string::npos;
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

// A refused write says why, for the editor's box, and leaves the file as it
// was. "Another user" is nobody, so those rows need root to switch to it.
TEST_F(FileIoTest, RefusalsSayWhyAndLeaveTheFileAlone) {
  const struct {
    const char* name;
    const char* file;  // under the folder
    mode_t file_mode;  // 0: no file there
    mode_t folder_mode;
    bool as_nobody;
    WriteProblem problem;
  } cases[] = {
      {"a read-only file, even for root", "line.dat", 0444, 0755, false,
       WriteProblem::kFileReadOnly},
      {"another user's file in a folder the user may write", "line.dat", 0644, 0777, true,
       WriteProblem::kNoPermission},
      {"a new file in a folder the user may not write", "new.dat", 0, 0755, true,
       WriteProblem::kFolderReadOnly},
      {"a folder that does not exist", "missing/line.dat", 0, 0755, false, WriteProblem::kNoFolder},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.as_nobody && geteuid() != 0) continue;  // cannot become another user
    const std::string path = PathFor(c.file);
    const Bytes old = {4, 5, 6};
    std::string error;
    if (c.file_mode != 0) {
      chmod(path.c_str(), 0644);
      ASSERT_TRUE(WriteFileReplacing(path, old, &error)) << error;
      ASSERT_EQ(chmod(path.c_str(), c.file_mode), 0);
    }
    ASSERT_EQ(chmod(dir_.c_str(), c.folder_mode), 0);
    const int problem = Wait(Start(c.as_nobody, [&] {
      WriteProblem why = WriteProblem::kNone;
      return WriteFileReplacing(path, {7}, &error, nullptr, &why) ? 100 : static_cast<int>(why);
    }));
    chmod(dir_.c_str(), 0755);
    EXPECT_EQ(problem, static_cast<int>(c.problem));
    if (c.file_mode != 0) {
      EXPECT_EQ(Read(path), old);
    }
  }
}

// Temporary files of saves killed before their rename are removed by the
// next save of the same file; a running process's file and another file's stay.
TEST_F(FileIoTest, NextSaveRemovesTheTemporaryFilesOfKilledSaves) {
  const pid_t gone = Start(false, [] { return 0; });
  ASSERT_EQ(Wait(gone), 0);
  const std::string dead = PathFor("line.dat." + std::to_string(gone) + ".3.tmp");
  const std::string running = PathFor("line.dat." + std::to_string(getppid()) + ".0.tmp");
  const std::string other = PathFor("other.dat." + std::to_string(gone) + ".0.tmp");
  std::string error;
  for (const std::string& f : {dead, running, other}) {
    ASSERT_TRUE(WriteFileReplacing(f, {1}, &error)) << error;
  }
  ASSERT_TRUE(WriteFileReplacing(PathFor("line.dat"), {2}, &error)) << error;
  EXPECT_FALSE(FileExists(dead));
  EXPECT_TRUE(FileExists(running));
  EXPECT_TRUE(FileExists(other));
}

// A full disk: a small tmpfs over the test's folder, mounted in a mount
// namespace of its own (it goes with the process, whatever happens), filled to
// the last page by another file. Whether the save goes through a temporary
// file or in place (the folder refusing new files, as user nobody), a save
// that needs more room fails and leaves the old bytes; an in-place save that
// fits the old file's pages succeeds.
TEST_F(FileIoTest, FullDiskLeavesTheOldFileWhole) {
  if (unshare(CLONE_NEWNS) != 0 ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("tmpfs", dir_.c_str(), "tmpfs", 0, "size=64k,mode=0755") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here (needs root or CAP_SYS_ADMIN): "
                 << std::strerror(errno);
  }
  const struct {
    const char* name;
    bool in_place;
    size_t new_size;
    bool saved;
  } cases[] = {
      {"temporary file, no room", false, 3000, false},
      {"in place, larger than the room", true, 40000, false},
      {"in place, within the old pages", true, 3000, true},
  };
  const std::string path = PathFor("line.dat");
  Bytes old(10000);
  for (size_t i = 0; i < old.size(); ++i) old[i] = static_cast<uint8_t>(i * 7);
  for (const auto& c : cases) {
    std::string error;
    unlink(PathFor("filler").c_str());
    ASSERT_TRUE(WriteFileReplacing(path, old, &error)) << error;
    ASSERT_EQ(chown(path.c_str(), kNobody, kNobody), 0);
    std::system(("cat /dev/zero >" + PathFor("filler") + " 2>/dev/null").c_str());

    // In place as nobody: the folder is root's (0755), nobody may not add a
    // file to it. A refusal must say the old file is unchanged.
    const Bytes next(c.new_size, 0x5A);
    const int status = Wait(Start(c.in_place, [&] {
      WriteProblem why = WriteProblem::kNone;
      return WriteFileReplacing(path, next, &error, nullptr, &why) ? 0
             : error.find("unchanged") != error.npos && why == WriteProblem::kDiskFull ? 1
                                                                                     : 2;
    }));
    EXPECT_EQ(status, c.saved ? 0 : 1) << c.name;
    EXPECT_TRUE(Read(path) == (c.saved ? next : old)) << c.name;
    // Nothing is left beside it: the file, the filler, no temporary file.
    EXPECT_EQ(std::system(("test $(ls -A " + dir_ + " | wc -l) -eq 2").c_str()), 0) << c.name;
  }
}

// A replacement is never readable by more people than the old file, not even
// between its creation and taking the old owner and mode: the save's first
// open in the folder, the temporary file's, is held (a fanotify permission
// event) while its mode is read. With the umask 022, a file created 0666
// would show 0644, wider than the old 0640.
TEST_F(FileIoTest, TemporaryFileNeverShowsMoreThanTheOldMode) {
  const std::string path = PathFor("line.dat");
  std::string error;
  ASSERT_TRUE(WriteFileReplacing(path, {1}, &error)) << error;
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  const int fan = fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY);
  if (fan < 0 || fanotify_mark(fan, FAN_MARK_ADD, FAN_OPEN_PERM | FAN_EVENT_ON_CHILD, AT_FDCWD,
                               dir_.c_str()) != 0) {
    GTEST_SKIP() << "no fanotify permission events (root, a kernel with them): "
                 << std::strerror(errno);
  }
  const pid_t child = Start(false, [&] {
    close(fan);  // the listener's alone, so that closing it answers
    umask(022);
    return WriteFileReplacing(path, {2, 3}, &error) ? 0 : 1;
  });
  fanotify_event_metadata event{};
  struct stat st {};
  EXPECT_EQ(read(fan, &event, sizeof event), static_cast<ssize_t>(sizeof event));
  EXPECT_EQ(fstat(event.fd, &st), 0);
  close(event.fd);
  close(fan);  // answers the held open, and any later one, with "allow"
  EXPECT_EQ(Wait(child), 0);
  EXPECT_EQ(st.st_mode & 0777 & ~0640u, 0u) << std::oct << (st.st_mode & 0777);
  EXPECT_EQ(Read(path), (Bytes{2, 3}));
}

}  // namespace
}  // namespace dravik
