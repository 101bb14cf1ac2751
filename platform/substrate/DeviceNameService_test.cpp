// The device's name service against the C library's: answers from the
// device's hosts file must look like the C library's own answers for the
// same addresses, whatever flags the caller passes.

#include "platform/substrate/DeviceNameService.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/fs/DeviceRoot.h"
#include "platform/fs/FileSystem.h"

namespace kst::substrate {
namespace {

using GetaddrinfoFn = int (*)(const char*, const char*, const addrinfo*, addrinfo**);

// One result of getaddrinfo, as text: "family socktype address port".
std::vector<std::string> describe(const addrinfo* list) {
  std::vector<std::string> out;
  for (const addrinfo* r = list; r != nullptr; r = r->ai_next) {
    char text[INET6_ADDRSTRLEN] = {};
    int port = 0;
    if (r->ai_family == AF_INET) {
      const auto* in = reinterpret_cast<const sockaddr_in*>(r->ai_addr);
      ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
      port = ntohs(in->sin_port);
    } else if (r->ai_family == AF_INET6) {
      const auto* in6 = reinterpret_cast<const sockaddr_in6*>(r->ai_addr);
      ::inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
      port = ntohs(in6->sin6_port);
    }
    out.push_back(std::to_string(r->ai_family) + " " + std::to_string(r->ai_socktype) + " " + text + " " +
                  std::to_string(port));
  }
  return out;
}

class DeviceNameServiceFlagsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    void* handle = ::dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(handle, nullptr);
    setLibcNameService(libcNameServiceFrom(handle));
    libc_ = reinterpret_cast<GetaddrinfoFn>(::dlsym(handle, "getaddrinfo"));
    ASSERT_TRUE(FileSystem::real().writeFileAtomic(hosts_,
                                                   "127.0.0.77 four.test four-alias.test\n"
                                                   "::77 six.test\n"
                                                   "127.0.0.78 both.test\n"
                                                   "::78 both.test\n"
                                                   "127.0.0.79 canonical.test alias.test\n",
                                                   true));
  }
  void TearDown() override { FileSystem::real().removeFile(hosts_); }

  // The device's answer for `name`; "error N" when it fails.
  std::vector<std::string> device(const char* name, int family, int flags, int socktype = SOCK_STREAM) {
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_flags = flags;
    hints.ai_socktype = socktype;
    addrinfo* list = nullptr;
    const int rc = deviceGetaddrinfo(name, "80", &hints, &list);
    if (rc != 0) return {"error " + std::to_string(rc)};
    std::vector<std::string> out = describe(list);
    ::freeaddrinfo(list);
    return out;
  }
  // The C library's answer for the same call on numeric addresses, joined.
  std::vector<std::string> libc(const std::vector<const char*>& numeric, int family, int flags,
                                int socktype = SOCK_STREAM) {
    std::vector<std::string> out;
    for (const char* n : numeric) {
      addrinfo hints{};
      hints.ai_family = family;
      hints.ai_flags = flags;
      hints.ai_socktype = socktype;
      addrinfo* list = nullptr;
      if (libc_(n, "80", &hints, &list) != 0) continue;
      for (std::string& d : describe(list)) out.push_back(std::move(d));
      ::freeaddrinfo(list);
    }
    return out;
  }

  std::string hosts_ = DeviceRoot::process().path("/etc/hosts");
  GetaddrinfoFn libc_ = nullptr;
};

TEST_F(DeviceNameServiceFlagsTest, NumericHostOnlyRefusesNamesOfTheHostsFile) {
  EXPECT_EQ(device("four.test", AF_UNSPEC, AI_NUMERICHOST),
            (std::vector<std::string>{"error " + std::to_string(EAI_NONAME)}));
  // A numeric host is still answered.
  EXPECT_EQ(device("127.0.0.77", AF_INET, AI_NUMERICHOST), libc({"127.0.0.77"}, AF_INET, AI_NUMERICHOST));
}

TEST_F(DeviceNameServiceFlagsTest, V4MappedAndAllAsTheCLibraryMapsThem) {
  // Only an IPv4 line: mapped for AF_INET6 with AI_V4MAPPED, nothing without.
  EXPECT_EQ(device("four.test", AF_INET6, AI_V4MAPPED),
            (std::vector<std::string>{"10 1 ::ffff:127.0.0.77 80"}));
  EXPECT_NE(device("four.test", AF_INET6, 0)[0].substr(0, 5), "10 1 ");
  // Both: AI_V4MAPPED alone keeps the IPv6 one; with AI_ALL the IPv4 one follows, mapped.
  EXPECT_EQ(device("both.test", AF_INET6, AI_V4MAPPED), (std::vector<std::string>{"10 1 ::78 80"}));
  EXPECT_EQ(device("both.test", AF_INET6, AI_V4MAPPED | AI_ALL),
            (std::vector<std::string>{"10 1 ::78 80", "10 1 ::ffff:127.0.0.78 80"}));
  // AI_V4MAPPED means nothing for another family.
  EXPECT_EQ(device("both.test", AF_INET, AI_V4MAPPED), (std::vector<std::string>{"2 1 127.0.0.78 80"}));
  EXPECT_EQ(device("six.test", AF_INET6, AI_V4MAPPED | AI_ALL), (std::vector<std::string>{"10 1 ::77 80"}));
}

