#include "platform/reachability/NetworkState.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/reachability/NetworkReachability.h"
#include "platform/testing/TempRoot.h"

namespace kst {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kReach = kReachabilityReachable;
constexpr std::uint32_t kWwan = kReachabilityReachable | kReachabilityIsWWAN;
constexpr std::uint32_t kDirect = kReachabilityReachable | kReachabilityIsDirect;

constexpr const char* kRouteHeader =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";

std::string defaultRoute(const std::string& iface, int metric = 0, const char* flags = "0003") {
  return iface + "\t00000000\t0102A8C0\t" + flags + "\t0\t0\t" + std::to_string(metric) +
         "\t00000000\t0\t0\t0\n";
}

std::string defaultRoute6(const std::string& iface, const char* metric = "00000400",
                          const char* flags = "00000003") {
  return "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
         "fe800000000000000000000000000001 " +
         std::string(metric) + " 00000001 00000000 " + flags + " " + iface + "\n";
}

// A fake /proc and /sys in a temporary folder.
class NetworkStateTest : public ::testing::Test {
 protected:
  NetworkStateTest() { fs::create_directories(root_.dir() + "/proc/net"); }

  NetPaths paths() const { return {root_.dir() + "/proc", root_.dir() + "/sys"}; }
  std::optional<std::uint32_t> flags(bool linkLocal = false) const {
    return NetworkState(paths()).flags(linkLocal);
  }

  void write(const std::string& rel, const std::string& text) const {
    const fs::path p = root_.dir() + "/" + rel;
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text;
  }
  void routes(const std::string& lines) const { write("proc/net/route", kRouteHeader + lines); }
  void routes6(const std::string& lines) const { write("proc/net/ipv6_route", lines); }

  // Sysfs attributes of one interface; the defaults are an ethernet card that is up.
  struct Iface {
    int type_ = 1;
    std::string operstate_ = "up";
    std::string flags_ = "0x1003";
    std::string devType_;
    std::string marker_;  // "wireless" or "phy80211"

    Iface& type(int t) { return type_ = t, *this; }
    Iface& operstate(std::string s) { return operstate_ = std::move(s), *this; }
    Iface& flags(std::string f) { return flags_ = std::move(f), *this; }
    Iface& devType(std::string d) { return devType_ = std::move(d), *this; }
    Iface& marker(std::string m) { return marker_ = std::move(m), *this; }
  };
  void iface(const std::string& name, const Iface& i) const {
    const std::string dir = "sys/class/net/" + name;
    write(dir + "/type", std::to_string(i.type_) + "\n");
    write(dir + "/operstate", i.operstate_ + "\n");
    write(dir + "/flags", i.flags_ + "\n");
    write(dir + "/uevent",
          (i.devType_.empty() ? "" : "DEVTYPE=" + i.devType_ + "\n") + "INTERFACE=" + name + "\nIFINDEX=3\n");
    if (!i.marker_.empty()) fs::create_directories(root_.dir() + "/" + dir + "/" + i.marker_);
  }

