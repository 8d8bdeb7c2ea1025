// SPDX-License-Identifier: MIT
// Black-box runs of the built check_dbcluster against a private three-node
// Galera cluster, and against the private primary, which is no cluster node.
#include <signal.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "test_helpers.h"

namespace {

using Args = std::vector<std::string>;

class CheckDbcluster : public ::testing::Test {
 protected:
  void SetUp() override { cluster_ = ReadEnvFile(std::string(CLUSTER_SERVER_DIR) + "/server.env"); }

  RunResult Node(int n, const Args& extra = {}) {
    Args args = {CHECK_DBCLUSTER_PATH, "-H", cluster_["HOST"], "-P",
                 cluster_["NODE" + std::to_string(n) + "_PORT"], "-u", cluster_["USER"],
                 "-p", cluster_["PASSWORD"]};
    args.insert(args.end(), extra.begin(), extra.end());
    return RunProgram(args, kPlainLocale);
  }
  std::string Status(int n, const std::string& name) {
    return ServerSql("node" + std::to_string(n), "SHOW GLOBAL STATUS LIKE '" + name + "'",
                     CLUSTER_SERVER_DIR);
  }
  // Wait up to 20 s for node n's status variable to read \a value.
  bool WaitStatus(int n, const std::string& name, const std::string& value) {
    for (int i = 0; i < 200; ++i) {
      if (Status(n, name) == name + "\t" + value + "\n") return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }

  std::map<std::string, std::string> cluster_;
};

const std::string kPerf = "flow_control_paused=0%;;;0;100 recv_queue_avg=[0-9.]+;;;0\n";

// The states in turn, each from the one before: the cluster is not restored.
TEST_F(CheckDbcluster, NodeStates) {
  RunResult r = Node(1, {"-w", "3:", "-c", "2:"});
  EXPECT_TRUE(std::regex_match(r.out, std::regex(
      "CLUSTER OK: Synced, Primary, size 3 \\| size=3;3:;2:;0 " + kPerf))) << r.out;
  EXPECT_EQ(r.exit_code, 0);
  r = Node(1, {"-v", "--flow-control-critical=50"});
  EXPECT_TRUE(std::regex_match(r.out, std::regex(
      "CLUSTER OK: Synced, Primary, size 3, flow control paused 0%, receive queue [0-9.]+ \\| "
      "size=3;;;0 flow_control_paused=0%;;50;0;100 recv_queue_avg=[0-9.]+;;;0\n"))) << r.out;

  ServerSql("node2", "SET GLOBAL wsrep_desync = ON", CLUSTER_SERVER_DIR);
  ASSERT_TRUE(WaitStatus(2, "wsrep_local_state_comment", "Donor/Desynced"));
  r = Node(2, {"-w", "3:"});
  ServerSql("node2", "SET GLOBAL wsrep_desync = OFF", CLUSTER_SERVER_DIR);
  EXPECT_TRUE(std::regex_match(r.out, std::regex(
      "CLUSTER WARNING: Donor/Desynced, Primary, size 3 \\| size=3;3:;;0 " + kPerf))) << r.out;
  EXPECT_EQ(r.exit_code, 1);

  ASSERT_EQ(RunProgram({TEST_SERVER_SCRIPT, "stop", CLUSTER_SERVER_DIR, "node3"}).exit_code, 0);
  ASSERT_TRUE(WaitStatus(1, "wsrep_cluster_size", "2"));
  r = Node(1, {"-w", "3:", "-c", "2:"});
  EXPECT_TRUE(std::regex_match(r.out, std::regex(
      "CLUSTER WARNING: Synced, Primary, size 2 \\| size=2;3:;2:;0 " + kPerf))) << r.out;
  EXPECT_EQ(r.exit_code, 1);

  // node2 vanishes without a word: node1 alone is half the cluster it knew,
  // no majority, so no Primary component.
  ASSERT_EQ(kill(std::stoi(cluster_["NODE2_PID"]), SIGKILL), 0);
  ASSERT_TRUE(WaitStatus(1, "wsrep_cluster_status", "non-Primary"));
  r = Node(1, {"-w", "3:", "-c", "2:"});
  EXPECT_TRUE(std::regex_match(r.out, std::regex(
      "CLUSTER CRITICAL: not ready, [A-Za-z/]+, non-Primary, size 1 \\| size=1;3:;2:;0 " + kPerf)))
      << r.out;
  EXPECT_EQ(r.exit_code, 2);
}

TEST(CheckDbclusterPlain, NotAClusterNode) {
  TestServer server = TestServer::Load();
  RunResult r = RunProgram({CHECK_DBCLUSTER_PATH, "-H", server.host, "-P", server.port, "-u",
                            server.user, "-p", server.password, "-w", "3:"},
                           kPlainLocale);
  EXPECT_EQ(r.out, "CLUSTER UNKNOWN: not a cluster node\n");
  EXPECT_EQ(r.exit_code, 3);
  r = RunProgram({CHECK_DBCLUSTER_PATH, "-H", server.host, "-P", server.port, "-u", server.user,
                  "-p", "wrong"},
                 kGermanLocale);
  EXPECT_EQ(r.out.substr(0, 34), "CLUSTER KRITISCH: Access denied fo") << r.out;
  EXPECT_EQ(RunProgram({CHECK_DBCLUSTER_PATH, "--flow-control-critical=1:0"}, kPlainLocale).out,
            "CLUSTER UNKNOWN: Range format incorrect\n");
  r = RunProgram({CHECK_DBCLUSTER_PATH, "-w", "3:", "node1"}, kPlainLocale);
  EXPECT_EQ(r.out.substr(0, 63), "CLUSTER UNKNOWN: Unexpected argument - node1\nUsage:\n check_dbcl")
      << r.out;
  EXPECT_EQ(r.exit_code, 3);
}

}  // namespace
