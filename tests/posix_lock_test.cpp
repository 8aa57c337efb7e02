// The lock file of a unit as two users meet it in a sticky folder such as
// /run/lock: the second user must be able to open and lock the file the
// first one made, with any umask, and even where the kernel refuses O_CREAT
// on another user's file (fs.protected_regular).
#include "common/host/posix_lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

namespace zemb {
namespace {

// open(2) as it behaves in a sticky folder with fs.protected_regular set,
// with every existing file taken to be another user's: O_CREAT without
// O_EXCL on it fails with EACCES, for root too. Each call is recorded.
std::vector<int> calls;
int ProtectedOpen(const char* path, int flags, mode_t mode) {
  calls.push_back(flags);
  struct stat st {};
  if ((flags & O_CREAT) != 0 && (flags & O_EXCL) == 0 && ::lstat(path, &st) == 0 &&
      S_ISREG(st.st_mode)) {
    errno = EACCES;
    return -1;
  }
  return ::open(path, flags, mode);
}

class LockFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/zemb-lock-test.XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    folder_ = name;
    ASSERT_EQ(chmod(folder_.c_str(), 01777), 0);  // as /run/lock
    path_ = folder_ + "/zemb-usb-1-1.3.lock";
    calls.clear();
  }
  void TearDown() override {
    unlink(path_.c_str());
    rmdir(folder_.c_str());
  }
  std::string folder_, path_;
};

TEST_F(LockFileTest, AnExistingFileIsOpenedWithoutCreate) {
  std::unique_ptr<PosixFileLock> first, second;
  int error = 0;
  const mode_t mask = umask(077);
  ASSERT_EQ(PosixFileLock::Take(path_, false, &first, &error, ProtectedOpen),
            PosixFileLock::Result::Acquired)
      << error;
  umask(mask);
  // Missing: one plain open, then one exclusive create.
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0] & (O_CREAT | O_EXCL), 0);
  EXPECT_EQ(calls[1] & (O_CREAT | O_EXCL), O_CREAT | O_EXCL);
  struct stat st {};
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u) << "readable by every user whatever the umask";
  first.reset();

  // There: opened as it is, never with O_CREAT.
  calls.clear();
  ASSERT_EQ(PosixFileLock::Take(path_, false, &second, &error, ProtectedOpen),
            PosixFileLock::Result::Acquired)
      << "error " << error;
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0] & O_CREAT, 0);
}

// The kernel itself, as two users: root makes the file with a strict umask,
// nobody locks it after.
TEST_F(LockFileTest, AnotherUserLocksTheFileAfterTheFirst) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as a second user";
  std::unique_ptr<PosixFileLock> first;
  int error = 0;
  const mode_t mask = umask(077);
  ASSERT_EQ(PosixFileLock::Take(path_, false, &first, &error), PosixFileLock::Result::Acquired);
  umask(mask);
  first.reset();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
    std::unique_ptr<PosixFileLock> second;
    int why = 0;
    _exit(PosixFileLock::Take(path_, false, &second, &why) == PosixFileLock::Result::Acquired ? 0
                                                                                              : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the second user could not lock the unit";
}

}  // namespace
}  // namespace zemb
