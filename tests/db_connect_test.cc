// What both database checks share when they connect: no run may hang on a
// server that never answers, and a socket path given as the host is used.
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_helpers.h"

namespace {

using Clock = std::chrono::steady_clock;

TEST(DbConnect, NoCheckHangs) {
  SilentListener silent;
  SilentListener full(true);
  ScopedTempDir dir;
  std::string cnf = dir.WriteFile("my.cnf", "[client]\nconnect-timeout=1\n");
  const std::string lost =
      "Lost connection to server at 'handshake: reading initial communication packet', "
      "system error: 110\n";
  const std::string unreachable = "Can't connect to server on '127.0.0.1' (110)\n";
  const struct {
    std::vector<std::string> args;
    std::string out;
    double min_seconds, max_seconds;
  } cases[] = {
      // An option file may set another limit.
      {{CHECK_DBHEALTH_PATH, "-f", cnf, "-H", "127.0.0.1", "-P", silent.port()}, lost, 0.5, 5},
      {{CHECK_DBHEALTH_PATH, "-H", "127.0.0.1", "-P", silent.port()}, lost, 9, 15},
      {{CHECK_DBQUERY_PATH, "-H", "127.0.0.1", "-P", silent.port(), "-q", "SELECT 1"},
       "QUERY CRITICAL: " + lost, 9, 15},
      {{CHECK_DBHEALTH_PATH, "-H", "127.0.0.1", "-P", full.port()}, unreachable, 9, 15},
      {{CHECK_DBQUERY_PATH, "-H", "127.0.0.1", "-P", full.port(), "-q", "SELECT 1"},
       "QUERY CRITICAL: " + unreachable, 9, 15},
  };
  // All at once, reaped in the order of their limits.
  auto start = Clock::now();
  std::vector<Spawned> children;
  for (const auto& c : cases) children.push_back(StartProgram(c.args, kPlainLocale));
  for (size_t i = 0; i < children.size(); ++i) {
    RunResult r = FinishProgram(children[i]);
    std::chrono::duration<double> took = Clock::now() - start;
    EXPECT_EQ(r.out, cases[i].out);
    EXPECT_EQ(r.exit_code, 2) << r.out;
    EXPECT_LT(took.count(), cases[i].max_seconds) << i;
    EXPECT_GE(took.count(), cases[i].min_seconds) << i;
  }
}

TEST(DbConnect, HostGivenAsSocketPath) {
  TestServer server = TestServer::Load();
  RunResult r = RunProgram({CHECK_DBQUERY_PATH, "-H", server.socket, "-u", server.user, "-p",
                            server.password, "-q", "SELECT 7"},
                           kPlainLocale);
  EXPECT_EQ(r.out, "QUERY OK: 'SELECT 7' returned 7.000000 | result=7\n");
  EXPECT_EQ(r.exit_code, 0);
}

}  // namespace
