#include "hook/intercept/DnsResponse.h"

#include <arpa/nameser.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <string_view>
#include <utility>

namespace kst {

namespace {

// More CNAME hops than any real chain; a longer one (or a loop) stops there.
constexpr std::size_t kMaxChain = 16;

std::string lowered(std::string_view name) {
  std::string out(name);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (out.size() > 1 && out.back() == '.') out.pop_back();
  return out;
}

}  // namespace

std::optional<DnsAnswer> parseDnsResponse(const unsigned char* message, std::size_t length) {
  if (message == nullptr || length < NS_HFIXEDSZ || length > NS_MAXMSG) return std::nullopt;
  ns_msg msg{};
  if (::ns_initparse(message, static_cast<int>(length), &msg) != 0) return std::nullopt;
  if (ns_msg_getflag(msg, ns_f_qr) == 0 || ns_msg_getflag(msg, ns_f_opcode) != ns_o_query ||
      ns_msg_getflag(msg, ns_f_rcode) != ns_r_noerror || ns_msg_count(msg, ns_s_qd) != 1)
    return std::nullopt;
  ns_rr rr{};
  if (::ns_parserr(&msg, ns_s_qd, 0, &rr) != 0 || ns_rr_class(rr) != ns_c_in ||
      (ns_rr_type(rr) != ns_t_a && ns_rr_type(rr) != ns_t_aaaa))
    return std::nullopt;
  DnsAnswer answer;
  answer.question = lowered(ns_rr_name(rr));
  if (answer.question.empty() || answer.question == ".") return std::nullopt;

  // One pass over the answers: the CNAME links and the addresses by owner.
  std::vector<std::pair<std::string, std::string>> links;
  std::vector<std::pair<std::string, KstLookedUpNames::Address>> found;
  const int count = ns_msg_count(msg, ns_s_an);
  for (int i = 0; i < count; ++i) {
    if (::ns_parserr(&msg, ns_s_an, i, &rr) != 0) return std::nullopt;
    if (ns_rr_class(rr) != ns_c_in) continue;
    const int type = ns_rr_type(rr);
    if (type == ns_t_cname) {
      char target[NS_MAXDNAME] = {};
      if (::ns_name_uncompress(ns_msg_base(msg), ns_msg_end(msg), ns_rr_rdata(rr), target, sizeof target) < 0)
        continue;
      links.emplace_back(lowered(ns_rr_name(rr)), lowered(target));
    } else if ((type == ns_t_a && ns_rr_rdlen(rr) == 4) || (type == ns_t_aaaa && ns_rr_rdlen(rr) == 16)) {
      const auto address = KstLookedUpNames::addressOf(type == ns_t_a ? AF_INET : AF_INET6, ns_rr_rdata(rr));
      if (address) found.emplace_back(lowered(ns_rr_name(rr)), *address);
    }
  }

  // The names reached from the question.
  std::vector<std::string> chain = {answer.question};
  for (bool grew = true; grew && chain.size() < kMaxChain;) {
    grew = false;
    for (const auto& [owner, target] : links) {
      if (chain.size() >= kMaxChain) break;
      if (std::find(chain.begin(), chain.end(), owner) == chain.end()) continue;
      if (std::find(chain.begin(), chain.end(), target) != chain.end()) continue;
      chain.push_back(target);
      grew = true;
    }
  }
  for (const auto& [owner, address] : found) {
    if (answer.addresses.size() >= KstLookedUpNames::kSlots) break;
    if (std::find(chain.begin(), chain.end(), owner) == chain.end()) continue;
    if (std::find(answer.addresses.begin(), answer.addresses.end(), address) == answer.addresses.end())
      answer.addresses.push_back(address);
  }
  if (answer.addresses.empty()) return std::nullopt;
  return answer;
}

std::optional<DnsQuestion> parseDnsQuestion(const unsigned char* message, std::size_t length) {
  if (message == nullptr || length < NS_HFIXEDSZ || length > NS_MAXMSG) return std::nullopt;
  ns_msg msg{};
  if (::ns_initparse(message, static_cast<int>(length), &msg) != 0 || ns_msg_count(msg, ns_s_qd) != 1)
    return std::nullopt;
  ns_rr rr{};
  if (::ns_parserr(&msg, ns_s_qd, 0, &rr) != 0) return std::nullopt;
  DnsQuestion question{static_cast<std::uint16_t>(ns_msg_id(msg)), lowered(ns_rr_name(rr))};
  if (question.name.empty()) return std::nullopt;
  return question;
}

}  // namespace kst
