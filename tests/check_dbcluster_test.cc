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

  // check_dbcluster on node n, keeping its state in the test's directory.
  RunResult Node(int n, const Args& extra = {}) {
    std::map<std::string, std::string> env = kPlainLocale;
    env["KIVREL_PLUGIN_STATE_DIRECTORY"] = state_.path();
    Args args = {CHECK_DBCLUSTER_PATH, "-H", cluster_["HOST"], "-P",
                 cluster_["NODE" + std::to_string(n) + "_PORT"], "-u", cluster_["USER"],
                 "-p", cluster_["PASSWORD"]};
    args.insert(args.end(), extra.begin(), extra.end());
    return RunProgram(args);
  }
  std::string Status(int n, const std::string& name) {
    return ServerSql("node" + std::to_string(n), "SHOW GLOBAL STATUS LIKE '" + name + "'",
                     CLUSTER_SERVER_DIR);
  }
  // Wait up to 20 s for node n to answer \a sql with \a want.
  bool WaitSql(int n, const std::string& sql, const std::string& want) {
    for (int i = 0; i < 200; ++i) {
      if (ServerSql("node" + std::to_string(n), sql, CLUSTER_SERVER_DIR) == want) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }
  bool WaitStatus(int n, const std::string& name, const std::string& value) {
    return WaitSql(n, "SHOW GLOBAL STATUS LIKE '" + name + "'", name + "\t" + value + "\n");
  }
  double Number(int n, const std::string& name) {
    std::string row = Status(n, name);
    return std::stod(row.substr(row.find('\t') + 1));
  }

  std::map<std::string, std::string> cluster_;
  ScopedTempDir state_;
};

double Now() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

const std::string kPerf =
    "flow_control_paused=0%;;;0;100 recv_queue=0;;;0 recv_queue_avg=[0-9.]+;;;0 "
    "cert_failure_rate=0;;;0\n";

