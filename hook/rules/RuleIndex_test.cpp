#include "hook/rules/RuleIndex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <random>
#include <sstream>
#include <thread>

#include "hook/rules/RuleList.h"
#include "hook/rules/performTest.h"

// The rule index must give performTest's verdict for every list and
// destination. These tests generate lists and destinations, ordinary and
// hostile, and compare the two matchers on each.

namespace kst {
namespace {

struct Destination {
  std::string host;
  int port;
  std::string address;
};

std::string escaped(std::string_view text) {
  std::ostringstream out;
  out << '"';
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x7f || c == '"' || c == '\\') {
      out << "\\x" << std::hex << static_cast<int>(byte) << std::dec;
    } else {
      out << c;
    }
  }
  return out.str() + '"';
}

std::string describe(const std::vector<std::string>& rules, const Destination& d) {
  std::ostringstream out;
  out << "host " << escaped(d.host) << " port " << d.port << " address " << escaped(d.address) << "\nrules:";
  for (const auto& rule : rules) out << ' ' << escaped(rule);
  return out.str();
}

// Random destinations and rules, many of the rules derived from the
// destinations so that a good share of the comparisons are matches.
class Generator {
 public:
  explicit Generator(std::uint32_t seed) : random_(seed) {}

  Destination destination() {
    Destination d;
    d.address = address();
    const int kind = below(10);
    if (kind == 0) {
      d.host = d.address;
    } else if (kind == 1) {
      d.host = pick(kIpv6);
    } else if (kind == 2) {
      d.host = junk(below(12));
    } else {
      d.host = hostName();
    }
    d.port = port();
    return d;
  }

  // A destination close to `d`: same network with another last part or an
  // extra part, the host with a label more or less, or in other case.
  Destination neighbour(const Destination& d) {
    Destination n = d;
    switch (below(6)) {
      case 0:
        n.address = d.address.substr(0, d.address.rfind('.') + 1) + pick(kOctets);
        break;
      case 1:
        n.address = d.address + "." + pick(kOctets);
        break;
      case 2:
        n.host = pick(kLabels) + "." + d.host;
        break;
      case 3:
        n.host = d.host.substr(d.host.find('.') + 1);
        break;
      case 4:
        n.host = mixCase(d.host);
        break;
      default:
        n.port = port();
        break;
    }
    return n;
  }

  std::string ruleFor(const Destination& d) {
    std::string rule;
    switch (below(8)) {
      case 0:
        rule = pick({"*:", "*:*:", "*:80*:", "**:"}) + portText(d.port);
        break;
      case 1:
      case 2:
        rule = addressRule(d.address);
        break;
      case 3:
        rule = ipv6Rule(d);
        break;
      default:
        rule = nameRule(d.host);
        break;
    }
    if (chance(10)) rule = mutate(rule);
    return rule;
  }

  std::string anyRule(const std::vector<Destination>& pool) {
    if (chance(15)) return junk(below(14));
    return ruleFor(pool[below(pool.size())]);
  }

  int port() {
    static const int kPorts[] = {0,    1,    22,   79,    80, 81,  85,      90,     443,
                                 8000, 8080, 8100, 65535, -1, -80, INT_MAX, INT_MIN};
    if (chance(20)) return static_cast<int>(below(65536));
    return kPorts[below(std::size(kPorts))];
  }

 private:
  static inline const std::vector<std::string> kLabels = {
      "apple", "pineapple", "com", "net", "cdn", "itunes", "www", "a", "x", "co", "b", "apple.com", ""};
  static inline const std::vector<std::string> kIpv6 = {"fe80::1",     "FE80::1", "::1", "2001:db8::a",
                                                        "2001:DB8::A", "fe80::",  "::",  "::ffff:10.0.0.1"};
  static inline const std::vector<std::string> kOctets = {
      "0",  "1",  "9",  "10",  "11",  "20",         "25",
      "30", "31", "77", "255", "256", "4294967296", "99999999999999999999"};

  std::size_t below(std::size_t n) { return random_() % n; }
  bool chance(int percent) { return static_cast<int>(below(100)) < percent; }
  const std::string& pick(const std::vector<std::string>& from) { return from[below(from.size())]; }

