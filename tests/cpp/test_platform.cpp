// CPU detection against what the operating system reports, and which
// kernels this run tests (a kernel the CPU cannot run is named as skipped).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "statistical_tests/escanciano_lobato/platform.hpp"
#include "statistical_tests/escanciano_lobato/robust_terms.hpp"

namespace zorvane::statistical_tests::escanciano_lobato {
namespace {

#if defined(ZORVANE_X86_64) && defined(__linux__)
// The "flags" line of /proc/cpuinfo: what the kernel found and enabled,
// XSAVE state included; empty where there is none.
std::set<std::string> linux_cpu_flags() {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("flags", 0) == 0) {
      std::istringstream words(line.substr(line.find(':') + 1));
      std::set<std::string> flags;
      for (std::string flag; words >> flag;) {
        flags.insert(flag);
      }
      return flags;
    }
  }
  return {};
}
#endif

TEST(CpuDetection, AgreesWithTheOperatingSystem) {
#if !defined(ZORVANE_X86_64) || !defined(__linux__)
  GTEST_SKIP() << "x86-64 Linux only";
#else
  const std::set<std::string> flags = linux_cpu_flags();
  if (flags.empty()) {
    GTEST_SKIP() << "no /proc/cpuinfo flags";
  }
  // Under valgrind, CPUID describes valgrind's CPU, which may lack what the
  // machine has: detection may then say less than the kernel, never more.
  const char* preload = std::getenv("LD_PRELOAD");
  if (preload != nullptr && std::strstr(preload, "vgpreload") != nullptr) {
    EXPECT_TRUE(!cpu_has_avx2() || flags.contains("avx2"));
    EXPECT_TRUE(!cpu_has_avx512f() || flags.contains("avx512f"));
    return;
  }
  EXPECT_EQ(cpu_has_avx2(), flags.contains("avx2"));
  EXPECT_EQ(cpu_has_avx512f(), flags.contains("avx512f"));
#endif
}

TEST(CpuDetection, SaysWhichKernelsRunHere) {
  std::string tested;
  for (const KernelTarget target : supported_targets()) {
    tested.append(" ").append(to_string(target));
  }
  std::string absent;
#if defined(ZORVANE_X86_64)
  if (!cpu_has_avx2()) absent.append(" avx2");
  if (!cpu_has_avx512f()) absent.append(" avx512");
#endif
  std::printf("kernels tested:%s; chosen for d = 6, 15, 100: %s, %s, %s\n", tested.c_str(),
              std::string(to_string(best_target(6))).c_str(), std::string(to_string(best_target(15))).c_str(),
              std::string(to_string(best_target(100))).c_str());
  if (!absent.empty()) {
    std::printf("kernels not tested, this CPU lacks:%s\n", absent.c_str());
  }
  EXPECT_EQ(supported_targets().front(), KernelTarget::Reference);
  EXPECT_EQ(supported_targets().size(), 2 + runnable_vector_kernels().size());
}

}  // namespace
}  // namespace zorvane::statistical_tests::escanciano_lobato
