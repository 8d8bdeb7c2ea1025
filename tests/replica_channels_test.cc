// SPDX-License-Identifier: MIT
// The verdicts on replication channels and on a cluster node, from rows a
// server could send; the real servers' rows are in the black-box tests.
#include "replica_channels.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cluster_state.h"
#include "common.h"
#include "state_queries.h"

namespace {

const char* const kNull = nullptr;  // SQL NULL

// Two spellings of the same columns, in the same order.
const std::vector<std::string> kMariaDb = {
    "Connection_name", "Slave_IO_Running", "Slave_SQL_Running", "Seconds_Behind_Master",
    "Master_Server_Id", "Master_Host", "Master_Port", "SQL_Delay", "Last_IO_Errno",
    "Last_IO_Error", "Last_SQL_Errno", "Last_SQL_Error", "Using_Gtid", "Gtid_IO_Pos"};
const std::vector<std::string> kMySql = {
    "Channel_Name", "Replica_IO_Running", "Replica_SQL_Running", "Seconds_Behind_Source",
    "Source_Server_Id", "Source_Host", "Source_Port", "SQL_Delay", "Last_IO_Errno",
    "Last_IO_Error", "Last_SQL_Errno", "Last_SQL_Error", "Auto_Position", "Executed_Gtid_Set"};

db_rows Rows(const std::vector<std::string>& names, const std::vector<const char*>& values) {
  db_rows rows;
  rows.names = names;
  auto& row = rows.rows.emplace_back();
  for (const char* v : values) row.push_back(v ? db_field(v) : db_field());
  return rows;
}

struct channel_case {
  const char* what;
  std::vector<const char*> values;  // in the order of kMariaDb
  std::vector<const char*> options;  // w, c, delay, heartbeat, hb-id, skew, disagree, verbose
  int state;
  std::string text;
  std::string perf;
};

TEST(ReplicaChannels, JudgesChannels) {
  using V = std::vector<const char*>;
  const V ok = {"", "Yes", "Yes", "0", "1", "db1", "3306", "0", "0", "", "0", "", "No", ""};
  auto with = [&ok](std::initializer_list<std::pair<int, const char*>> changes) {
    V v = ok;
    for (const auto& [i, value] : changes) v[i] = value;
    return v;
  };
  const channel_case cases[] = {
      {"running", ok, {"w=60", "c=300"}, STATE_OK, "'' IO Yes, SQL Yes, lag 0 s",
       "lag=0s;60;300;0"},
      {"named, warning", with({{0, "east"}, {3, "120"}}), {"w=60", "c=300"}, STATE_WARNING,
       "'east' IO Yes, SQL Yes, lag 120 s", "lag_east=120s;60;300;0"},
      {"critical lag", with({{3, "400"}}), {"w=60", "c=300"}, STATE_CRITICAL,
       "'' IO Yes, SQL Yes, lag 400 s", "lag=400s;60;300;0"},
      {"IO connecting", with({{1, "Connecting"}, {8, "2003"}, {9, "error connecting"}}), {},
       STATE_CRITICAL, "'' IO Connecting, SQL Yes, lag 0 s, last IO error 2003: error connecting",
       "lag=0s;;;0"},
      {"SQL stopped by an error", with({{2, "No"}, {3, kNull}, {10, "1062"}, {11, "Dup|key\nx"}}),
       {"w=60"}, STATE_CRITICAL, "'' IO Yes, SQL No, lag NULL, last SQL error 1062: Dup/key x", ""},
      {"SQL stopped by hand", with({{2, "No"}, {3, kNull}}), {}, STATE_CRITICAL,
       "'' IO Yes, SQL No, lag NULL", ""},
      {"NULL lag while running", with({{3, kNull}}), {}, STATE_CRITICAL,
       "'' IO Yes, SQL Yes, lag NULL", ""},
      {"lag no number", with({{3, "abc"}}), {"w=60"}, STATE_UNKNOWN,
       "'' IO Yes, SQL Yes, lag abc, lag is not a number: abc", ""},
      {"lag beyond a double", with({{2, "No"}, {3, "1e400"}}), {}, STATE_UNKNOWN,
       "'' IO Yes, SQL No, lag 1e400, lag is not a number: 1e400", ""},
      {"delay no number", with({{7, "x|y"}}), {"delay"}, STATE_UNKNOWN,
       "'' IO Yes, SQL Yes, lag 0 s, SQL_Delay is not a number: x/y", "lag=0s;;;0 lag_raw=0s;;;0"},
      {"name that would break the line and the label", with({{0, "e|a=s't\nx"}}), {}, STATE_OK,
       "'e/a=s't x' IO Yes, SQL Yes, lag 0 s", "lag_e_a_s_t_x=0s;;;0"},
      {"delay subtracted", with({{3, "3700"}, {7, "3600"}}), {"w=60", "delay"}, STATE_WARNING,
       "'' IO Yes, SQL Yes, lag 100 s", "lag=100s;60;;0 lag_raw=3700s;;;0"},
      {"delay never below 0", with({{3, "100"}, {7, "3600"}}), {"w=60", "delay"}, STATE_OK,
       "'' IO Yes, SQL Yes, lag 0 s", "lag=0s;60;;0 lag_raw=100s;;;0"},
      {"delay subtracted from the heartbeat", with({{0, "east"}, {3, "3700"}, {4, "7"}, {7, "3600"}}),
       {"w=60", "delay", "heartbeat"}, STATE_OK, "'east' IO Yes, SQL Yes, lag 100 s, heartbeat lag 50.5 s",
       "lag_east=50.5s;60;;0 lag_raw_east=3650.5s;;;0 seconds_behind_east=100s;;;0"},
      {"delay kept", with({{3, "3700"}, {7, "3600"}}), {"w=60"}, STATE_WARNING,
       "'' IO Yes, SQL Yes, lag 3700 s", "lag=3700s;60;;0"},
      {"heartbeat of the source", with({{3, "9"}}), {"w=2", "heartbeat"}, STATE_OK,
       "'' IO Yes, SQL Yes, lag 9 s, heartbeat lag 0.5 s", "lag=0.5s;2;;0 seconds_behind=9s;;;0"},
      {"heartbeat lagging", with({{0, "east"}, {4, "3"}}), {"w=2", "heartbeat"}, STATE_WARNING,
       "'east' IO Yes, SQL Yes, lag 0 s, heartbeat lag 2.5 s",
       "lag_east=2.5s;2;;0 seconds_behind_east=0s;;;0"},
      {"heartbeat of another id", ok, {"w=2", "heartbeat", "id=3"}, STATE_WARNING,
       "'' IO Yes, SQL Yes, lag 0 s, heartbeat lag 2.5 s", "lag=2.5s;2;;0 seconds_behind=0s;;;0"},
      {"heartbeat an hour ahead", with({{4, "5"}}), {"w=2", "heartbeat"}, STATE_WARNING,
       "'' IO Yes, SQL Yes, lag 0 s, heartbeat 3600 s in the future: the clocks or time zones disagree",
       "seconds_behind=0s;2;;0"},
      {"heartbeat ahead, the server's lag judged", with({{3, "400"}, {4, "5"}}),
       {"w=2", "c=300", "heartbeat"}, STATE_CRITICAL,
       "'' IO Yes, SQL Yes, lag 400 s, heartbeat 3600 s in the future: the clocks or time zones disagree",
       "seconds_behind=400s;2;300;0"},
      {"heartbeat ahead within the skew", with({{4, "6"}}), {"heartbeat"}, STATE_OK,
       "'' IO Yes, SQL Yes, lag 0 s, heartbeat lag 0 s", "lag=0s;;;0 seconds_behind=0s;;;0"},
      {"heartbeat ahead beyond the skew", with({{4, "6"}}), {"heartbeat", "skew=1"}, STATE_WARNING,
       "'' IO Yes, SQL Yes, lag 0 s, heartbeat 2 s in the future: the clocks or time zones disagree",
       "seconds_behind=0s;;;0"},
      {"lags that disagree", with({{4, "3"}}), {"heartbeat", "disagree=2"}, STATE_WARNING,
       "'' IO Yes, SQL Yes, lag 0 s, heartbeat lag 2.5 s, lag and heartbeat lag differ by 2.5 s",
       "lag=2.5s;;;0 seconds_behind=0s;;;0"},
      {"no heartbeat row", with({{4, "8"}}), {"heartbeat"}, STATE_CRITICAL,
       "'' IO Yes, SQL Yes, lag 0 s, no heartbeat row for server id 8", "seconds_behind=0s;;;0"},
      {"verbose", with({{12, "Slave_Pos"}, {13, "0-1-20"}}), {"verbose"}, STATE_OK,
       "'' IO Yes, SQL Yes, lag 0 s, source db1:3306, GTID 0-1-20", "lag=0s;;;0"},
  };
  const std::map<unsigned long, double> heartbeats = {
      {1, 0.5}, {3, 2.5}, {5, -3600.2}, {6, -1.5}, {7, 3650.5}};
  for (const auto& c : cases) {
    channel_settings settings;
    char *warning = nullptr, *critical = nullptr;
    for (const char* text : c.options) {
      const std::string option = text;
      if (option.rfind("w=", 0) == 0) warning = const_cast<char*>(text + 2);
      if (option.rfind("c=", 0) == 0) critical = const_cast<char*>(text + 2);
      settings.subtract_delay |= option == "delay";
      settings.heartbeat |= option == "heartbeat";
      settings.verbose |= option == "verbose";
      if (option == "id=3") settings.heartbeat_server_id = 3;
      if (option.rfind("skew=", 0) == 0) settings.heartbeat_skew = std::stod(option.substr(5));
      if (option.rfind("disagree=", 0) == 0) settings.lag_disagreement = std::stod(option.substr(9));
    }
    set_thresholds(&settings.lag, warning, critical);
    // The same row in MySQL's spelling gives the same verdict (its GTID
    // column says 1 where MariaDB's says how).
    std::vector<const char*> mysql_values = c.values;
    mysql_values[12] = c.values[12] == std::string("No") ? "0" : "1";
    for (const auto& names : {kMariaDb, kMySql}) {
      std::vector<channel_row> channels;
      ASSERT_TRUE(read_channels(Rows(names, names == kMySql ? mysql_values : c.values), &channels));
      ASSERT_EQ(channels.size(), 1u);
      channel_verdict v = judge_channel(channels[0], heartbeats, settings);
      std::string perf;
      for (const auto& item : v.perf) perf += (perf.empty() ? "" : " ") + item;
      EXPECT_EQ(v.state, c.state) << c.what << " in " << names[0];
      EXPECT_EQ(v.text, c.text) << c.what << " in " << names[0];
      EXPECT_EQ(perf, c.perf) << c.what << " in " << names[0];
    }
  }
  std::vector<channel_row> none;
  EXPECT_FALSE(read_channels(Rows({"Connection_name", "Seconds_Behind_Master"}, {"", "0"}), &none));
}

TEST(ReplicaChannels, ReportsTheWorstFirst) {
  std::vector<channel_verdict> verdicts = {
      {STATE_OK, "'a' fine", {"lag_a=0s"}},
      {STATE_CRITICAL, "'b' stopped", {}},
      {STATE_WARNING, "'c' slow", {"lag_c=90s"}},
      missing_channel("d"),
  };
  std::string line;
  EXPECT_EQ(report_channels(verdicts, &line), STATE_CRITICAL);
  EXPECT_EQ(line, "4 channels: 'b' stopped; 'd' not found; 'c' slow; 'a' fine | lag_c=90s lag_a=0s");
  EXPECT_EQ(report_channels({verdicts[0]}, &line), STATE_OK);
  EXPECT_EQ(line, "1 channel: 'a' fine | lag_a=0s");
}

TEST(ReplicaChannels, JudgesReadOnly) {
  using rule = read_only_rule;
  const struct {
    rule wanted;
    bool replica;
    const char* read_only;
    const char* super;  // null: the server has none
    int state;
    std::string text;
  } cases[] = {
      {rule::on, true, "ON", nullptr, STATE_OK, "read_only ON"},
      {rule::on, false, "OFF", nullptr, STATE_CRITICAL, "read_only OFF, expected ON"},
      // On: read_only suffices, super_read_only is shown.
      {rule::on, true, "ON", "OFF", STATE_OK, "read_only ON, super_read_only OFF"},
      {rule::off, false, "OFF", "OFF", STATE_OK, "read_only OFF, super_read_only OFF"},
      {rule::off, false, "ON", "ON", STATE_CRITICAL, "read_only ON, expected OFF"},
      {rule::off, true, "OFF", "ON", STATE_CRITICAL, "super_read_only ON, expected OFF"},
      {rule::automatic, true, "OFF", "OFF", STATE_CRITICAL, "read_only OFF on a replica"},
      {rule::automatic, true, "NO_LOCK", nullptr, STATE_OK, "read_only NO_LOCK"},
      {rule::automatic, false, "OFF", "ON", STATE_CRITICAL,
       "super_read_only ON on a server that is not a replica"},
      {rule::automatic, false, "0", "0", STATE_OK, "read_only 0, super_read_only 0"},
  };
  for (const auto& c : cases) {
    std::string text;
    EXPECT_EQ(judge_read_only(c.wanted, c.replica, c.read_only,
                              c.super ? db_field(c.super) : db_field(), &text),
              c.state)
        << c.text;
    EXPECT_EQ(text, c.text);
  }
}

TEST(ReplicaChannels, StatementAndPrivilegeByServer) {
  const struct {
    const char* info;
    unsigned long version;
    std::string statement, privilege;
  } cases[] = {
      {"10.11.19-MariaDB-0+deb12u1", 101119, "SHOW ALL REPLICAS STATUS", "SLAVE MONITOR"},
      {"10.5.9-MariaDB", 100509, "SHOW ALL REPLICAS STATUS", "SLAVE MONITOR"},
      {"10.5.8-MariaDB", 100508, "SHOW ALL REPLICAS STATUS", "REPLICATION SLAVE ADMIN"},
      {"10.5.2-MariaDB", 100502, "SHOW ALL REPLICAS STATUS", "REPLICATION SLAVE ADMIN"},
      {"10.5.1-MariaDB", 100501, "SHOW ALL REPLICAS STATUS", "REPLICATION CLIENT"},
      {"10.5.0-MariaDB-log", 100500, "SHOW ALL SLAVES STATUS", "REPLICATION CLIENT"},
      {"8.0.22", 80022, "SHOW REPLICA STATUS", "REPLICATION CLIENT"},
      {"8.4.0-commercial", 80400, "SHOW REPLICA STATUS", "REPLICATION CLIENT"},
      {"8.0.21", 80021, "SHOW SLAVE STATUS", "REPLICATION CLIENT"},
      {"5.7.44-log", 50744, "SHOW SLAVE STATUS", "REPLICATION CLIENT"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(replica_status_statement(c.info, c.version), c.statement) << c.info;
    EXPECT_EQ(replica_status_privilege(c.info, c.version), c.privilege) << c.info;
  }
}

TEST(ClusterState, JudgesNodes) {
  const std::map<std::string, std::string> synced = {
      {"wsrep_ready", "ON"}, {"wsrep_connected", "ON"}, {"wsrep_cluster_status", "Primary"},
      {"wsrep_local_state_comment", "Synced"}, {"wsrep_cluster_size", "3"},
      {"wsrep_flow_control_paused", "0.000000"}, {"wsrep_local_recv_queue_avg", "0.25"},
      {"wsrep_flow_control_paused_ns", "5000000000"}, {"wsrep_local_recv_queue", "0"},
      {"wsrep_local_cert_failures", "7"}, {"Uptime", "1000"}};
  auto with = [&synced](std::initializer_list<std::pair<const std::string, std::string>> changes) {
    auto status = synced;
    for (const auto& [name, value] : changes) status[name] = value;
    return status;
  };
  // The previous run, 100 s before, with the same counters; and none.
  const cluster_interval after = {false, 100, 5e9, 7}, first = {};
  // The performance data with the size, the share paused, the receive
  // queue and the rate of certification failures.
  auto perf = [](const char* size, const char* paused, const char* queue, const char* cert) {
    return std::string("size=") + size + ";3:;2:;0 flow_control_paused=" + paused +
           "%;;50;0;100 recv_queue=" + queue + ";10;100;0 recv_queue_avg=0.25;;;0 cert_failure_rate=" +
           cert + ";;;0";
  };
  const std::string perf3 = perf("3", "0", "0", "0");
  const struct {
    const char* what;
    std::string wsrep_on;
    std::map<std::string, std::string> status;
    int state;
    std::string text;
    std::string perf;
    cluster_interval interval;
    bool donor_ok;
  } cases[] = {
      {"no cluster node", "OFF", {}, STATE_UNKNOWN, "not a cluster node", "", after, false},
      {"MySQL", "", {}, STATE_UNKNOWN, "not a cluster node", "", after, false},
      {"synced", "ON", synced, STATE_OK, "Synced, Primary, size 3", perf3, after, false},
      {"a node lost", "ON", with({{"wsrep_cluster_size", "2"}}), STATE_WARNING,
       "Synced, Primary, size 2 (WARNING)", perf("2", "0", "0", "0"), after, false},
      {"alone", "ON", with({{"wsrep_cluster_size", "1"}}), STATE_CRITICAL,
       "Synced, Primary, size 1 (CRITICAL)", perf("1", "0", "0", "0"), after, false},
      {"donor", "ON", with({{"wsrep_local_state_comment", "Donor/Desynced"}}), STATE_WARNING,
       "Donor/Desynced, Primary, size 3", perf3, after, false},
      {"donor, desynced on purpose", "ON", with({{"wsrep_local_state_comment", "Donor/Desynced"}}),
       STATE_OK, "Donor/Desynced, Primary, size 3", perf3, after, true},
      {"joined, even with --donor-ok", "ON", with({{"wsrep_local_state_comment", "Joined"}}),
       STATE_CRITICAL, "Joined, Primary, size 3", perf3, after, true},
      {"non-primary", "ON",
       with({{"wsrep_ready", "OFF"}, {"wsrep_cluster_status", "non-Primary"},
             {"wsrep_local_state_comment", "Initialized"}}),
       STATE_CRITICAL, "not ready, Initialized, non-Primary, size 3", perf3, after, false},
      {"disconnected", "ON", with({{"wsrep_connected", "OFF"}}), STATE_CRITICAL,
       "not connected, Synced, Primary, size 3", perf3, after, false},
      // 7 failures in 1000 s since the start.
      {"first run: since start", "ON", with({{"wsrep_flow_control_paused", "0.751234"}}),
       STATE_CRITICAL, "Synced, Primary, size 3, flow control paused 75.1234% since start (CRITICAL)",
       perf("3", "75.1234", "0", "0.007"), first, false},
      // 60 s of 100 paused, 30 failures; the average since start is 0.
      {"per interval", "ON",
       with({{"wsrep_flow_control_paused_ns", "65000000000"}, {"wsrep_local_cert_failures", "37"}}),
       STATE_CRITICAL, "Synced, Primary, size 3, flow control paused 60% (CRITICAL)",
       perf("3", "60", "0", "0.3"), after, false},
      {"paused longer than the interval by the server's clock", "ON",
       with({{"wsrep_flow_control_paused_ns", "106000000000"}}), STATE_CRITICAL,
       "Synced, Primary, size 3, flow control paused 100% (CRITICAL)",
       perf("3", "100", "0", "0"), after, false},
      {"no time since the previous run", "ON", synced, STATE_OK,
       "Synced, Primary, size 3, flow control paused 0% since start",
       perf("3", "0", "0", "0.007"), {false, 0, 5e9, 7}, false},
      {"receive queue", "ON", with({{"wsrep_local_recv_queue", "12"}}), STATE_WARNING,
       "Synced, Primary, size 3, receive queue 12 (WARNING)", perf("3", "0", "12", "0"), after, false},
      {"missing", "ON", [&synced] { auto s = synced; s.erase("wsrep_cluster_size"); return s; }(),
       STATE_UNKNOWN, "wsrep_cluster_size not reported", "", after, false},
      {"not a number", "ON", with({{"wsrep_local_recv_queue_avg", "x|y"}}), STATE_UNKNOWN,
       "wsrep_local_recv_queue_avg is not a number: x/y", "", after, false},
  };
  cluster_settings settings;
  char size_warning[] = " 3:", size_critical[] = "2:", flow_critical[] = "50";
  char queue_warning[] = "10", queue_critical[] = "100";
  set_thresholds(&settings.size, size_warning, size_critical);
  set_thresholds(&settings.flow_control, nullptr, flow_critical);
  set_thresholds(&settings.recv_queue, queue_warning, queue_critical);
  // The statement asks for every variable judged.
  for (const char* name : cluster_status_names)
    EXPECT_NE(std::string(CLUSTER_STATUS).find(std::string("'") + name + "'"), std::string::npos);
  for (const auto& c : cases) {
    settings.donor_ok = c.donor_ok;
    cluster_verdict v = judge_cluster(c.wsrep_on, c.status, settings, c.interval);
    EXPECT_EQ(v.state, c.state) << c.what;
    EXPECT_EQ(v.text, c.text) << c.what;
    EXPECT_EQ(v.perf, c.perf) << c.what;
    EXPECT_EQ(v.measured, !c.perf.empty()) << c.what;
  }
}

}  // namespace