  std::string mixCase(std::string text) {
    if (chance(70)) return text;
    for (char& c : text) {
      if (chance(40)) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
  }

  std::string junk(std::size_t length) {
    static const std::string kAlphabet = "*:.-[]0123456789apleAcom ";
    std::string text(length, ' ');
    for (char& c : text) c = chance(3) ? static_cast<char>(below(256)) : kAlphabet[below(kAlphabet.size())];
    return text;
  }

  std::string hostName() {
    std::string host;
    const std::size_t labels = 1 + below(5);
    for (std::size_t i = 0; i < labels; ++i) host += (i ? "." : "") + pick(kLabels);
    if (chance(10)) host = "www." + host;
    if (chance(10)) host += "." + host;  // repeated labels: apple.com.apple.com
    if (chance(5)) host = "." + host;
    if (chance(5)) host += ".";
    return mixCase(host);
  }

  std::string address() {
    const int kind = below(10);
    if (kind < 2) return pick(kIpv6);
    if (kind == 2) return junk(below(10));
    std::string text = pick(kOctets);
    const std::size_t parts = chance(90) ? 4 : 2 + below(4);
    for (std::size_t i = 1; i < parts; ++i) text += "." + pick(kOctets);
    if (chance(5)) text += pick({" ", "x", "+1", " 25"});
    return text;
  }

  std::string portText(int port) {
    const long long p = port;  // the texts may step past the int range
    const auto near = [this] { return static_cast<long long>(below(3)); };
    switch (below(6)) {
      case 0:
        return std::to_string(p);
      case 1:
        return std::to_string(p - near()) + "-" + std::to_string(p + near());
      case 2:
        return std::to_string(p + 5) + "-" + std::to_string(p - 5);  // reversed
      default:
        return pick({"80", "443", "80-90", "90-80", "8000-8100", "-80", "80-", "-", "", "http", " 80", "+80",
                     "80x", "99999999999999999999", "0-99999999999999999999", "4294967376", "1-2-3",
                     "-2147483648", "2147483647"});
    }
  }

  std::string withPort(std::string rule, int p) {
    if (chance(50)) return rule;
    rule += ":" + portText(p);
    if (chance(10)) rule += ":" + pick({"", "junk", "80"});
    return rule;
  }

  std::string addressRule(const std::string& target) {
    std::string rule = target;
    const std::size_t lastDot = rule.rfind('.');
    if (lastDot != std::string::npos && chance(60)) {
      rule = rule.substr(0, lastDot + 1);
      // Kept small enough to step around without overflow; huge bounds come from the fixed texts.
      const long long last =
          std::clamp(ruletext::leadingInteger(target.substr(lastDot + 1)), -(1LL << 40), 1LL << 40);
      switch (below(4)) {
        case 0:
          rule += pick({"*", "*-5", "**", "*x"});
          break;
        case 1:
          rule += std::to_string(last - static_cast<long long>(below(3))) + "-" +
                  std::to_string(last + static_cast<long long>(below(3)));
          break;
        case 2:
          rule += std::to_string(last + 3) + "-" + std::to_string(last - 3);
          break;
        default:
          rule += pick({"0-255", "20-30", "1-2-3", "-", "0-99999999999999999999", "*0-255"});
          break;
      }
    }
    return withPort(rule, port());
  }

  std::string ipv6Rule(const Destination& d) {
    const std::string& target = chance(50) ? d.address : d.host;
    if (chance(40)) return mixCase(target);
    return pick({"[", "", "[[", "[x"}) + mixCase(target) + pick({"]:", "]:", "]:]:", "]"}) + portText(d.port);
  }

  std::string nameRule(const std::string& host) {
    std::string name = host;
    if (!name.empty() && chance(50)) {
      const std::size_t from = below(name.size());
      name = name.substr(from, below(name.size() - from + 1));
    } else if (chance(30)) {
      const std::size_t dot = name.find('.');
      if (dot != std::string::npos) name = name.substr(dot + (chance(50) ? 1 : 0));
    }
    name = pick({"", "", "*", "*", "*.", "**", "*.*", ".", "*x"}) + mixCase(name);
    return withPort(name, port());
  }

  std::string mutate(std::string rule) {
    static const std::string kInserted = "*:.-[]0 A";
    const std::size_t at = below(rule.size() + 1);
    if (chance(50) || rule.empty()) return rule.insert(at, 1, kInserted[below(kInserted.size())]);
    return rule.erase(std::min(at, rule.size() - 1), 1);
  }

  std::mt19937 random_;
};

// Compares the two matchers on every destination; true when all agree.
::testing::AssertionResult agree(const std::vector<std::string>& rules,
                                 const std::vector<Destination>& destinations, int* matchCount = nullptr) {
  const auto list = RuleList::make(rules);
  for (const Destination& d : destinations) {
    const bool expected = performTest(&rules, d.host, d.port, d.address);
    if (list->matches(d.host, d.port, d.address) != expected) {
      return ::testing::AssertionFailure()
             << "performTest says " << expected << " for " << describe(rules, d);
    }
    if (matchCount != nullptr && expected) ++*matchCount;
  }
  return ::testing::AssertionSuccess();
}

TEST(RuleIndexTest, AgreesWithPerformTestOnGeneratedLists) {
  Generator generate(20240611);
  int matched = 0;
  int compared = 0;
  for (int round = 0; round < 20000; ++round) {
    std::vector<Destination> destinations;
    for (int i = 0; i < 3; ++i) destinations.push_back(generate.destination());
    for (int i = 0; i < 3; ++i) destinations.push_back(generate.neighbour(destinations[i]));
    std::vector<std::string> rules;
    const std::size_t count = generate.port() & 0xf;
    for (std::size_t i = 0; i < count; ++i) rules.push_back(generate.anyRule(destinations));
    ASSERT_TRUE(agree(rules, destinations, &matched)) << "round " << round;
    compared += static_cast<int>(destinations.size());
  }
  // The generator must produce real matches, not only misses.
  EXPECT_GT(matched, compared / 10);
  EXPECT_LT(matched, compared * 9 / 10);
}

TEST(RuleIndexTest, AgreesOnEverySingleRuleOfOneRuleLists) {
  Generator generate(77);
  for (int round = 0; round < 30000; ++round) {
    const Destination d = generate.destination();
    const std::vector<Destination> destinations{
        d, {d.host, generate.port(), d.address}, {d.address, d.port, d.address}};
    ASSERT_TRUE(agree({generate.ruleFor(d)}, destinations)) << "round " << round;
  }
}

TEST(RuleIndexTest, AgreesOnEveryShortRuleOverAHostileAlphabet) {
  const std::string alphabet = "*:.-[]1a";
  std::vector<std::string> rules{""};
  for (std::size_t begin = 0, length = 1; length <= 4; ++length) {
    const std::size_t end = rules.size();
    for (std::size_t i = begin; i < end; ++i) {
      for (char c : alphabet) rules.push_back(rules[i] + c);
    }
    begin = end;
  }
  std::vector<Destination> destinations;
  for (const char* host :
       {"", "a", "a.a", ".a", "a.", ".", "1.1.1.1", "1.1.1.a", "[a", "a:1", "*", "aa.a.aa", "::1"}) {
    for (const char* address : {"1.1.1.1", "1.1.1.a", "::1", "a", "", "1.1.1"}) {
      for (int port : {0, 1, 11}) destinations.push_back({host, port, address});
    }
  }
  for (const std::string& rule : rules) ASSERT_TRUE(agree({rule}, destinations));
}

TEST(RuleIndexTest, AgreesOnLongListsSharingKeys) {
  Generator generate(5);
  std::vector<Destination> destinations;
  for (int i = 0; i < 100; ++i) destinations.push_back(generate.destination());
  for (int i = 0; i < 100; ++i) destinations.push_back(generate.neighbour(destinations[i]));
  for (int round = 0; round < 3; ++round) {
    std::vector<std::string> rules;
    for (int i = 0; i < 3000; ++i) rules.push_back(generate.anyRule(destinations));
    ASSERT_TRUE(agree(rules, destinations)) << "round " << round;
  }
  // Many rules under one key, each allowing a different port or range.
  std::vector<std::string> sameKey;
  for (int i = 0; i < 700; i += 7) {
    sameKey.push_back("example.com:" + std::to_string(i) + "-" + std::to_string(i + 3));
    sameKey.push_back("10.0.0." + std::to_string(i % 256) + "-" + std::to_string(i % 256 + 2) + ":" +
                      std::to_string(i));
    sameKey.push_back("*.apple.com:" + std::to_string(i + 1));
    sameKey.push_back("*.apple.com:" + std::to_string(i + 3) + "-" + std::to_string(i + 4));
    sameKey.push_back("example.com:" + std::to_string(i + 5));
    sameKey.push_back("[fe80::1]:" + std::to_string(i + 2));
  }
  std::vector<Destination> probes;
  for (int port = 0; port < 720; ++port) {
    probes.push_back({"example.com", port, "10.0.0." + std::to_string(port % 260)});
    probes.push_back({"a.apple.com", port, "fe80::1"});
  }
  ASSERT_TRUE(agree(sameKey, probes));
}

TEST(RuleIndexTest, AgreesOnLongHostsAndLongLabels) {
  std::string repeated;
  for (int i = 0; i < 40; ++i) repeated += "apple.com.";
  const std::string label69(69, 'a');
  const std::vector<std::string> rules{"*pple.com.x",           "*.apple.com.x:80", "*" + label69 + "a",
                                       "*." + label69 + "aa.b", "*b." + label69,    "*apple.com.apple.c"};
  std::vector<Destination> destinations;
  for (const std::string& host :
       {repeated + "x", "pine" + repeated + "x", repeated + "y", label69, label69 + "a", label69 + "aa",
        "b." + label69 + "aa.b", "b." + label69 + "aaa.b", "x." + label69 + "a.com", "b." + label69 + "a"}) {
    for (int port : {79, 80}) destinations.push_back({host, port, "192.0.2.1"});
  }
  int matched = 0;
  ASSERT_TRUE(agree(rules, destinations, &matched));
  EXPECT_GT(matched, 0);
  for (const std::string& rule : rules) ASSERT_TRUE(agree({rule}, destinations));
}

TEST(RuleIndexTest, OneListServesConcurrentReaders) {
  Generator generate(99);
  std::vector<Destination> destinations;
  for (int i = 0; i < 200; ++i) destinations.push_back(generate.destination());
  std::vector<std::string> rules;
  for (int i = 0; i < 2000; ++i) rules.push_back(generate.anyRule(destinations));
  const auto list = RuleList::make(rules);
  std::vector<bool> expected;
  for (const Destination& d : destinations)
    expected.push_back(performTest(&rules, d.host, d.port, d.address));

  std::atomic<int> wrong{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&, t] {
      for (int round = 0; round < 50; ++round) {
        for (std::size_t i = 0; i < destinations.size(); ++i) {
          const Destination& d = destinations[(i + static_cast<std::size_t>(t) * 37) % destinations.size()];
          const bool want = expected[(i + static_cast<std::size_t>(t) * 37) % destinations.size()];
          if (list->matches(d.host, d.port, d.address) != want) ++wrong;
        }
      }
    });
  }
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(RuleIndexTest, ListsAnswerFromTheirIndex) {
  const auto list = RuleList::make({"*apple.com", "10.0.0.*:443", "[fe80::1]:80-90", "Example.COM"});
  EXPECT_EQ(list->size(), 4u);
  EXPECT_TRUE(list->matches("itunes.apple.com", 1, "192.0.2.1"));
  EXPECT_FALSE(list->matches("pineapple.com.apple.com", 1, "192.0.2.1"));
  EXPECT_TRUE(list->matches("host", 443, "10.0.0.9"));
  EXPECT_FALSE(list->matches("host", 444, "10.0.0.9"));
  EXPECT_TRUE(list->matches("host", 85, "FE80::1"));
  EXPECT_TRUE(list->matches("example.com", 1, "192.0.2.1"));
  EXPECT_FALSE(list->matches("Example.com", 1, "192.0.2.1"));
  EXPECT_TRUE(RuleList::empty()->isEmpty());
  EXPECT_FALSE(RuleList::empty()->matches("", 0, ""));
}

}  // namespace
}  // namespace kst
