// The application of the soak run: THREADS threads, each connecting (TCP)
// and sending (UDP) in turn to every destination given, for SECONDS
// seconds. Prints how many calls went through and were refused, any other
// error, and the process's resident memory after the first tenth of the
// run and at the end:
//   kst_soak_client SECONDS THREADS IP:PORT...
// An ordinary program: nothing here knows the firewall.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<long> allowed{0};
std::atomic<long> refused{0};
std::atomic<long> failed{0};

long residentKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

void count(int rc, int error) {
  if (rc >= 0) {
    ++allowed;
  } else if (error == EPERM) {
    ++refused;
  } else {
    ++failed;
  }
}

void work(const std::vector<sockaddr_in>& targets, std::chrono::steady_clock::time_point until) {
  for (std::size_t i = 0; std::chrono::steady_clock::now() < until; ++i) {
    const sockaddr_in& a = targets[i % targets.size()];
    const bool tcp = (i / targets.size()) % 2 == 0;
    const int fd = ::socket(AF_INET, (tcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
    errno = 0;
    const int rc =
        tcp ? ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a)
            : static_cast<int>(::sendto(fd, "soak", 4, 0, reinterpret_cast<const sockaddr*>(&a), sizeof a));
    count(rc, errno);
    ::close(fd);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: kst_soak_client SECONDS THREADS IP:PORT...\n");
    return 2;
  }
  const double seconds = std::atof(argv[1]);
  const int threads = std::atoi(argv[2]);
  std::vector<sockaddr_in> targets;
  for (int i = 3; i < argc; ++i) {
    const std::string t = argv[i];
    const auto colon = t.rfind(':');
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(std::atoi(t.c_str() + colon + 1)));
    if (colon == std::string::npos || ::inet_pton(AF_INET, t.substr(0, colon).c_str(), &a.sin_addr) != 1)
      return 2;
    targets.push_back(a);
  }
  const auto start = std::chrono::steady_clock::now();
  const auto until = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                 std::chrono::duration<double>(seconds));
  std::vector<std::thread> pool;
  for (int i = 0; i < threads; ++i) pool.emplace_back(work, std::cref(targets), until);
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds / 10));
  const long early = residentKb();
  for (auto& t : pool) t.join();
  const long late = residentKb();
  std::printf("allowed %ld refused %ld failed %ld rss-early-kb %ld rss-end-kb %ld\n", allowed.load(),
              refused.load(), failed.load(), early, late);
  return 0;
}
