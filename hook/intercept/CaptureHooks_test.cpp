#include "hook/intercept/CaptureHooks.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "hook/intercept/KstLookedUpNames.h"

namespace kst {
namespace {

// The C library's answers are scripted through the orig_ slots, the seam the
// substrate fills in a real process.
std::vector<std::string> gAnswer;
int gAnswerErrno = 0;

sockaddr_in6 socketAddress(const std::string& text) {
  sockaddr_in6 a{};
  in_addr four{};
  if (::inet_pton(AF_INET, text.c_str(), &four) == 1) {
    auto* in = reinterpret_cast<sockaddr_in*>(&a);
    in->sin_family = AF_INET;
    in->sin_addr = four;
  } else {
    a.sin6_family = AF_INET6;
    ::inet_pton(AF_INET6, text.c_str(), &a.sin6_addr);
  }
  return a;
}

int scriptedGetaddrinfo(const char*, const char*, const addrinfo*, addrinfo** result) {
  addrinfo* head = nullptr;
  for (auto it = gAnswer.rbegin(); it != gAnswer.rend(); ++it) {
    auto* node = new addrinfo{};
    auto* a = new sockaddr_in6(socketAddress(*it));
    node->ai_family = a->sin6_family;
    node->ai_addr = reinterpret_cast<sockaddr*>(a);
    node->ai_addrlen = a->sin6_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    node->ai_next = head;
    head = node;
  }
  errno = gAnswerErrno;
  if (head == nullptr) return EAI_NONAME;
  *result = head;
  return 0;
}

void freeScripted(addrinfo* list) {
  while (list != nullptr) {
    addrinfo* next = list->ai_next;
    delete reinterpret_cast<sockaddr_in6*>(list->ai_addr);
    delete list;
    list = next;
  }
}

int scriptedGethostbyname2R(const char* name, int family, hostent* entry, char* buffer, size_t size,
                            hostent** result, int* error) {
  // One IPv4 address, in the caller's buffer.
  if (family != AF_INET || size < 64) {
    *result = nullptr;
    *error = HOST_NOT_FOUND;
    return family != AF_INET ? 0 : ERANGE;
  }
  auto** list = reinterpret_cast<char**>(buffer);
  char* bytes = buffer + 2 * sizeof(char*);
  ::inet_pton(AF_INET, gAnswer.at(0).c_str(), bytes);
  list[0] = bytes;
  list[1] = nullptr;
  entry->h_name = const_cast<char*>(name);
  entry->h_addrtype = AF_INET;
  entry->h_length = 4;
  entry->h_addr_list = list;
  *result = entry;
  *error = 0;
  return 0;
}

int scriptedGethostbynameR(const char* name, hostent* entry, char* buffer, size_t size, hostent** result,
                           int* error) {
  return scriptedGethostbyname2R(name, AF_INET, entry, buffer, size, result, error);
}

std::string nameOf(const std::string& address) {
  const sockaddr_in6 a = socketAddress(address);
  return lookedUpNames().findName(reinterpret_cast<const sockaddr*>(&a), sizeof a).value_or(std::string());
}

class CaptureHooksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    orig_getaddrinfo = &scriptedGetaddrinfo;
    orig_gethostbyname_r = &scriptedGethostbynameR;
    orig_gethostbyname2_r = &scriptedGethostbyname2R;
    gAnswerErrno = 0;
  }
  void TearDown() override {
    orig_getaddrinfo = ::getaddrinfo;
    orig_gethostbyname_r = ::gethostbyname_r;
    orig_gethostbyname2_r = ::gethostbyname2_r;
  }
  int lookUp(const char* name) {
    addrinfo* list = nullptr;
    const int rc = my_getaddrinfo(name, "80", nullptr, &list);
    freeScripted(list);
    return rc;
  }
};

TEST_F(CaptureHooksTest, EveryAddressOfALookupIsRecordedUnderTheNameAskedFor) {
  gAnswer = {"127.1.0.1", "127.1.0.2", "2001:db8::7"};
  gAnswerErrno = 42;
  errno = 0;
  ASSERT_EQ(lookUp("Ads.Example"), 0);
  EXPECT_EQ(errno, 42) << "the lookup's errno reaches the caller unchanged";
  EXPECT_EQ(nameOf("127.1.0.1"), "Ads.Example");
  EXPECT_EQ(nameOf("127.1.0.2"), "Ads.Example");
  EXPECT_EQ(nameOf("2001:db8::7"), "Ads.Example");
  // An absolute name is the same name.
  gAnswer = {"127.1.0.3"};
  ASSERT_EQ(lookUp("abs.example."), 0);
  EXPECT_EQ(nameOf("127.1.0.3"), "abs.example");
}

