// SPDX-License-Identifier: MIT
// Black-box runs of the built check_dbstatus against the private primary and
// its replica: every mode, rates over two runs, a restart, the probes.
#include <mysql.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "test_helpers.h"

namespace {

using Args = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Until \a sql, run on the primary, prints \a want; false after 10 s.
bool Until(const std::string& sql, const std::string& want) {
  for (int i = 0; i < 100; ++i) {
    if (ServerSql("primary", sql) == want) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

class CheckDbstatus : public ::testing::Test {
 protected:
  void SetUp() override { server_ = TestServer::Load(); }

  // The program logged in as the test user on \a port (default: the
  // primary's), keeping its state in a directory of this test.
  RunResult Run(const Args& extra, const std::string& port = "",
                std::map<std::string, std::string> env = kPlainLocale) {
    Args args = {CHECK_DBSTATUS_PATH, "-H", server_.host, "-P", port.empty() ? server_.port : port,
                 "-u", server_.user, "-p", server_.password};
    args.insert(args.end(), extra.begin(), extra.end());
    env["KIVREL_PLUGIN_STATE_DIRECTORY"] = state_.path();
    return RunProgram(args, env);
  }

  // The stock client, logged in as the test user, running \a sql.
  Spawned StartClient(const std::string& sql) {
    const char* client = access("/usr/bin/mariadb", X_OK) == 0 ? "/usr/bin/mariadb" : "/usr/bin/mysql";
    return StartProgram({client, "--no-defaults", "-h", server_.host, "-P", server_.port, "-u",
                         server_.user, "-p" + server_.password, "-N", "-e", sql});
  }

  // Wait up to 5 s for the Uptime of the server \a which to reach \a seconds.
  static bool WaitForUptime(const std::string& which, int seconds) {
    for (int i = 0; i < 50; ++i) {
      std::vector<std::string> row = Split(ServerSql(which, "SHOW GLOBAL STATUS LIKE 'Uptime'"), '\t');
      if (row.size() == 2 && std::stoi(row[1]) >= seconds) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }

  TestServer server_;
  ScopedTempDir state_;
};

// Each mode's value against the figure computed here from the same sample:
// the variables it rests on are expressions of their own in the same run.
TEST_F(CheckDbstatus, EveryMode) {
  // Since start, a rate is the count over the Uptime: at 0 it has no value,
  // at 1 it equals the delta. A slow statement and a refused login give
  // those rates something to count.
  ASSERT_TRUE(WaitForUptime("primary", 2));
  ASSERT_EQ(FinishProgram(StartClient("SET SESSION long_query_time = 0; SELECT 1")).exit_code, 0);
  RunProgram({CHECK_DBSTATUS_PATH, "-H", server_.host, "-P", server_.port, "-u", server_.user,
              "-p", "wrong", "-m", "uptime"}, kPlainLocale);

  using Values = std::vector<double>;
  using Figure = double (*)(const Values&);
  const Figure same = [](const Values& v) { return v[0]; };
  const Figure percent = [](const Values& v) { return 100 * v[0] / v[1]; };
  const Figure hit = [](const Values& v) { return 100 - 100 * v[0] / v[1]; };
  const Figure per_second = [](const Values& v) { return v[0] / v[1]; };
  const char* num = "[0-9]+(?:\\.[0-9]+)?";
  const struct {
    const char* mode;
    const char* label;
    const char* value;  // a pattern
    const char* uom;
    bool counts;        // uses rate() or delta(): the first run counts since start
    const char* ranges;  // the performance data after the unit
    std::vector<std::string> from;  // the variables of its figure
    Figure figure;                  // null: a probe, no figure
  } modes[] = {
      {"uptime", "uptime", "[0-9]+", "s", false, ";600:;;0", {"Uptime"}, same},
      {"connections", "connections", num, "%", false, ";80;95;0;100",
       {"Threads_connected", "@max_connections"}, percent},
      {"connections-peak", "connections peak", num, "%", false, ";;;0;100",
       {"Max_used_connections", "@max_connections"}, percent},
      {"threads-running", "threads running", "[1-9][0-9]*", "", false, ";;;0", {"Threads_running"},
       same},
      {"thread-cache-hit", "thread cache hit", num, "%", true, ";90:;;0;100",
       {"Threads_created", "Connections"}, hit},
      {"table-cache-hit", "table cache hit", num, "%", true, ";90:;;0;100",
       {"Table_open_cache_hits", "Table_open_cache_misses"},
       [](const Values& v) { return 100 * v[0] / (v[0] + v[1]); }},
      {"buffer-pool-hit", "buffer pool hit", num, "%", true, ";99:;95:;0;100",
       {"Innodb_buffer_pool_reads", "Innodb_buffer_pool_read_requests"}, hit},
      {"buffer-pool-wait-free", "buffer pool wait free", "0", "", true, ";1;10;0",
       {"Innodb_buffer_pool_wait_free", "Uptime"}, per_second},
      {"tmp-disk-tables", "tmp disk tables", num, "%", true, ";25;50;0;100",
       {"Created_tmp_disk_tables", "Created_tmp_tables"}, percent},
      {"slow-queries", "slow queries", num, "", true, ";1;10;0", {"Slow_queries", "Uptime"},
       per_second},
      {"aborted-connects", "aborted connects", num, "", true, ";1;10;0",
       {"Aborted_connects", "Uptime"}, per_second},
      {"aborted-clients", "aborted clients", num, "", true, ";1;10;0",
       {"Aborted_clients", "Uptime"}, per_second},
      {"queries", "queries", num, "", true, ";;;0", {"Questions", "Uptime"}, per_second},
      {"open-files", "open files", num, "%", false, ";80;95;0;100",
       {"Open_files", "@open_files_limit"}, percent},
      {"deadlocks", "deadlocks", "0", "", true, ";0.1;1;0", {"Innodb_deadlocks", "Uptime"},
       per_second},
      // Other tests may run statements on the server meanwhile.
      {"long-query", "long query", "[0-9]+", "s", false, ";60;300;0", {}, nullptr},
      {"long-transaction", "long transaction", "[0-9]+", "s", false, ";60;300;0", {}, nullptr},
      {"lock-waits", "lock waits", "[0-9]+", "", false, ";1;10;0", {}, nullptr},
      {"history-list", "history list", "[0-9]+", "", false, ";1000000;5000000;0",
       {"Innodb_history_list_length"}, same},
      {"metadata-lock-waits", "metadata lock waits", "[0-9]+", "", false, ";1;10;0", {}, nullptr},
      {"idle-blocker", "idle blocker", "[0-9]+", "s", false, ";60;600;0", {}, nullptr},
      {"binlog-files", "binlog files", "[1-9][0-9]*", "", false, ";;;0", {}, nullptr},
      {"binlog-space", "binlog space", "[1-9][0-9]*", "B", false, ";;;0", {}, nullptr},
      {"log-waits", "log waits", num, "", true, ";1;10;0", {"Innodb_log_waits", "Uptime"},
       per_second},
      {"refused-connections", "refused connections", num, "", true, ";0;1;0",
       {"Connection_errors_max_connections", "Uptime"}, per_second},
  };
  const std::map<std::string, int> codes = {{"OK", 0}, {"WARNING", 1}, {"CRITICAL", 2}};
  for (const auto& m : modes) {
    std::string perf_label = std::regex_replace(m.label, std::regex(" "), "_");
    Args args = {"-m", m.mode};
    std::string from_message, from_perf;
    for (const std::string& name : m.from) {
      args.insert(args.end(), {"-e", name});
      from_message += ", " + name + " " + num;
      from_perf += " " + name + "=(" + num + ")";
    }
    std::regex line("STATUS (OK|WARNING|CRITICAL): " + std::string(m.label) + " (" + m.value + ")" +
                    m.uom + (m.counts ? " since start" : "") + "( \\((WARNING|CRITICAL)\\))?" +
                    from_message + " \\| " + perf_label + "=(" + num + ")" + m.uom + m.ranges +
                    from_perf + "\n");
    RunResult r = Run(args);
    std::smatch got;
    ASSERT_TRUE(std::regex_match(r.out, got, line)) << m.mode << ": " << r.out;
    EXPECT_EQ(r.exit_code, codes.at(got[1])) << r.out;
    // The metric's state word shows exactly when it is not OK.
    EXPECT_EQ(got[4].str(), got[1] == "OK" ? "" : got[1].str()) << r.out;
    // The performance data has six decimals, the message two (six below
    // 0.005): each at most half its last digit from the true value.
    double perf = std::stod(got[5]);
    EXPECT_NEAR(std::stod(got[2]), perf, 0.005 + 1e-6) << r.out;
    if (!m.figure) continue;
    Values values;
    for (size_t i = 0; i < m.from.size(); ++i) values.push_back(std::stod(got[6 + i]));
    double figure = m.figure(values);
    EXPECT_NEAR(perf, figure, 1e-6 + 1e-9 * std::fabs(figure)) << r.out;
  }
}

TEST_F(CheckDbstatus, RatesAndDeltasBetweenRuns) {
  const Args first_metrics = {"-e", "delta(Slow_queries)", "-e", "rate(Slow_queries)", "--label",
                              "slow rate"};
  auto before_first = Clock::now();
  RunResult first = Run(first_metrics);
  auto after_first = Clock::now();
  EXPECT_TRUE(std::regex_match(first.out, std::regex(
      "STATUS OK: delta\\(Slow_queries\\) [0-9]+ since start, slow rate [0-9.]+ since start \\| "
      "delta\\(Slow_queries\\)=[0-9]+ 'slow rate'=[0-9.]+\n"))) << first.out;

  RunResult slow = FinishProgram(StartClient(
      "SET SESSION long_query_time = 0.1; SELECT SLEEP(0.2); SELECT SLEEP(0.2); SELECT SLEEP(0.2)"));
  ASSERT_EQ(slow.exit_code, 0) << slow.err;

  // Other ranges keep the history: they are not part of the state's key.
  Args second_metrics = first_metrics;
  second_metrics.insert(second_metrics.begin() + 2, {"-w", "2"});
  auto before_second = Clock::now();
  RunResult second = Run(second_metrics);
  auto after_second = Clock::now();
  std::smatch m;
  ASSERT_TRUE(std::regex_match(second.out, m, std::regex(
      "STATUS WARNING: delta\\(Slow_queries\\) 3 \\(WARNING\\), slow rate [0-9.]+ \\| "
      "delta\\(Slow_queries\\)=3;2 'slow rate'=([0-9.]+)\n"))) << second.out;
  EXPECT_EQ(second.exit_code, 1);
  // Three slow statements over the time between the two samples, which
  // lies between the gap of the runs and the span of both.
  double seconds = 3 / std::stod(m[1]);
  EXPECT_GE(seconds, Seconds(before_second - after_first) - 0.001) << second.out;
  EXPECT_LE(seconds, Seconds(after_second - before_first) + 0.001) << second.out;

  const std::string dir = state_.path() + "/" + std::to_string(geteuid()) + "/check_dbstatus";
  auto files = std::filesystem::directory_iterator(dir);
  EXPECT_EQ(std::distance(begin(files), end(files)), 1);

  // The same Uptime a minute earlier: a restart since, though the Uptime
  // now passes the sample's.
  const std::string state = begin(std::filesystem::directory_iterator(dir))->path();
  std::stringstream text;
  text << std::ifstream(state).rdbuf();
  std::vector<std::string> lines = Split(text.str(), '\n'), sample = Split(lines.back(), ' ');
  ASSERT_EQ(sample.size(), 3u) << text.str();
  lines.back() = sample[0] + " " + std::to_string(std::stod(sample[1]) - 60) + " " + sample[2];
  std::string changed;
  for (const std::string& line : lines) changed += line + "\n";
  std::ofstream(state) << changed;
  RunResult restarted = Run(first_metrics);
  EXPECT_TRUE(std::regex_search(restarted.out, std::regex("since start, slow rate .* since start")))
      << restarted.out;
}

// Three runs a second or more apart: a window counts from the first run,
// naming the interval it covers, a plain delta from the previous one;
// --warmup holds the young server's alarms of changes, not the uptime's;
// a ratio over a counter that never moves has no activity.
TEST_F(CheckDbstatus, WindowsWarmupAndNoActivity) {
  const Args metrics = {"-m", "uptime", "-w", "1000000:", "-e", "delta(Uptime, 1h)", "-c", "0",
                        "-e", "delta(Uptime)", "-e", "1/delta(Com_help)"};
  Args warm = metrics;
  warm.insert(warm.end(), {"--warmup", "168h"});
  auto text = [](long s) {
    return (s >= 3600 ? std::to_string(s / 3600) + "h" : "") +
           (s % 3600 >= 60 ? std::to_string(s % 3600 / 60) + "m" : "") +
           (s % 60 ? std::to_string(s % 60) + "s" : "");
  };
  std::smatch m;
  RunResult first = Run(warm);
  ASSERT_TRUE(std::regex_match(first.out, m, std::regex(
      "STATUS WARNING: uptime ([0-9]+)s \\(WARNING\\), delta\\(Uptime, 1h\\) [0-9]+ since start, "
      "delta\\(Uptime\\) [0-9]+ since start, 1/delta\\(Com_help\\) no activity, warming up, (.+) left "
      "\\| uptime=[0-9]+s;1000000:;;0 'delta\\(Uptime, 1h\\)'=[0-9]+;;0 delta\\(Uptime\\)=[0-9]+\n")))
      << first.out;
  EXPECT_EQ(first.exit_code, 1);
  const long uptime1 = std::stol(m[1]);
  EXPECT_EQ(m[2], text(7 * 24 * 3600 - uptime1));

  ASSERT_TRUE(WaitForUptime("primary", uptime1 + 1));
  RunResult second = Run(warm);
  ASSERT_TRUE(std::regex_search(second.out, m, std::regex("^STATUS WARNING: uptime ([0-9]+)s .*, warming up")))
      << second.out;
  const long uptime2 = std::stol(m[1]);

  ASSERT_TRUE(WaitForUptime("primary", uptime2 + 1));
  RunResult third = Run(metrics);
  ASSERT_TRUE(std::regex_match(third.out, m, std::regex(
      "STATUS CRITICAL: uptime ([0-9]+)s \\(WARNING\\), delta\\(Uptime, 1h\\) ([0-9]+) delta over "
      "([0-9]+)s \\(CRITICAL\\), delta\\(Uptime\\) ([0-9]+), 1/delta\\(Com_help\\) no activity \\| .*\n")))
      << third.out;
  EXPECT_EQ(third.exit_code, 2);
  const long uptime3 = std::stol(m[1]);
  EXPECT_EQ(std::stol(m[2]), uptime3 - uptime1) << third.out;
  EXPECT_LE(std::labs(std::stol(m[3]) - (uptime3 - uptime1)), 1) << third.out;
  EXPECT_EQ(std::stol(m[4]), uptime3 - uptime2) << third.out;
}

TEST_F(CheckDbstatus, SinceStartAfterRestart) {
  const Args metrics = {"-m", "uptime", "-e", "delta(Uptime)", "-e", "rate(Uptime)"};
  // A restart shows as another start of the server (a sample's time less
  // its Uptime) or as counters set back, Uptime among them here: the sample
  // must be older than the restarted server will be.
  WaitForUptime("replica", 3);
  Run(metrics, server_.replica_port);
  RunResult again = Run(metrics, server_.replica_port);
  EXPECT_EQ(again.out.find("since start"), std::string::npos) << again.out;

  RunResult restart = RunProgram({TEST_SERVER_SCRIPT, "restart", TEST_SERVER_DIR, "replica"});
  ASSERT_EQ(restart.exit_code, 0) << restart.err;
  // A rate over an Uptime of 0 has no value.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  RunResult after = Run(metrics, server_.replica_port);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(after.out, m, std::regex(
      "STATUS WARNING: uptime ([0-9]+)s \\(WARNING\\), delta\\(Uptime\\) ([0-9]+) since start, "
      "rate\\(Uptime\\) 1 since start \\| uptime=[0-9]+s;600:;;0 delta\\(Uptime\\)=[0-9]+ "
      "rate\\(Uptime\\)=1\n"))) << after.out;
  EXPECT_EQ(m[1], m[2]);
  EXPECT_EQ(after.exit_code, 1);
}

TEST_F(CheckDbstatus, ProbesSeeQueriesTransactionsAndLockWaits) {
  // One client holds a row lock in an open transaction, then sleeps; a
  // second one, started a second later, waits for that lock. The check
  // runs once the sleep has lasted 4 s, and the lock wait is on.
  const std::string sleep_time =
      "SELECT MAX(TIME) >= %d FROM information_schema.PROCESSLIST WHERE INFO LIKE 'SELECT SLEEP(8)%%'";
  auto slept = [&](int seconds) {
    char sql[256];
    snprintf(sql, sizeof sql, sleep_time.c_str(), seconds);
    return Until(sql, "1\n");
  };
  Spawned holder = StartProgram({TEST_SERVER_SCRIPT, "sql", TEST_SERVER_DIR, "primary",
                                 "BEGIN; UPDATE kivrel_test.scratch SET num = num + 1 WHERE id = 1; "
                                 "SELECT SLEEP(8),\n'a|b'; ROLLBACK"});
  EXPECT_TRUE(slept(1));
  Spawned waiter = StartClient("UPDATE kivrel_test.scratch SET num = num + 1 WHERE id = 1");
  EXPECT_TRUE(Until("SELECT COUNT(*) FROM information_schema.INNODB_LOCK_WAITS", "1\n"));
  EXPECT_TRUE(slept(4));
  RunResult r = Run({"-m", "long-query", "-m", "long-transaction", "-m", "lock-waits", "-v"});
  FinishProgram(holder);
  FinishProgram(waiter);

  std::smatch m;
  ASSERT_TRUE(std::regex_match(r.out, m, std::regex(
      "STATUS OK: long query ([0-9]+)s, long transaction ([0-9]+)s, lock waits 1 \\| "
      "long_query=[0-9]+s;60;300;0 long_transaction=[0-9]+s;60;300;0 lock_waits=1;1;10;0\n"
      "long query: id ([0-9]+), user [^,]+, database NULL: SELECT SLEEP\\(8\\), 'a/b'\n"
      "long transaction: thread ([0-9]+)\n"))) << r.out;
  EXPECT_GE(std::stoi(m[1]), 4);
  EXPECT_GE(std::stoi(m[2]), 4);
  EXPECT_EQ(m[3], m[4]) << "the sleeping statement holds the oldest transaction";
}

TEST_F(CheckDbstatus, MessagesAndFailures) {
  auto counters = [](int n) {
    Args args;
    for (int i = 1; i <= n; ++i)
      args.insert(args.end(), {"-e", "rate(c" + std::to_string(i) + ")+delta(c" + std::to_string(i) + ")"});
    return args;
  };
  const struct {
    Args args;
    int code;
    std::string out;  // the output, or its start
  } cases[] = {
      {{"-e", "1/0", "-e", "@log_bin", "-e", "@max_connections/2", "--label", "half max", "-w", "40",
        "-c", "@0:10"}, 0, "STATUS OK: 1/0 no data, @log_bin 1, half max 32 | @log_bin=1 'half max'=32;40;@10\n"},
      {{"-m", "lock-waits", "-w", "1:", "-c", "@5:", "--uom", "tx"}, 1,
       "STATUS WARNING: lock waits 0tx (WARNING) | lock_waits=0tx;1:;@5:;0\n"},
      {{"-e", "1+"}, 3, "STATUS UNKNOWN: Syntax error in '1+' at its end\n"},
      {{"-m", "uptime", "-e", "Nosuch"}, 3,
       "STATUS UNKNOWN: No status variable Nosuch on the server (in 'Nosuch')\n"},
      {{"-P", ClosedPort(), "-m", "uptime"}, 2, "STATUS CRITICAL: Can't connect to server on "},
      {{"-w", "1", "-m", "uptime"}, 3,
       "STATUS UNKNOWN: -w, -c, --label and --uom must follow the -m or -e they apply to\nUsage:\n"},
      {{}, 3, "STATUS UNKNOWN: At least one metric is required (-m or -e)\nUsage:\n"},
      {{"-m", "nosuch"}, 3, "STATUS UNKNOWN: Unknown mode - nosuch\nUsage:\n"},
      {{"-m", "uptim"}, 3, "STATUS UNKNOWN: Unknown mode - uptim\nUsage:\n"},
      {{"-e", "1/800"}, 0, "STATUS OK: 1/800 0.00125 | 1/800=0.00125\n"},
      // At most 32 different counters, each as often as one likes.
      {counters(32), 3, "STATUS UNKNOWN: No status variable c1 on the server (in 'rate(c1)+delta(c1)')\n"},
      {counters(33), 3,
       "STATUS UNKNOWN: Too many different counters in rate() and delta() (at most 32)\nUsage:\n"},
      {{"-m", "uptime", "--uom", "5"}, 3, "STATUS UNKNOWN: Invalid unit - 5\n"},
      // A label must neither end itself in the performance data nor break
      // the line; what the usage line echoes is made safe too.
      {{"-m", "uptime", "--label", "a|b"}, 3, "STATUS UNKNOWN: Invalid label - a/b\n"},
      {{"-m", "uptime", "--label", "a=b"}, 3, "STATUS UNKNOWN: Invalid label - a=b\n"},
      {{"-m", "uptime", "--label", "it's"}, 3, "STATUS UNKNOWN: Invalid label - it's\n"},
      {{"-m", "uptime", "--label", "a\nb"}, 3, "STATUS UNKNOWN: Invalid label - a b\n"},
      {{"-e", "@ft_boolean_syntax"}, 3,
       "STATUS UNKNOWN: The system variable @ft_boolean_syntax holds '+ -><()~*:\"\"&/', which is "
       "no number (in '@ft_boolean_syntax')\n"},
      {{"-e", "1|2"}, 3, "STATUS UNKNOWN: Syntax error in '1/2' at '/'\n"},
      {{"-m", "uptime", "extra"}, 3, "STATUS UNKNOWN: Unexpected argument - extra\n"},
      {{"-m", "uptime", "-c", "20:10"}, 3, "STATUS UNKNOWN: Range format incorrect\n"},
      // Measures that a server or a connection lacks.
      {{"-P", server_.replica_port, "-m", "binlog-files"}, 3, "STATUS UNKNOWN: binary logging is off\n"},
      {{"-m", "uptime", "-m", "tls-cert-expiry"}, 3,
       "STATUS UNKNOWN: tls_cert_days() needs a TLS connection (-l)\n"},
      {{"-u", server_.empty_user, "-p", "", "-m", "binlog-space"}, 3,
       "STATUS UNKNOWN: Query failed: the check needs the BINLOG MONITOR privilege (--check-grants "
       "lists each grant missing): "},
      {{"-m", "autoinc-headroom", "--max-tables", "0"}, 3,
       "STATUS UNKNOWN: --max-tables must be a whole number from 1 to 100000000 - 0\nUsage:\n"},
      {{"-m", "long-query", "--ignore-user", "a("}, 3,
       "STATUS UNKNOWN: Invalid regular expression (Unmatched ( or \\() - a(\nUsage:\n"},
  };
  for (const auto& c : cases) {
    RunResult r = Run(c.args);
    EXPECT_EQ(r.exit_code, c.code) << r.out;
    EXPECT_EQ(r.out.compare(0, c.out.size(), c.out), 0) << r.out;
    // One status line; a usage error adds the synopsis below it.
    if (r.out.find("\nUsage:\n") == std::string::npos) {
      EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << "one line: " << r.out;
    }
  }

  RunResult list = Run({"-m", "connections", "--mode=list"});
  EXPECT_EQ(list.exit_code, 0);
  EXPECT_EQ(Split(list.out, '\n').size(), 29u) << list.out;
  EXPECT_NE(list.out.find("\nconnections            %        80         95         "
                          "100*Threads_connected/@max_connections\n"), std::string::npos) << list.out;

  RunResult german = Run({"-m", "lock-waits", "-w", "1:", "-e", "1/0"}, "", kGermanLocale);
  EXPECT_EQ(german.out, "STATUS WARNUNG: Sperrwartende 0 (WARNUNG), 1/0 keine Daten | lock_waits=0;1:;10;0\n");
}

// The days from now to the end of the certificate in \a path, from the file.
double CertificateDays(const std::string& path) {
  FILE* file = fopen(path.c_str(), "r");
  if (!file) return NAN;
  X509* cert = PEM_read_X509(file, nullptr, nullptr, nullptr);
  fclose(file);
  int days = 0, seconds = 0;
  bool ok = cert && ASN1_TIME_diff(&days, &seconds, nullptr, X509_get0_notAfter(cert));
  X509_free(cert);
  return ok ? days + seconds / 86400.0 : NAN;
}

TEST_F(CheckDbstatus, BinaryLogsCertificateAndAutoincHeadroom) {
  // The primary keeps a binary log (the replica none: MessagesAndFailures);
  // its own list, read before and after the check, brackets the figures.
  auto logs = [] {
    std::pair<size_t, double> sum = {0, 0};
    for (const std::string& line : Split(ServerSql("primary", "SHOW BINARY LOGS"), '\n')) {
      sum.first++;
      sum.second += std::stod(Split(line, '\t').at(1));
    }
    return sum;
  };
  auto before = logs();
  RunResult binlog = Run({"-m", "binlog-files", "-m", "binlog-space"});
  auto after = logs();
  std::smatch m;
  ASSERT_TRUE(std::regex_match(binlog.out, m, std::regex(
      "STATUS OK: binlog files ([0-9]+), binlog space ([0-9]+)B \\| binlog_files=\\1;;;0 "
      "binlog_space=\\2B;;;0\n"))) << binlog.out;
  EXPECT_TRUE(std::stoul(m[1]) == before.first || std::stoul(m[1]) == after.first) << binlog.out;
  EXPECT_GE(std::stod(m[2]), before.second) << binlog.out;
  EXPECT_LE(std::stod(m[2]), after.second) << binlog.out;

  // Over TLS, the days until the server's certificate ends, as the file says.
  RunResult tls = Run({"-l", "-C", server_.tls_ca, "-m", "tls-cert-expiry", "-w", "4000:"});
  std::string dir = server_.tls_ca.substr(0, server_.tls_ca.rfind('/'));
  double days = CertificateDays(dir + "/server.pem");
  ASSERT_TRUE(std::regex_match(tls.out, m, std::regex(
      "STATUS WARNING: tls cert expiry [0-9.]+d \\(WARNING\\) \\| "
      "tls_cert_expiry=([0-9.]+);4000:;7:\n"))) << tls.out;
  EXPECT_NEAR(std::stod(m[1]), days, 0.001) << tls.out;

  // A BIGINT UNSIGNED past the signed maximum has used half its range; a
  // TINYINT filled to 120 of 127 is past the warning.
  ServerSql("primary",
            "DROP TABLE IF EXISTS kivrel_test.autoinc_big, kivrel_test.autoinc_tiny;"
            "CREATE TABLE kivrel_test.autoinc_big (id BIGINT UNSIGNED AUTO_INCREMENT PRIMARY KEY)"
            " AUTO_INCREMENT = 9223372036854775900;"
            "INSERT INTO kivrel_test.autoinc_big VALUES (NULL)");
  RunResult big = Run({"-m", "autoinc-headroom"});
  ServerSql("primary",
            "CREATE TABLE kivrel_test.autoinc_tiny (id TINYINT AUTO_INCREMENT PRIMARY KEY);"
            "INSERT INTO kivrel_test.autoinc_tiny VALUES (119);"
            "INSERT INTO kivrel_test.autoinc_tiny VALUES (NULL)");
  RunResult tiny = Run({"-m", "autoinc-headroom"});
  RunResult capped = Run({"-m", "autoinc-headroom", "--max-tables", "1"});
  ServerSql("primary", "DROP TABLE kivrel_test.autoinc_big, kivrel_test.autoinc_tiny");
  // The performance data's value, against the figure of the column's range.
  const std::string perf = " \\| autoinc_used=([0-9.]+)%;80;95;0;100\n";
  ASSERT_TRUE(std::regex_match(big.out, m, std::regex(
      "STATUS OK: autoinc used [0-9.]+% in kivrel_test\\.autoinc_big\\.id" + perf))) << big.out;
  EXPECT_NEAR(std::stod(m[1]), 100 * 9223372036854775900.0 / 18446744073709551615.0, 1e-6);
  ASSERT_TRUE(std::regex_match(tiny.out, m, std::regex(
      "STATUS WARNING: autoinc used [0-9.]+% in kivrel_test\\.autoinc_tiny\\.id \\(WARNING\\)" +
      perf))) << tiny.out;
  EXPECT_NEAR(std::stod(m[1]), 100.0 * 120 / 127, 1e-6);
  EXPECT_EQ(capped.out, "STATUS UNKNOWN: autoinc_used(): more tables have an auto-increment column "
                        "than --max-tables allows (1)\n");
  EXPECT_EQ(capped.exit_code, 3);
}

TEST_F(CheckDbstatus, MetadataLockWaitsAndIdleBlocker) {
  ServerSql("primary",
            "DROP TABLE IF EXISTS kivrel_test.mdl_probe;"
            "CREATE TABLE kivrel_test.mdl_probe (id INT PRIMARY KEY, n INT NOT NULL) ENGINE = InnoDB;"
            "INSERT INTO kivrel_test.mdl_probe VALUES (1, 0)");
  // A session of the test user reads a row in a transaction and sits idle.
  MYSQL* holder = mysql_init(nullptr);
  ASSERT_TRUE(mysql_real_connect(holder, server_.host.c_str(), server_.user.c_str(),
                                 server_.password.c_str(), nullptr, std::stoi(server_.port),
                                 nullptr, 0)) << mysql_error(holder);
  auto began = Clock::now();
  ASSERT_EQ(mysql_query(holder, "BEGIN"), 0);
  ASSERT_EQ(mysql_query(holder, "SELECT n FROM kivrel_test.mdl_probe WHERE id = 1 LOCK IN SHARE MODE"), 0);
  mysql_free_result(mysql_store_result(holder));
  const std::string holder_id = std::to_string(mysql_thread_id(holder));
  // The administrator waits for its row, then to ALTER its table.
  Spawned update = StartProgram({TEST_SERVER_SCRIPT, "sql", TEST_SERVER_DIR, "primary",
                                 "UPDATE kivrel_test.mdl_probe SET n = n + 1 WHERE id = 1"});
  EXPECT_TRUE(Until("SELECT COUNT(*) FROM information_schema.INNODB_TRX WHERE trx_state = 'LOCK WAIT'"
                    " AND trx_query LIKE 'UPDATE kivrel_test.mdl_probe%'", "1\n"));
  Spawned alter = StartProgram({TEST_SERVER_SCRIPT, "sql", TEST_SERVER_DIR, "primary",
                                "ALTER TABLE kivrel_test.mdl_probe ADD COLUMN m INT"});
  EXPECT_TRUE(Until("SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE INFO LIKE "
                    "'ALTER TABLE kivrel_test.mdl_probe%' AND STATE = 'Waiting for table metadata lock'",
                    "1\n"));
  EXPECT_TRUE(Until("SELECT TIMESTAMPDIFF(SECOND, trx_started, NOW()) >= 2 FROM "
                    "information_schema.INNODB_TRX WHERE trx_mysql_thread_id = " + holder_id, "1\n"));
  RunResult seen = Run({"-m", "metadata-lock-waits", "-m", "idle-blocker", "-w", "1", "-v"});
  double held = Seconds(Clock::now() - began);
  const std::string admin = getpwuid(geteuid())->pw_name;
  RunResult ignoring = Run({"-m", "metadata-lock-waits", "-m", "idle-blocker", "-v", "--ignore-user",
                            "^" + admin + "$", "--ignore-user", "^" + server_.user + "$"});
  mysql_close(holder);
  EXPECT_EQ(FinishProgram(update).exit_code, 0);
  EXPECT_EQ(FinishProgram(alter).exit_code, 0);
  // The row-lock wait has ended and counts in the server's average.
  RunResult rows = Run({"-m", "row-lock-time", "-e", "Innodb_row_lock_time", "-e", "Innodb_row_lock_waits"});
  ServerSql("primary", "DROP TABLE kivrel_test.mdl_probe");

  std::smatch m;
  ASSERT_TRUE(std::regex_match(seen.out, m, std::regex(
      "STATUS WARNING: metadata lock waits 1, idle blocker ([0-9]+)s \\(WARNING\\) \\| "
      "metadata_lock_waits=1;1;10;0 idle_blocker=\\1s;1;600;0\n"
      "idle blocker: id ([0-9]+), user " + server_.user + ", host 127\\.0\\.0\\.1:[0-9]+\n"))) << seen.out;
  EXPECT_GE(std::stoi(m[1]), 2) << seen.out;
  EXPECT_LE(std::stoi(m[1]), held + 1) << seen.out;
  EXPECT_EQ(m[2], holder_id) << seen.out;
  EXPECT_EQ(ignoring.out, "STATUS OK: metadata lock waits 0, idle blocker 0s | "
                          "metadata_lock_waits=0;1;10;0 idle_blocker=0s;60;600;0\nidle blocker: none\n");

  const char* num = "([0-9]+(?:\\.[0-9]+)?)";
  ASSERT_TRUE(std::regex_match(rows.out, m, std::regex(
      std::string("STATUS [A-Z]+: row lock time [0-9.]+ms since start.*, Innodb_row_lock_time [0-9]+, "
                  "Innodb_row_lock_waits [1-9][0-9]* \\| row_lock_time=") + num +
      "ms;100;1000;0 Innodb_row_lock_time=" + num + " Innodb_row_lock_waits=" + num + "\n"))) << rows.out;
  EXPECT_NEAR(std::stod(m[1]), std::stod(m[2]) / std::stod(m[3]), 1e-6) << rows.out;
}

}  // namespace
