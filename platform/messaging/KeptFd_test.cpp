#include "platform/messaging/KeptFd.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "platform/testing/TempRoot.h"

namespace kst::messaging {
namespace {

int makePipeEnd() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
  ::close(fds[1]);
  return fds[0];
}

TEST(KeptFdTest, MovesHighCloseOnExecAndClosesOnlyItsOwnFile) {
  const int low = makePipeEnd();
  ASSERT_GE(low, 0);
  KeptFd kept(low);
  ASSERT_TRUE(kept.valid());
  EXPECT_GE(kept.get(), KeptFd::floor());
  EXPECT_EQ(::fcntl(low, F_GETFD), -1) << "the original number is given back";
  EXPECT_NE(::fcntl(kept.get(), F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_TRUE(kept.intact());

  // The program closes it and its own file takes the number.
  testing::TempRoot temp;
  const std::string file = temp.dir() + "/program-file";
  const int own = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(own, 0);
  const int number = kept.get();
  ASSERT_EQ(::dup2(own, number), number);
  EXPECT_FALSE(kept.intact());
  kept.reset();
  // Still open: reset() left the program's descriptor alone.
  EXPECT_EQ(::write(number, "x", 1), 1);
  ::close(number);
  ::close(own);

  // Closed under it: not intact, and nothing to close.
  KeptFd other(makePipeEnd());
  ASSERT_TRUE(other.intact());
  ::close(other.get());
  EXPECT_FALSE(other.intact());
}

TEST(KeptFdTest, MoveTransfersOwnership) {
  KeptFd a(makePipeEnd());
  const int number = a.get();
  KeptFd b(std::move(a));
  EXPECT_FALSE(a.valid());  // NOLINT(bugprone-use-after-move): moved-from state is specified
  EXPECT_EQ(b.get(), number);
  EXPECT_TRUE(b.intact());
  b.reset();
  EXPECT_EQ(::fcntl(number, F_GETFD), -1);
  EXPECT_FALSE(KeptFd(-1).valid());
}

}  // namespace
}  // namespace kst::messaging
