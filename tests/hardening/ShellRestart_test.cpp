// The shell killed and started again under a running application: while it
// is gone, undecided calls go ahead as the failure rules say (no shell, no
// question); once a new one is up, the same process asks it again.

#include "tests/e2e/E2eFixture.h"

namespace kst::e2e {
namespace {

class ShellRestartTest : public E2eTest {
 protected:
  // One attempt of the running client; its line, or "" when none came.
  std::string attempt(Process& client) {
    const std::size_t before = lines("client.out").size();
    client.writeLine("go");
    if (!waitFor([&] { return lines("client.out").size() > before; }, 60)) return "";
    return lines("client.out")[before];
  }
  // Attempts until one is refused (asked, and denied once), at most `limit`.
  bool askedAndDenied(Process& client, double limit = 60) {
    return waitFor([&] { return attempt(client) == "tcp" + kRefused; }, limit);
  }
};

TEST_F(ShellRestartTest, ApplicationGoesOnWithoutTheShellAndAsksTheNewOne) {
  Server shop(kShopIp);
  ASSERT_TRUE(shop.ok());
  answers({"1 0 0", "1 0 0", "1 0 0"});  // deny once, every time
  startSpringBoard();
  Process client(launchArgs(kApp, {KST_E2E_CLIENT, "lines", "tcp", kShopIp, shop.port()}), env(),
                 temp_.dir() + "/client.out", temp_.dir() + "/client.err");
  ASSERT_TRUE(askedAndDenied(client)) << text("client.err");
  EXPECT_EQ(questions().size(), 1u);

  ::kill(springBoard_->pid(), SIGKILL);
  springBoard_->wait();
  // No shell: the undecided call is let through, and nothing is asked.
  EXPECT_EQ(attempt(client), "tcp" + kOk);
  EXPECT_EQ(attempt(client), "tcp" + kOk);
  EXPECT_EQ(questions().size(), 1u);

  std::filesystem::remove(temp_.dir() + "/test/springboard.ready");
  startSpringBoard();
  ASSERT_TRUE(askedAndDenied(client)) << "the running application never asked the new shell";
  EXPECT_GE(questions().size(), 2u);
  client.closeInput();
  EXPECT_EQ(client.wait(), 0);
}

}  // namespace
}  // namespace kst::e2e
