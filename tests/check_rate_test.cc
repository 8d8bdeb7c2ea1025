// SPDX-License-Identifier: MIT
// Black-box runs of the example plugin check_rate: the rate of a counter
// that a command prints, kept between runs in a state file.
#include <unistd.h>

#include <ctime>
#include <fstream>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "test_helpers.h"

namespace {

class CheckRate : public ::testing::Test {
 protected:
  // Run check_rate reading its counter from a file that holds \a counter.
  RunResult Run(const std::string& counter, std::vector<std::string> extra) {
    std::string file = dir_.WriteFile("counter", counter + "\n");
    std::vector<std::string> args = {CHECK_RATE_PATH, "-C", "/bin/cat " + file, "-l", "bytes"};
    args.insert(args.end(), extra.begin(), extra.end());
    auto env = kPlainLocale;
    env["KIVREL_PLUGIN_STATE_DIRECTORY"] = dir_.path();
    return RunProgram(args, env);
  }

  // A state as an earlier run \a seconds ago would have left it.
  void KeepState(const std::string& key, long seconds, const std::string& counter) {
    std::string folder = dir_.path() + "/" + std::to_string(geteuid()) + "/check_rate";
    ASSERT_EQ(system(("mkdir -p " + folder).c_str()), 0);
    std::ofstream(folder + "/" + key) << "# KR State file\n1\n1\n"
                                      << time(nullptr) - seconds << "\n" << counter << "\n";
  }

  ScopedTempDir dir_;
};

TEST_F(CheckRate, FirstSampleThenRate) {
  RunResult first = Run("1000", {});
  EXPECT_EQ(first.out, "RATE OK - first sample of bytes: 1000; the rate follows from the next run"
                       "|bytes=1000c\n");
  EXPECT_EQ(first.exit_code, 0);
  // The same command line finds its own state again.
  RunResult again = Run("1000", {});
  EXPECT_EQ(again.out.find("first sample"), std::string::npos) << again.out;

  KeepState("t1", 10, "1000");
  RunResult rate = Run("2000", {"-k", "t1", "-w", "50", "-c", "150"});
  // The second may tick between keeping the state and the run.
  bool ten = rate.out.find("over 10 s") != std::string::npos;
  EXPECT_EQ(rate.out, ten ? "RATE WARNING - bytes: 100.00 per second over 10 s|"
                            "rate=100;50;150 bytes=2000c\n"
                          : "RATE WARNING - bytes: 90.91 per second over 11 s|"
                            "rate=90.9090909090909;50;150 bytes=2000c\n");
  EXPECT_EQ(rate.exit_code, 1);
}

TEST_F(CheckRate, Failures) {
  KeepState("back", 10, "5000");
  const struct {
    std::vector<std::string> args;
    std::string out;
    int code;
  } cases[] = {
      {{"-k", "back"},
       "RATE OK - bytes went back from 5000 to 2000 (a restart?); the rate follows from the next "
       "run|bytes=2000c\n", 0},
      {{"-C", "/bin/false"}, "RATE UNKNOWN - the command ended with status 1\n", 3},
      {{"-C", "/bin/echo 12abc"}, "RATE UNKNOWN - the command printed no counter: '12abc'\n", 3},
      {{"-C", "/no/such/program"}, "RATE UNKNOWN - the command ended with status 3\n", 3},
      {{"-k", "a-b"}, "Invalid character for keyname - only alphanumerics or '_'\n", 3},
  };
  for (const auto& c : cases) {
    RunResult r = Run("2000", c.args);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.exit_code, c.code) << c.out;
  }
}

}  // namespace
