// SPDX-License-Identifier: MIT
#include "kitreply.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_helpers.h"

namespace {

kr_match_result Match(const char* status, std::vector<std::string> expects, int flags) {
  std::vector<char*> array;
  for (auto& e : expects) array.push_back(e.data());
  return kr_expect_match(status, array.data(), static_cast<int>(array.size()), flags);
}

struct match_case {
  int flags;
  const char* status;
  std::vector<std::string> expects;
  kr_match_result expected;
};

TEST(KitreplyMatch, Table) {
  const int P = KR_MATCH_PREFIX, A = KR_MATCH_ALL;
  const match_case cases[] = {
      {P, "22", {"220"}, KR_MATCH_RETRY},
      {P, "220 ready", {"220"}, KR_MATCH_SUCCESS},
      {P, "221 busy", {"220"}, KR_MATCH_FAILURE},
      {P, "", {"220"}, KR_MATCH_RETRY},
      {P, "x220", {"220"}, KR_MATCH_FAILURE},
      {0, "220 ready", {"ready"}, KR_MATCH_SUCCESS},
      {0, "220 busy", {"ready"}, KR_MATCH_RETRY},
      {A, "220 busy", {"220", "ready"}, KR_MATCH_RETRY},
      {A | P, "220 busy", {"220", "ready"}, KR_MATCH_FAILURE},
      {A | P, "22", {"220", "221"}, KR_MATCH_RETRY},
      {A, "220 ready", {"ready", "220"}, KR_MATCH_SUCCESS},
      {P, "220 ready", {"ready", "220"}, KR_MATCH_SUCCESS},
      {P, "nothing", {""}, KR_MATCH_SUCCESS},
      {0, "", {""}, KR_MATCH_SUCCESS},
      {P, "", {""}, KR_MATCH_SUCCESS},
      {A, "x", {}, KR_MATCH_SUCCESS},
      {A | P, "x", {}, KR_MATCH_SUCCESS},
      {P, "x", {}, KR_MATCH_FAILURE},
      {0, "x", {}, KR_MATCH_RETRY},
      {P | 0x100, "221", {"220"}, KR_MATCH_FAILURE},
  };
  for (const auto& c : cases) {
    std::string all;
    for (const auto& e : c.expects) all += "«" + e + "» ";
    SCOPED_TRACE("flags " + std::to_string(c.flags) + ", text «" + c.status + "», " + all);
    EXPECT_EQ(Match(c.status, c.expects, c.flags), c.expected);
  }
}

TEST(KitreplyMatch, VerboseTracesEveryString) {
  RunResult r = RunInChild([] {
    Match("22", {"220"}, KR_MATCH_PREFIX | KR_MATCH_ALL);  // silent without the flag
    printf("result %d\n", Match("22", {"220"}, KR_MATCH_PREFIX | KR_MATCH_VERBOSE));
    printf("result %d\n", Match("220 ready", {"ready", "x", "220"}, KR_MATCH_VERBOSE));
    printf("result %d\n", Match("220", {}, KR_MATCH_VERBOSE));
  });
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out,
            "looking for [220] in beginning of [22]\n"
            "found a substring\n"
            "result 2\n"
            "looking for [ready] anywhere in [220 ready]\n"
            "found it\n"
            "looking for [x] anywhere in [220 ready]\n"
            "couldn't find it\n"
            "looking for [220] anywhere in [220 ready]\n"
            "found it\n"
            "result 1\n"
            "result 2\n");
  EXPECT_EQ(r.err, "");
}

}  // namespace
