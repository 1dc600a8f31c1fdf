// Every platform computes the outcomes recorded in the golden file (made
// once on x86-64 Linux): p~, the statistic and the refusals bit for bit
// everywhere; the p-value bit for bit where the C library is glibc's, and
// within a stated absolute difference on Windows, because it is defined
// through the C library's log and exp, which differ in the last bit between
// C libraries.
#include <gtest/gtest.h>

#include <bit>
#include <cstdio>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bits.hpp"
#include "golden_cases.hpp"

namespace zorvane::testing::golden {
namespace {

struct Parsed {
  std::string name;
  std::string kind;
  std::uint64_t p_tilde = 0;
  std::uint64_t statistic = 0;
  std::uint64_t pvalue = 0;
  std::string rest;
};

Parsed parse(const std::string& text) {
  Parsed p;
  const auto bar = text.find(" | ");
  p.name = text.substr(0, bar);
  std::istringstream in(text.substr(bar + 3));
  in >> p.kind;
  if (p.kind == "ok") {
    in >> p.p_tilde >> std::hex >> p.statistic >> p.pvalue;
  } else {
    std::getline(in, p.rest);
  }
  return p;
}

TEST(Golden, EveryCaseAsRecorded) {
  std::ifstream file(ZORVANE_GOLDEN_FILE);
  ASSERT_TRUE(file.good()) << "cannot read " << ZORVANE_GOLDEN_FILE;
  std::vector<std::string> recorded;
  for (std::string text; std::getline(file, text);) {
    if (!text.empty() && text.back() == '\r') text.pop_back();
    recorded.push_back(text);
  }
  const std::vector<Case> all = cases();
  ASSERT_EQ(recorded.size(), all.size()) << "the golden file and the cases differ in number: regenerate it";
  for (std::size_t i = 0; i < all.size(); ++i) {
    const Parsed want = parse(recorded[i]);
    const Parsed got = parse(line(all[i]));
    ASSERT_EQ(got.name, want.name) << "line " << i + 1;
    ASSERT_EQ(got.kind, want.kind) << want.name;
    EXPECT_EQ(got.rest, want.rest) << want.name;
    EXPECT_EQ(got.p_tilde, want.p_tilde) << want.name;
    EXPECT_EQ(got.statistic, want.statistic) << want.name;
    EXPECT_EQ(got.pvalue, want.pvalue) << want.name << ": p-value " << std::hex << got.pvalue << " not "
                                       << want.pvalue;
  }
}

}  // namespace
}  // namespace zorvane::testing::golden