TEST_F(DeviceNameServiceFlagsTest, AddrconfigFiltersAsTheCLibraryDoesOnThisMachine) {
  for (int family : {AF_UNSPEC, AF_INET, AF_INET6}) {
    const std::vector<std::string> expected = libc({"127.0.0.78", "::78"}, family, AI_ADDRCONFIG);
    const std::vector<std::string> got = device("both.test", family, AI_ADDRCONFIG);
    if (expected.empty()) {
      EXPECT_EQ(got, (std::vector<std::string>{"error " + std::to_string(EAI_NONAME)})) << family;
    } else {
      EXPECT_EQ(got, expected) << family;
    }
  }
}

TEST_F(DeviceNameServiceFlagsTest, CanonicalNameIsTheFirstNameOfTheLine) {
  for (const char* asked : {"alias.test", "ALIAS.test", "canonical.test"}) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* list = nullptr;
    ASSERT_EQ(deviceGetaddrinfo(asked, "80", &hints, &list), 0);
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list->ai_canonname, "canonical.test") << asked;
    // Every socket type, as the C library gives them without a hint; the name on the first only.
    EXPECT_EQ(describe(list), libc({"127.0.0.79"}, AF_INET, 0, 0));
    for (const addrinfo* r = list->ai_next; r != nullptr; r = r->ai_next) EXPECT_EQ(r->ai_canonname, nullptr);
    ::freeaddrinfo(list);
  }
}

TEST_F(DeviceNameServiceFlagsTest, ReentrantFormsAnswerFromTheHostsFile) {
  hostent entry{};
  alignas(8) char buffer[512];
  hostent* result = nullptr;
  int error = -1;
  ASSERT_EQ(deviceGethostbynameR("alias.test", &entry, buffer, sizeof buffer, &result, &error), 0);
  ASSERT_EQ(result, &entry);
  EXPECT_EQ(error, NETDB_SUCCESS);
  EXPECT_STREQ(entry.h_name, "canonical.test");
  ASSERT_NE(entry.h_aliases[0], nullptr);
  EXPECT_STREQ(entry.h_aliases[0], "alias.test");
  EXPECT_EQ(entry.h_aliases[1], nullptr);
  EXPECT_EQ(entry.h_addrtype, AF_INET);
  EXPECT_EQ(static_cast<unsigned char>(entry.h_addr_list[0][3]), 79);
  EXPECT_EQ(entry.h_addr_list[1], nullptr);

  ASSERT_EQ(
      deviceGethostbyname2R("both.test", AF_INET6, &entry, buffer + 1, sizeof buffer - 1, &result, &error), 0)
      << "an unaligned buffer is aligned";
  EXPECT_EQ(entry.h_length, 16);
  EXPECT_EQ(static_cast<unsigned char>(entry.h_addr_list[0][15]), 0x78);
  EXPECT_EQ(entry.h_aliases[0], nullptr) << "asked by its canonical name";

  // Too small: ERANGE, as the C library, so that callers retry with more.
  EXPECT_EQ(deviceGethostbyname2R("both.test", AF_INET6, &entry, buffer, 16, &result, &error), ERANGE);
  EXPECT_EQ(result, nullptr);
  EXPECT_EQ(error, NETDB_INTERNAL);
  // Not in the file: the C library's answer (its own hosts file names localhost).
  ASSERT_EQ(deviceGethostbyname2R("localhost", AF_INET, &entry, buffer, sizeof buffer, &result, &error), 0);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(static_cast<unsigned char>(entry.h_addr_list[0][0]), 127);
}

TEST_F(DeviceNameServiceFlagsTest, ReverseLookupsAnswerFromTheHostsFile) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(80);
  ::inet_pton(AF_INET, "127.0.0.79", &a.sin_addr);
  const auto* sa = reinterpret_cast<const sockaddr*>(&a);
  char host[NI_MAXHOST];
  char service[NI_MAXSERV];
  ASSERT_EQ(deviceGetnameinfo(sa, sizeof a, host, sizeof host, service, sizeof service,
                              NI_NAMEREQD | NI_NUMERICSERV),
            0);
  EXPECT_STREQ(host, "canonical.test");
  EXPECT_STREQ(service, "80");
  ASSERT_EQ(deviceGetnameinfo(sa, sizeof a, host, sizeof host, nullptr, 0, NI_NUMERICHOST), 0);
  EXPECT_STREQ(host, "127.0.0.79");
  EXPECT_EQ(deviceGetnameinfo(sa, sizeof a, host, 8, nullptr, 0, 0), EAI_OVERFLOW);

  in6_addr six{};
  ::inet_pton(AF_INET6, "::77", &six);
  const hostent* h = deviceGethostbyaddr(&six, sizeof six, AF_INET6);
  ASSERT_NE(h, nullptr);
  EXPECT_STREQ(h->h_name, "six.test");
  EXPECT_EQ(h->h_length, 16);
}

}  // namespace
}  // namespace kst::substrate
