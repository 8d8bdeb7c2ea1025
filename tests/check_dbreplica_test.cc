// SPDX-License-Identifier: MIT
// Black-box runs of the built check_dbreplica against the private replica,
// which copies the primary (the default channel) and the second primary
// (the channel 'east'), with a real heartbeat writer.
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "test_helpers.h"

namespace {

using Args = std::vector<std::string>;

// Run \a attempt every 0.1 s until it returns true, for up to \a seconds.
bool WaitFor(const std::function<bool()>& attempt, int seconds = 20) {
  for (int i = 0; i < seconds * 10; ++i) {
    if (attempt()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return attempt();
}

class CheckDbreplica : public ::testing::Test {
 protected:
  void SetUp() override { server_ = TestServer::Load(); }

  RunResult Run(const std::string& port, const Args& extra,
                const std::map<std::string, std::string>& env = kPlainLocale) const {
    Args args = {CHECK_DBREPLICA_PATH, "-H", server_.host, "-P", port,
                 "-u", server_.user, "-p", server_.password};
    args.insert(args.end(), extra.begin(), extra.end());
    return RunProgram(args, env);
  }
  RunResult Replica(const Args& extra = {}) const { return Run(server_.replica_port, extra); }

  // Wait until the channel 'east' has applied all that its source logged.
  void SyncEast() const {
    std::string pos = ServerSql("east", "SELECT @@GLOBAL.gtid_binlog_pos");
    pos.pop_back();
    EXPECT_EQ(ServerSql("replica", "SELECT MASTER_GTID_WAIT('" + pos + "', 30)"), "0\n");
  }

  TestServer server_;
};

const std::string kBoth = "'' IO Yes, SQL Yes, lag 0 s; 'east' IO Yes, SQL Yes, lag 0 s";

TEST_F(CheckDbreplica, EveryChannel) {
  const std::string aborted = "SHOW GLOBAL STATUS LIKE 'Aborted_clients'";
  const std::string aborted_before = ServerSql("replica", aborted);
  // In gbk the bytes 0xbf 0x60 are one character (U+7E1B, this table's
  // last): a backtick doubled byte by byte after 0xbf would end the name and
  // let the rest of the option run as SQL.
  ServerSql("replica", "SET SESSION sql_log_bin = 0; CREATE TABLE IF NOT EXISTS "
                       "kivrel_test.`h\xe7\xb8\x9b` (server_id INT, ts DATETIME(6))");
  ScopedTempDir dir;
  const std::string gbk = dir.WriteFile("gbk.cnf", "[client]\ndefault-character-set=gbk\n");
  const std::string injection = "h\xbf` UNION SELECT 1, 999000000 #";
  const struct {
    Args args;
    int code;
    std::string out;
  } cases[] = {
      {{"-w", "60", "-c", "300"}, 0,
       "REPLICA OK: 2 channels: " + kBoth + " | lag=0s;60;300;0 lag_east=0s;60;300;0\n"},
      {{"-w", "1:"}, 1, "REPLICA WARNING: 2 channels: " + kBoth + " | lag=0s;1:;;0 lag_east=0s;1:;;0\n"},
      {{"--channel=EAST", "--channel", "east"}, 0,
       "REPLICA OK: 1 channel: 'east' IO Yes, SQL Yes, lag 0 s | lag_east=0s;;;0\n"},
      {{"--channel", "west", "--channel="}, 2,
       "REPLICA CRITICAL: 2 channels: 'west' not found; '' IO Yes, SQL Yes, lag 0 s | lag=0s;;;0\n"},
      {{"-f", gbk, "--heartbeat=kivrel_test." + injection}, 3,
       "REPLICA UNKNOWN: The heartbeat table cannot be put into a query safely (it must be valid "
       "UTF-8, not empty, without NUL bytes): " + injection + "\n"},
      // A backtick is part of the name; what the server echoes stays in
      // the line. A statement the server refuses leaves the lag unknown.
      {{"--heartbeat=kivrel_test.a|b`c\nd"}, 3,
       "REPLICA UNKNOWN: heartbeat query failed: Table 'kivrel_test.a/b`c d' doesn't exist\n"},
      // The replica runs read-only.
      {{"--read-only=auto", "--channel="}, 0,
       "REPLICA OK: read_only ON; 1 channel: '' IO Yes, SQL Yes, lag 0 s | lag=0s;;;0\n"},
      {{"--read-only", "off"}, 2,
       "REPLICA CRITICAL: read_only ON, expected OFF; 2 channels: " + kBoth + " | lag=0s;;;0 lag_east=0s;;;0\n"},
  };
  for (const auto& c : cases) {
    RunResult r = Replica(c.args);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.exit_code, c.code) << r.out;
    EXPECT_EQ(r.err, "");
  }
  RunResult verbose = Replica({"-v", "--channel", "east"});
  EXPECT_TRUE(std::regex_match(verbose.out, std::regex(
      "REPLICA OK: 1 channel: 'east' IO Yes, SQL Yes, lag 0 s, source 127\\.0\\.0\\.1:" +
      server_.east_port + ", GTID [0-9-,]*1-3-[0-9]+[0-9-,]* \\| lag_east=0s;;;0\n"))) << verbose.out;

  ServerSql("replica", "SET GLOBAL read_only = 0");
  RunResult writable = Replica({"--read-only=auto", "--channel=east"});
  ServerSql("replica", "SET GLOBAL read_only = 1");
  EXPECT_EQ(writable.out, "REPLICA CRITICAL: read_only OFF on a replica; 1 channel: 'east' IO Yes, SQL Yes, "
                          "lag 0 s | lag_east=0s;;;0\n");
  EXPECT_EQ(writable.exit_code, 2);

  RunResult german = Run(server_.replica_port, {"-c", "300"}, kGermanLocale);
  EXPECT_EQ(german.out, "REPLICA OK: 2 Kanäle: '' IO Yes, SQL Yes, Verzögerung 0 s; 'east' IO Yes, "
                        "SQL Yes, Verzögerung 0 s | lag=0s;;300;0 lag_east=0s;;300;0\n");

  // Every ending closed its connection; the server notices a dropped one a
  // moment after the exit.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(ServerSql("replica", aborted), aborted_before);
}

TEST_F(CheckDbreplica, NotAReplica) {
  const struct {
    Args args;
    int code;
    std::string out;
  } cases[] = {
      {{}, 1, "REPLICA WARNING: not a replica\n"},
      {{"--not-replica=ok", "--channel=east"}, 0, "REPLICA OK: not a replica\n"},
      {{"--not-replica", "CRITICAL"}, 2, "REPLICA CRITICAL: not a replica\n"},
      // The primary is writable.
      {{"--read-only=auto", "--not-replica=ok"}, 0, "REPLICA OK: read_only OFF; not a replica\n"},
      {{"--read-only=on", "--not-replica=ok"}, 2,
       "REPLICA CRITICAL: read_only OFF, expected ON; not a replica\n"},
  };
  for (const auto& c : cases) {
    RunResult r = Run(server_.port, c.args);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.exit_code, c.code);
  }
  RunResult german = Run(server_.port, {}, kGermanLocale);
  EXPECT_EQ(german.out, "REPLICA WARNUNG: kein Replikat\n");
}

TEST_F(CheckDbreplica, SqlThreadStoppedByADuplicateKey) {
  // The row the second primary adds next is on the replica already.
  std::string id = ServerSql("east", "SELECT COALESCE(MAX(id), 0) + 1 FROM kivrel_east.rows");
  id.pop_back();
  ServerSql("replica", "INSERT INTO kivrel_east.rows VALUES (" + id + ")");
  ServerSql("east", "INSERT INTO kivrel_east.rows VALUES (" + id + ")");
  const std::string running =
      "SET SESSION default_master_connection = 'east'; SHOW STATUS LIKE 'Slave_running'";
  EXPECT_TRUE(WaitFor([&] { return ServerSql("replica", running) == "Slave_running\tOFF\n"; }));
  RunResult r = Replica({"-w", "60"});

  ServerSql("replica", "DELETE FROM kivrel_east.rows WHERE id = " + id +
                           "; START SLAVE 'east' SQL_THREAD");
  SyncEast();
  EXPECT_EQ(r.out, "REPLICA CRITICAL: 2 channels: 'east' IO Yes, SQL No, lag NULL, last SQL error "
                   "1062: Error 'Duplicate entry '" + id + "' for key 'PRIMARY'' on query. Default "
                   "database: ''. Query: 'INSERT INTO kivrel_east.rows VALUES (" + id + ")'; "
                   "'' IO Yes, SQL Yes, lag 0 s | lag=0s;60;;0\n");
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(Replica().exit_code, 0);
}

TEST_F(CheckDbreplica, IoThreadStillConnecting) {
  ServerSql("replica", "CHANGE MASTER 'west' TO MASTER_HOST = '127.0.0.1', MASTER_PORT = " +
                           ClosedPort() + ", MASTER_USER = 'nobody', MASTER_CONNECT_RETRY = 1; "
                           "START SLAVE 'west'");
  RunResult r;
  EXPECT_TRUE(WaitFor([&] {
    r = Replica({"--channel=west", "--channel=east"});
    return r.out.find("last IO error") != std::string::npos;
  }));
  ServerSql("replica", "STOP SLAVE 'west'; RESET SLAVE 'west' ALL");
  EXPECT_TRUE(std::regex_match(r.out, std::regex(
      "REPLICA CRITICAL: 2 channels: 'west' IO Connecting, SQL Yes, lag NULL, last IO error 2003: "
      "error connecting to master 'nobody@127\\.0\\.0\\.1:[0-9]+' .*Connection refused.*; "
      "'east' IO Yes, SQL Yes, lag 0 s \\| lag_east=0s;;;0\n"))) << r.out;
  EXPECT_EQ(r.exit_code, 2);
}

// pt-heartbeat writing the heartbeat row of the server at \a socket every
// half second, until the object ends or Stop is called.
class Heartbeat {
 public:
  explicit Heartbeat(const std::string& socket) {
    const passwd* admin = getpwuid(geteuid());
    child_ = StartProgram({"/usr/bin/pt-heartbeat", "--update", "--create-table", "--utc",
                           "--interval=0.5", "--database=kivrel_test", "--table=heartbeat",
                           "--socket=" + socket, "--user=" + std::string(admin->pw_name)});
  }
  ~Heartbeat() { Stop(); }
  void Stop() {
    if (child_.pid < 0) return;
    kill(child_.pid, SIGTERM);
    RunResult r = FinishProgram(child_);
    EXPECT_EQ(r.err, "");
    child_.pid = -1;
  }