// The states in turn, each from the one before: the cluster is not restored.
// First flow control over the interval between two runs on node1, the same
// state directory for both; between them node2 is desynced (OK with
// --donor-ok), then synced again and slow, so that flow control pauses the
// cluster.
TEST_F(CheckDbcluster, NodeStates) {
  const std::string dir = CLUSTER_SERVER_DIR;
  ServerSql("node1", "CREATE DATABASE IF NOT EXISTS fc; CREATE TABLE IF NOT EXISTS fc.t "
            "(id INT AUTO_INCREMENT PRIMARY KEY) ENGINE=InnoDB", dir);
  const double paused_first = Number(1, "wsrep_flow_control_paused_ns");
  const double first_start = Now();
  RunResult r = Node(1, {"-w", "3:"});
  const double first_end = Now();
  EXPECT_TRUE(std::regex_match(r.out, std::regex(
      "CLUSTER OK: Synced, Primary, size 3, flow control paused 0% since start \\| size=3;3:;;0 " +
      kPerf))) << r.out;

  ServerSql("node2", "SET GLOBAL wsrep_desync = ON", dir);
  ASSERT_TRUE(WaitStatus(2, "wsrep_local_state_comment", "Donor/Desynced"));
  r = Node(2, {"--donor-ok"});
  EXPECT_EQ(r.out.substr(0, 66), "CLUSTER OK: Donor/Desynced, Primary, size 3, flow control paused 0") << r.out;
  ServerSql("node2", "SET GLOBAL wsrep_desync = OFF", dir);
  ASSERT_TRUE(WaitStatus(2, "wsrep_local_state_comment", "Synced"));

  // node2 asks for a pause as soon as one write set waits, and its applier
  // waits two seconds for a table lock.
  ServerSql("node2", "SET GLOBAL wsrep_provider_options = 'gcs.fc_limit=1; gcs.fc_factor=1'", dir);
  Spawned lock = StartProgram({TEST_SERVER_SCRIPT, "sql", dir, "node2",
                               "LOCK TABLES fc.t WRITE; SELECT SLEEP(2) INTO @x; UNLOCK TABLES"});
  EXPECT_TRUE(WaitSql(2, "SELECT COUNT(*) > 0 FROM information_schema.PROCESSLIST WHERE INFO "
                      "LIKE 'SELECT SLEEP(2)%' AND ID <> CONNECTION_ID()", "1\n"));
  ServerSql("node1", "INSERT INTO fc.t VALUES (NULL); INSERT INTO fc.t VALUES (NULL); "
            "INSERT INTO fc.t VALUES (NULL); INSERT INTO fc.t VALUES (NULL)", dir);
  FinishProgram(lock);
  ServerSql("node2", "SET GLOBAL wsrep_provider_options = 'gcs.fc_limit=16'", dir);
  const double paused = (Number(1, "wsrep_flow_control_paused_ns") - paused_first) / 1e9;
  EXPECT_GT(paused, 0);
  const double second_start = Now();
  r = Node(1, {"-w", "3:", "--flow-control-critical=1"});
  const double second_end = Now();
  std::smatch m;
  EXPECT_TRUE(std::regex_match(r.out, m, std::regex(
      "CLUSTER CRITICAL: Synced, Primary, size 3, flow control paused ([0-9.]+)% \\(CRITICAL\\) "
      "\\| size=3;3:;;0 flow_control_paused=\\1%;;1;0;100 recv_queue=0;;;0 "
      "recv_queue_avg=[0-9.]+;;;0 cert_failure_rate=0;;;0\n"))) << r.out;
  // The share of the time between the runs, which the test knows within
  // the runs' own durations; the average since the start is smaller.
  const double share = m.empty() ? -1 : std::stod(m.str(1));
  EXPECT_GE(share, 100 * paused / (second_end - first_start) - 1e-4);
  EXPECT_LE(share, 100 * paused / (second_start - first_end) + 1e-4);

  r = Node(1, {"-w", "3:", "-c", "2:"});
  EXPECT_TRUE(std::regex_match(r.out, std::regex(
      "CLUSTER OK: Synced, Primary, size 3 \\| size=3;3:;2:;0 " + kPerf))) << r.out;
  EXPECT_EQ(r.exit_code, 0);
  r = Node(1, {"-v", "--flow-control-critical=50"});
  EXPECT_TRUE(std::regex_match(r.out, std::regex(
      "CLUSTER OK: Synced, Primary, size 3, flow control paused 0%, receive queue 0, "
      "average receive queue [0-9.]+ \\| size=3;;;0 flow_control_paused=0%;;50;0;100 "
      "recv_queue=0;;;0 recv_queue_avg=[0-9.]+;;;0 cert_failure_rate=0;;;0\n"))) << r.out;

  ServerSql("node2", "SET GLOBAL wsrep_desync = ON", CLUSTER_SERVER_DIR);
  ASSERT_TRUE(WaitStatus(2, "wsrep_local_state_comment", "Donor/Desynced"));
  // Its interval since its last run holds the pause it asked for.
  r = Node(2, {"-w", "3:"});
  ServerSql("node2", "SET GLOBAL wsrep_desync = OFF", CLUSTER_SERVER_DIR);
  EXPECT_TRUE(std::regex_match(r.out, std::regex(
      "CLUSTER WARNING: Donor/Desynced, Primary, size 3 \\| size=3;3:;;0 "
      "flow_control_paused=[1-9][0-9.]*%;;;0;100 recv_queue=0;;;0 recv_queue_avg=[0-9.]+;;;0 "
      "cert_failure_rate=0;;;0\n"))) << r.out;
  EXPECT_EQ(r.exit_code, 1);

  ASSERT_EQ(RunProgram({TEST_SERVER_SCRIPT, "stop", CLUSTER_SERVER_DIR, "node3"}).exit_code, 0);
  ASSERT_TRUE(WaitStatus(1, "wsrep_cluster_size", "2"));
  r = Node(1, {"-w", "3:", "-c", "2:"});
  EXPECT_TRUE(std::regex_match(r.out, std::regex(
      "CLUSTER WARNING: Synced, Primary, size 2 \\(WARNING\\) \\| size=2;3:;2:;0 " + kPerf))) << r.out;
  EXPECT_EQ(r.exit_code, 1);

  // node2 vanishes without a word: node1 alone is half the cluster it knew,
  // no majority, so no Primary component.
  ASSERT_EQ(kill(std::stoi(cluster_["NODE2_PID"]), SIGKILL), 0);
  ASSERT_TRUE(WaitStatus(1, "wsrep_cluster_status", "non-Primary"));
  r = Node(1, {"-w", "3:", "-c", "2:"});
  EXPECT_TRUE(std::regex_match(r.out, std::regex(
      "CLUSTER CRITICAL: not ready, [A-Za-z/]+, non-Primary, size 1 \\(CRITICAL\\) \\| size=1;3:;2:;0 " + kPerf)))
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