  testing::TempRoot root_;
};

TEST_F(NetworkStateTest, UnreadableTablesGiveNoFlagsAndNoDefaultRouteGivesZero) {
  EXPECT_EQ(flags(), std::nullopt);
  routes("eth0\t0002A8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n");  // on-link subnet only
  iface("eth0", Iface());
  EXPECT_EQ(flags(), 0u);
  EXPECT_EQ(flags(true), 0u);
}

TEST_F(NetworkStateTest, EthernetAndWirelessAreReachableAndDirectOnlyForLinkLocalTargets) {
  routes(defaultRoute("eth0"));
  iface("eth0", Iface());
  EXPECT_EQ(flags(), kReach);
  EXPECT_EQ(flags(true), kDirect);

  int n = 0;
  for (const Iface& wifi :
       {Iface().marker("wireless"), Iface().marker("phy80211"), Iface().devType("wlan")}) {
    const std::string name = "wlan" + std::to_string(n++);
    routes(defaultRoute(name));
    iface(name, wifi);
    EXPECT_EQ(NetworkState(paths()).interfaceKind(name), InterfaceKind::kWireless) << name;
    EXPECT_EQ(flags(), kReach);
    EXPECT_EQ(flags(true), kDirect);
  }
}

TEST_F(NetworkStateTest, MobileBroadbandIsWwanButTunnelsAreNot) {
  routes(defaultRoute("wwan0"));
  iface("wwan0", Iface().type(65534).operstate("unknown").flags("0x1091").devType("wwan"));
  EXPECT_EQ(flags(), kWwan);
  EXPECT_EQ(flags(true), kWwan);  // never direct over the cellular network

  const NetworkState state(paths());
  iface("rmnet_data0", Iface().type(519).operstate("unknown"));
  iface("ppp0", Iface().type(512).operstate("unknown").flags("0x10d1"));
  iface("tun0", Iface().type(65534).operstate("unknown").flags("0x1091"));
  iface("wwanish", Iface().type(1));  // ethernet type, no DEVTYPE: an ordinary NIC
  EXPECT_EQ(state.interfaceKind("rmnet_data0"), InterfaceKind::kMobile);
  EXPECT_EQ(state.interfaceKind("ppp0"), InterfaceKind::kMobile);
  EXPECT_EQ(state.interfaceKind("tun0"), InterfaceKind::kWired);
  EXPECT_EQ(state.interfaceKind("wwanish"), InterfaceKind::kWired);
}

TEST_F(NetworkStateTest, LoopbackDownAndVanishedInterfacesAreNotReachable) {
  routes(defaultRoute("lo") + defaultRoute("lo2") + defaultRoute("eth0") + defaultRoute("eth1") +
         defaultRoute("gone"));
  iface("lo", Iface().type(772).operstate("unknown").flags("0x9"));
  iface("lo2", Iface().type(772));
  iface("eth0", Iface().operstate("down").flags("0x1003"));
  iface("eth1", Iface().operstate("up").flags("0x1002"));  // administratively down
  EXPECT_EQ(flags(), 0u);
  EXPECT_EQ(flags(true), 0u);
}

TEST_F(NetworkStateTest, PicksTheLowestMetricUsableRouteAndSkipsRoutesNotUp) {
  iface("wlan0", Iface().devType("wlan"));
  iface("wwan0", Iface().type(519).devType("wwan"));
  iface("eth0", Iface().operstate("lowerlayerdown"));
  routes(defaultRoute("wlan0", 600) + defaultRoute("wwan0", 100));
  EXPECT_EQ(flags(), kWwan);
  routes(defaultRoute("eth0", 10) + defaultRoute("wlan0", 600) + defaultRoute("wwan0", 1000));
  EXPECT_EQ(flags(), kReach);
  routes(defaultRoute("wwan0", 0, "0002") + defaultRoute("wlan0", 5, "0201") + defaultRoute("eth0", 10));
  EXPECT_EQ(flags(), 0u);
}

TEST_F(NetworkStateTest, Ipv6DefaultRouteIsTheFallback) {
  iface("wlan0", Iface().devType("wlan"));
  iface("wwan0", Iface().type(519).devType("wwan"));
  // The kernel's own rejecting default on lo is always there.
  const std::string rejectOnLo = defaultRoute6("lo", "ffffffff", "00200200");
  routes6(rejectOnLo + defaultRoute6("wwan0"));
  EXPECT_EQ(flags(), kWwan);  // no IPv4 table at all
  routes("");
  EXPECT_EQ(flags(), kWwan);
  routes(defaultRoute("wlan0", 600));
  EXPECT_EQ(flags(), kReach);  // IPv4 first, whatever the IPv6 metric
  routes("");
  routes6(rejectOnLo);
  EXPECT_EQ(flags(), 0u);
}

TEST_F(NetworkStateTest, MalformedTablesAndHostileNamesAreIgnored) {
  iface("eth0", Iface());
  write("sys/etc/type", "1\n");  // where "../../etc" would lead
  routes("garbage\n\n\t\t\neth0 zz000000 0 0003 0 0 0 00000000\n" + defaultRoute("../../etc") +
         defaultRoute("a/b") + defaultRoute("averyveryverylongname") + "eth0\t00000000\t0\t0003\n");
  routes6("short line\n" + defaultRoute6("..", "00000001") +
          "0000000000000000000000000000000 00 0 00 0 00000001 0 0 00000003 eth0\n");
  EXPECT_EQ(flags(), 0u);
  ASSERT_TRUE(NetworkState(paths()).defaultRoutes().has_value());
  EXPECT_TRUE(NetworkState(paths()).defaultRoutes()->empty());
  EXPECT_FALSE(isValidInterfaceName(""));
  EXPECT_FALSE(isValidInterfaceName("eth0:1"));
  EXPECT_TRUE(isValidInterfaceName("wlp2s0"));

  // Unreadable attributes fall back to an ordinary wired link.
  routes(defaultRoute("eth0"));
  write("sys/class/net/eth0/type", "ether\n");
  write("sys/class/net/eth0/flags", "nonsense\n");
  EXPECT_EQ(flags(), kReach);
}

TEST_F(NetworkStateTest, WithoutSysfsTheRouteAloneCounts) {
  routes(defaultRoute("eth0"));
  EXPECT_EQ(flags(), kReach);
  fs::create_directories(root_.dir() + "/sys/class/net");
  EXPECT_EQ(flags(), 0u);  // sysfs present but the interface is not
}

}  // namespace
}  // namespace kst
