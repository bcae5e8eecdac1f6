// The DNS-protection plug-in's block list at scale: how long a list of N names
// takes to load, what it costs in resident memory, and what one lookup costs
// (names asked with three to five labels, a tenth of them blocked).
//
//   hxt_dnsprotect_list_bench [names=1000000]
#include <unistd.h>

#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "dnsmessage.h"
#include "domainpolicy.h"

namespace {

long ResidentKiB() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

std::string Name(std::mt19937_64& random) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string name;
  for (int label = 0; label < 2; ++label) {
    for (int i = 0, n = 6 + static_cast<int>(random() % 10); i < n; ++i) name += kLetters[random() % 36];
    name += '.';
  }
  return name + (random() % 2 ? "com" : "net");
}

// CPU time of this thread: the figures hold on a machine shared with other work.
struct Clock {
  using time_point = std::chrono::nanoseconds;
  static time_point now() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
  }
};

}  // namespace

int main(int argc, char** argv) {
  const std::size_t count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000000;
  char path[] = "/tmp/hxt-list-bench-XXXXXX";
  int fd = ::mkstemp(path);
  if (fd < 0) return 1;
  ::close(fd);
  std::mt19937_64 random(42);
  std::vector<std::string> listed;
  {
    std::ofstream file(path);
    for (std::size_t i = 0; i < count; ++i) {
      listed.push_back(Name(random));
      file << (i % 2 ? "0.0.0.0 " : "") << listed.back() << "\n";  // both formats
    }
  }
  std::vector<std::string> asked;
  for (int i = 0; i < 100000; ++i) {
    std::string name = i % 10 == 0 ? listed[random() % listed.size()] : Name(random);
    // Looked up as the plug-in does: wire-form labels, as a query carries them.
    std::string labels;
    hxt::dnsprotect::TextToLabels((i % 3 == 0 ? "www." : "") + name, labels);
    asked.push_back(labels);
  }

  const long before = ResidentKiB();
  const auto start = Clock::now();
  hxt::dnsprotect::CPolicyHolder holder({path}, {});
  std::string error;
  if (!holder.Load(error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  const double loadSeconds = std::chrono::duration<double>(Clock::now() - start).count();
  const long after = ResidentKiB();
  ::unlink(path);

  auto policy = holder.Current();
  std::size_t blocked = 0;
  const int rounds = 20;
  const auto lookupStart = Clock::now();
  for (int round = 0; round < rounds; ++round) {
    for (const auto& name : asked) blocked += policy->Check(name).verdict == hxt::dnsprotect::Verdict::Blocked;
  }
  const double lookupNs =
      std::chrono::duration<double, std::nano>(Clock::now() - lookupStart).count() / (rounds * asked.size());

  std::printf(
      "| names | load (s CPU) | resident growth (MiB) | lookup (ns CPU) | blocked share "
      "|\n|---|---|---|---|---|\n");
  std::printf("| %zu | %.2f | %.1f | %.0f | %.2f |\n", policy->blocked.size(), loadSeconds,
              static_cast<double>(after - before) / 1024, lookupNs,
              static_cast<double>(blocked) / (rounds * asked.size()));
  return 0;
}