TEST_F(CaptureHooksTest, NumericNamesFailuresAndGarbageRecordNothing) {
  gAnswer = {"127.1.1.1"};
  ASSERT_EQ(lookUp("127.1.1.1"), 0);
  EXPECT_EQ(nameOf("127.1.1.1"), "");
  ASSERT_EQ(lookUp("bad\xff\xfe.example"), 0);
  EXPECT_EQ(nameOf("127.1.1.1"), "");
  ASSERT_EQ(lookUp(std::string(300, 'a').c_str()), 0);
  EXPECT_EQ(nameOf("127.1.1.1"), "");
  gAnswer = {};
  EXPECT_EQ(lookUp("nothing.example"), EAI_NONAME);
}

TEST_F(CaptureHooksTest, HundredsOfAddressesKeepTheFirstOnesTheProgramTries) {
  gAnswer.clear();
  for (int i = 0; i < 1500; ++i)
    gAnswer.push_back("127.2." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1));
  ASSERT_EQ(lookUp("many.example"), 0);
  // The first is the newest; the record keeps as many as it holds.
  EXPECT_EQ(nameOf(gAnswer.front()), "many.example");
  EXPECT_EQ(nameOf(gAnswer[KstLookedUpNames::kSlots - 1]), "many.example");
  EXPECT_EQ(nameOf(gAnswer[KstLookedUpNames::kSlots]), "");
  EXPECT_EQ(nameOf(gAnswer.back()), "");
}

TEST_F(CaptureHooksTest, ReentrantLookupsRecordTheirAnswer) {
  gAnswer = {"127.3.0.1"};
  hostent entry{};
  char buffer[256];
  hostent* result = nullptr;
  int error = 0;
  ASSERT_EQ(my_gethostbyname_r("r.example", &entry, buffer, sizeof buffer, &result, &error), 0);
  ASSERT_EQ(result, &entry);
  EXPECT_EQ(nameOf("127.3.0.1"), "r.example");
  gAnswer = {"127.3.0.2"};
  ASSERT_EQ(my_gethostbyname2_r("r2.example", AF_INET, &entry, buffer, sizeof buffer, &result, &error), 0);
  EXPECT_EQ(nameOf("127.3.0.2"), "r2.example");
  // Too small a buffer: the caller's error, and nothing recorded.
  gAnswer = {"127.3.0.3"};
  EXPECT_EQ(my_gethostbyname2_r("small.example", AF_INET, &entry, buffer, 8, &result, &error), ERANGE);
  EXPECT_EQ(nameOf("127.3.0.3"), "");
}

int gSetoptCalls = 0;
int scriptedSetopt(void*, int, ...) {
  ++gSetoptCalls;
  return 0;
}

TEST_F(CaptureHooksTest, CurlResolveEntriesNameTheirAddresses) {
  orig_curl_easy_setopt = &scriptedSetopt;
  char one[] = "api.example:443:127.4.0.1,[2001:db8::44]";
  char two[] = "+plus.example:80:127.4.0.2";
  char removal[] = "-gone.example:80";
  char garbage[] = "nocolons";
  char wildcard[] = "*:80:127.4.0.3";
  struct Slist {
    char* data;
    Slist* next;
  } s5{wildcard, nullptr}, s4{garbage, &s5}, s3{removal, &s4}, s2{two, &s3}, s1{one, &s2};
  gSetoptCalls = 0;
  EXPECT_EQ(my_curl_easy_setopt(nullptr, kCurlOptResolve, &s1), 0);
  EXPECT_EQ(gSetoptCalls, 1);
  EXPECT_EQ(nameOf("127.4.0.1"), "api.example");
  EXPECT_EQ(nameOf("2001:db8::44"), "api.example");
  EXPECT_EQ(nameOf("127.4.0.2"), "plus.example");
  EXPECT_EQ(nameOf("127.4.0.3"), "") << "a wildcard names no host";
  orig_curl_easy_setopt = nullptr;
}

}  // namespace
}  // namespace kst