 private:
  Spawned child_;
};

TEST_F(CheckDbreplica, HeartbeatLag) {
  const Args table = {"--heartbeat=kivrel_test.heartbeat", "--heartbeat-utc"};
  auto with = [&table](const Args& more) {
    Args args = table;
    args.insert(args.end(), more.begin(), more.end());
    return args;
  };
  // The second primary writes its own row (server id 3) into the same table.
  ServerSql("east", "SET SESSION sql_log_bin = 0; CREATE DATABASE IF NOT EXISTS kivrel_test");
  Heartbeat primary(server_.socket);
  Heartbeat east(server_.east_socket);
  RunResult r;
  // A row a run before left behind counts only once it is fresh again.
  ASSERT_TRUE(WaitFor([&] { return (r = Replica(with({"-w", "2"}))).exit_code == 0; })) << r.out;
  const std::string beat = "'' IO Yes, SQL Yes, lag 0 s, heartbeat lag (0|0\\.[0-9]+|1(\\.[0-9]+)?) s";
  // One bare id for two channels would be one source's heartbeat for both.
  r = Replica(with({"--heartbeat-server-id=1"}));
  EXPECT_EQ(r.out, "REPLICA UNKNOWN: --heartbeat-server-id=ID needs one channel checked; give CHANNEL=ID "
                   "for each channel\n");
  EXPECT_EQ(r.exit_code, 3);

  // Stopped, east's heartbeat ages while its Seconds_Behind_Master stays 0;
  // the default channel reads its own source's row, still fresh.
  east.Stop();
  const std::string aged = "(2\\.[0-9]*[1-9]|[3-9](\\.[0-9]+)?|[1-9][0-9]+(\\.[0-9]+)?)";
  ASSERT_TRUE(WaitFor([&] {
    return (r = Replica(with({"--lag-disagreement=2", "-w", "2"}))).exit_code == 1;
  })) << r.out;
  EXPECT_TRUE(std::regex_match(r.out, std::regex(
      "REPLICA WARNING: 2 channels: 'east' IO Yes, SQL Yes, lag 0 s, heartbeat lag " + aged +
      " s, lag and heartbeat lag differ by \\1 s; " + beat + " \\| lag_east=\\1s;2;;0 "
      "seconds_behind_east=0s;;;0 lag=[0-9.]+s;2;;0 seconds_behind=0s;;;0\n"))) << r.out;
  // Told to, east reads the primary's row; a bare id serves one channel.
  for (const Args& ids : {Args{"-w", "2", "--heartbeat-server-id=EAST=1"},
                          Args{"-w", "2", "--channel=east", "--heartbeat-server-id=1"}}) {
    r = Replica(with(ids));
    EXPECT_EQ(r.exit_code, 0) << r.out;
  }

  primary.Stop();
  ASSERT_TRUE(WaitFor([&] { return (r = Replica(with({"--channel=", "-w", "2"}))).exit_code == 1; }))
      << r.out;
  EXPECT_TRUE(std::regex_match(r.out, std::regex(
      "REPLICA WARNING: 1 channel: '' IO Yes, SQL Yes, lag 0 s, heartbeat lag " + aged +
      " s \\| lag=[0-9.]+s;2;;0 seconds_behind=0s;;;0\n"))) << r.out;
}

// A heartbeat written an hour ahead hides no lag: it is named.
TEST_F(CheckDbreplica, HeartbeatFromTheFuture) {
  ServerSql("replica", "CREATE TABLE IF NOT EXISTS kivrel_test.heartbeat_ahead (server_id INT PRIMARY "
                       "KEY, ts DATETIME(6)); REPLACE INTO kivrel_test.heartbeat_ahead VALUES "
                       "(1, UTC_TIMESTAMP(6) + INTERVAL 1 HOUR)");
  RunResult r =
      Replica({"--heartbeat=kivrel_test.heartbeat_ahead", "--heartbeat-utc", "--channel=", "-w", "2"});
  EXPECT_EQ(r.out, "REPLICA WARNING: 1 channel: '' IO Yes, SQL Yes, lag 0 s, heartbeat 3600 s in the future: "
                   "the clocks or time zones disagree | seconds_behind=0s;2;;0\n");
  EXPECT_EQ(r.exit_code, 1);
}

TEST(CheckDbreplicaCommandLine, Errors) {
  const std::string usage = "Usage:\n check_dbreplica [-H host]";
  const std::string needs =
      "--heartbeat-server-id, --heartbeat-utc, --heartbeat-skew and --lag-disagreement need --heartbeat\n";
  const struct {
    Args args;
    std::string out;  // the first line, then the usage
  } cases[] = {
      {{"--heartbeat=heartbeat"},
       "REPLICA UNKNOWN: Invalid heartbeat table (expected DB.TABLE) - heartbeat\n"},
      {{"--heartbeat=db."}, "REPLICA UNKNOWN: Invalid heartbeat table (expected DB.TABLE) - db.\n"},
      {{"--heartbeat=.t"}, "REPLICA UNKNOWN: Invalid heartbeat table (expected DB.TABLE) - .t\n"},
      {{"--heartbeat=db.t", "--heartbeat-server-id=0"}, "REPLICA UNKNOWN: Invalid server id - 0\n"},
      {{"--heartbeat-server-id=4294967296"}, "REPLICA UNKNOWN: Invalid server id - 4294967296\n"},
      {{"--heartbeat-utc"}, "REPLICA UNKNOWN: " + needs},
      {{"--heartbeat-server-id=7"}, "REPLICA UNKNOWN: " + needs},
      {{"--heartbeat=db.t", "--heartbeat-skew=-1"}, "REPLICA UNKNOWN: Invalid number of seconds - -1\n"},
      {{"--heartbeat=db.t", "--heartbeat-server-id=7", "--channel=a", "--channel=b"},
       "REPLICA UNKNOWN: --heartbeat-server-id=ID needs one channel checked; give CHANNEL=ID for each "
       "channel\n"},
      {{"--heartbeat=db.t", "--heartbeat-server-id=7", "--heartbeat-server-id=a=8"},
       "REPLICA UNKNOWN: --heartbeat-server-id takes either one ID or CHANNEL=ID for each channel\n"},
      {{"--heartbeat=db.t", "--heartbeat-server-id=a=8", "--heartbeat-server-id=A=9"},
       "REPLICA UNKNOWN: Two heartbeat server ids for one channel - A=9\n"},
      {{"--heartbeat=db.t", "--channel=east", "--heartbeat-server-id=west=8"},
       "REPLICA UNKNOWN: --heartbeat-server-id names a channel that is not checked - west\n"},
      {{"--not-replica=2"},
       "REPLICA UNKNOWN: Invalid state (expected ok, warning, critical or unknown) - 2\n"},
      {{"replica.example"}, "REPLICA UNKNOWN: Unexpected argument - replica.example\n"},
      {{"--read-only=yes"}, "REPLICA UNKNOWN: Invalid read-only rule (expected auto, on or off) - yes\n"},
  };
  for (const auto& c : cases) {
    Args args = {CHECK_DBREPLICA_PATH};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult r = RunProgram(args, kPlainLocale);
    EXPECT_EQ(r.out.substr(0, c.out.size() + usage.size()), c.out + usage);
    EXPECT_EQ(r.exit_code, 3);
  }
  // The largest server id is one.
  RunResult id = RunProgram({CHECK_DBREPLICA_PATH, "--heartbeat=db.t", "--heartbeat-server-id=4294967295",
                             "-H", "127.0.0.1", "-P", ClosedPort()}, kPlainLocale);
  EXPECT_EQ(id.out.substr(0, 35), "REPLICA CRITICAL: Can't connect to ") << id.out;
  RunResult range = RunProgram({CHECK_DBREPLICA_PATH, "-w", "5:1"}, kPlainLocale);
  EXPECT_EQ(range.out, "REPLICA UNKNOWN: Range format incorrect\n");
  RunResult help = RunProgram({CHECK_DBREPLICA_PATH, "--help"}, kPlainLocale);
  EXPECT_NE(help.out.find(" --channel=NAME\n    Check only this channel (repeatable)"),
            std::string::npos);
  EXPECT_EQ(help.exit_code, 0);
}

}  // namespace
