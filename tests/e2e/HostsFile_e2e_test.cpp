// The device's hosts file edited while a program runs: the program reads it
// once and again only when it changed, so the next connect is judged under
// the name the file gives now.

#include "tests/e2e/E2eFixture.h"

namespace kst::e2e {
namespace {

constexpr const char* kBlockedName = "blocked.example";

class HostsFileE2eTest : public E2eTest {
 protected:
  // One connect of the running client; its result line.
  std::string connectOnce(Process& app) {
    const std::size_t before = lines("hosts.out").size();
    app.writeLine("go");
    EXPECT_TRUE(waitFor([&] { return lines("hosts.out").size() == before + 1; })) << text("hosts.err");
    const Lines out = lines("hosts.out");
    return out.size() == before + 1 ? out.back() : std::string("<no answer>");
  }

  Server shop_{kShopIp};
};

TEST_F(HostsFileE2eTest, TheNextConnectAfterAnEditSeesTheNewName) {
  ASSERT_TRUE(shop_.ok());
  writeApp(kApp, plist::Dictionary{{"deny", plist::Value(ruleEntries({kBlockedName}))}});
  Process app(launchArgs(kApp, {KST_E2E_CLIENT, "lines", "tcp", kShopIp, shop_.port()}), env(),
              temp_.dir() + "/hosts.out", temp_.dir() + "/hosts.err");
  EXPECT_EQ(connectOnce(app), "tcp" + kOk) << "named " << kShopName << ", which no rule denies";
  EXPECT_EQ(connectOnce(app), "tcp" + kOk);

  // Replaced by a new file, as an installer or an editor saving does.
  const std::string renamed = std::string(kShopIp) + " " + kBlockedName + "\n";
  writeText("/etc/hosts", renamed);
  EXPECT_EQ(connectOnce(app), "tcp" + kRefused) << "now named " << kBlockedName;

  // Rewritten in place: the same file, another text.
  { std::ofstream(temp_.path("/etc/hosts"), std::ios::trunc) << hostsFileText(); }
  EXPECT_EQ(connectOnce(app), "tcp" + kOk) << "named " << kShopName << " again";
  { std::ofstream(temp_.path("/etc/hosts"), std::ios::trunc) << renamed; }
  EXPECT_EQ(connectOnce(app), "tcp" + kRefused);
  app.closeInput();
  EXPECT_EQ(app.wait(), 0);
}

}  // namespace
}  // namespace kst::e2e
