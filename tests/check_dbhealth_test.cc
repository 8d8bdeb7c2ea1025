// SPDX-License-Identifier: MIT
// Black-box runs of the built check_dbhealth against the private primary and
// its replica.
#include <algorithm>
#include <chrono>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "test_helpers.h"

namespace {

using Args = std::vector<std::string>;

const char kUsage[] =
    "Usage:\n"
    " check_dbhealth [-d database] [-H host] [-P port] [-s socket]\n"
    "       [-u user] [-p password] [-S] [-l] [-a cert] [-k key]\n"
    "       [-C ca-cert] [-D ca-dir] [-L ciphers] [-f optfile] [-g group]\n";

const std::vector<std::string> kUnitless = {"Open_files", "Open_tables", "Qcache_free_memory",
                                            "Qcache_queries_in_cache", "Threads_connected",
                                            "Threads_running"};
const std::vector<std::string> kCounters = {
    "Connections", "Qcache_hits", "Qcache_inserts", "Qcache_lowmem_prunes", "Qcache_not_cached",
    "Queries", "Questions", "Table_locks_waited", "Uptime"};

class CheckDbhealth : public ::testing::Test {
 protected:
  void SetUp() override { server_ = TestServer::Load(); }

  // The program logged in as the test user on \a port, then \a extra.
  Args Login(const std::string& port, const Args& extra = {}) const {
    Args args = {CHECK_DBHEALTH_PATH, "-H", server_.host, "-P", port,
                 "-u", server_.user, "-p", server_.password};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }

  TestServer server_;
};

// The performance data must be the fifteen status variables in the server's
// row order, each once; counters carry the unit "c".
void ExpectStatusItems(const std::string& perf, const std::string& lag_item) {
  std::string items = perf;
  if (!lag_item.empty()) {
    ASSERT_GE(items.size(), lag_item.size() + 1) << perf;
    EXPECT_EQ(items.substr(items.size() - lag_item.size() - 1), " " + lag_item);
    items.resize(items.size() - lag_item.size() - 1);
  }
  std::string names_in_server_order;
  for (const std::string& row : Split(ServerSql("primary", "SHOW GLOBAL STATUS"), '\n')) {
    std::string name = row.substr(0, row.find('\t'));
    for (const auto* table : {&kUnitless, &kCounters})
      for (const std::string& wanted : *table)
        if (name == wanted) names_in_server_order += name + " ";
  }
  std::string names;
  for (const std::string& item : Split(items, ' ')) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(item, m, std::regex("([A-Za-z_]+)=([0-9]+)(c?)"))) << item;
    bool counter = std::find(kCounters.begin(), kCounters.end(), m[1]) != kCounters.end();
    EXPECT_EQ(m[3] == "c", counter) << item;
    names += m[1].str() + " ";
  }
  EXPECT_EQ(names, names_in_server_order);
  EXPECT_EQ(Split(names, ' ').size(), 15u);
}

TEST_F(CheckDbhealth, StatisticsAndStatusVariables) {
  // Over TCP, over the socket of -s and over an absolute path given to -H.
  for (const Args& args :
       {Login(server_.port),
        Args{CHECK_DBHEALTH_PATH, "-s", server_.socket, "-u", server_.user, "-p", server_.password},
        Args{CHECK_DBHEALTH_PATH, "-H", server_.socket, "-u", server_.user, "-p", server_.password}}) {
    RunResult r = RunProgram(args, kPlainLocale);
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(r.err, "");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(r.out, m, std::regex(
        "(Uptime: [0-9]+  Threads: [0-9]+  Questions: [0-9]+ .*"
        "Queries per second avg: [0-9.]+)\\|(.*)\n"))) << r.out;
    ExpectStatusItems(m[2], "");
  }
}

TEST_F(CheckDbhealth, ConnectFailures) {
  const struct {
    Args args;
    int code;
    std::string out;  // a prefix of the one line printed
  } cases[] = {
      {{"-H", server_.host, "-P", server_.port, "-u", server_.user, "-p", "wrong", "-n"}, 0,
       "MySQL OK - Version: unknown (protocol 10)\n"},
      {{"-H", server_.host, "-P", server_.port, "-u", server_.user, "-p", "wrong"}, 2,
       "Access denied for user 'kivrel'@'127.0.0.1' (using password: YES)\n"},
      {{"-H", "nosuchhost.invalid", "-n"}, 1, "Unknown server host 'nosuchhost.invalid'"},
      {{"-H", "127.0.0.1", "-P", ClosedPort()}, 2, "Can't connect to server on '127.0.0.1' ("},
  };
  for (const auto& c : cases) {
    Args args = {CHECK_DBHEALTH_PATH};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult r = RunProgram(args, kPlainLocale);
    EXPECT_EQ(r.exit_code, c.code) << r.out;
    EXPECT_EQ(r.out.compare(0, c.out.size(), c.out), 0) << r.out;
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << "one line: " << r.out;
  }
}

// All replica outcomes in one test: stopping the SQL thread must not meet
// another test's look at the replica.
TEST_F(CheckDbhealth, ReplicaCheck) {
  const std::string aborted_before = ServerSql("replica", "SHOW GLOBAL STATUS LIKE 'Aborted_clients'");
  const std::string running = "Slave IO: Yes Slave SQL: Yes Seconds Behind Master: 0";

  RunResult good = RunProgram(Login(server_.replica_port, {"-S", "-vvv"}), kPlainLocale);
  EXPECT_EQ(good.exit_code, 0) << good.out;
  std::smatch m;
  ASSERT_TRUE(std::regex_match(good.out, m, std::regex(
      "seconds_behind_field\\(index [0-9]+\\)=0\nUptime: [^|\n]* " + running + "\\|(.*)\n")))
      << good.out;
  ExpectStatusItems(m[1], "'seconds behind master'=0s;0;0");

  const struct {
    Args extra;
    int code;
    std::string prefix;
    std::string lag_item;
  } slow[] = {
      {{"-S", "-w", "1:"}, 1, "SLOW_SLAVE WARNING: " + running + "|", "'seconds behind master'=0s;1;0"},
      {{"-S", "-w", "5", "--critical=1:"}, 2, "SLOW_SLAVE CRITICAL: " + running + "|",
       "'seconds behind master'=0s;5;1"},
  };
  for (const auto& c : slow) {
    RunResult r = RunProgram(Login(server_.replica_port, c.extra), kPlainLocale);
    EXPECT_EQ(r.exit_code, c.code) << r.out;
    ASSERT_EQ(r.out.compare(0, c.prefix.size(), c.prefix), 0) << r.out;
    ASSERT_EQ(r.out.back(), '\n');
    ExpectStatusItems(r.out.substr(c.prefix.size(), r.out.size() - c.prefix.size() - 1),
                      c.lag_item);
  }

  RunResult primary = RunProgram(Login(server_.port, {"-S"}), kPlainLocale);
  EXPECT_EQ(primary.out, "No slaves defined\n");
  EXPECT_EQ(primary.exit_code, 1);

  ServerSql("replica", "STOP SLAVE SQL_THREAD");
  RunResult stopped = RunProgram(Login(server_.replica_port, {"-S", "-vvv"}), kPlainLocale);
  ServerSql("replica", "START SLAVE SQL_THREAD");
  EXPECT_EQ(stopped.out, "Slave IO: Yes Slave SQL: No Seconds Behind Master: NULL\n");
  EXPECT_EQ(stopped.exit_code, 2);
  EXPECT_TRUE(ServerSync());

  // Without -S no replica query is sent: the replica's own statement count
  // for it stays put.
  const std::string asked = "SHOW GLOBAL STATUS LIKE 'Com_show_slave_status'";
  std::string before = ServerSql("replica", asked);
  RunResult plain = RunProgram(Login(server_.replica_port), kPlainLocale);
  EXPECT_EQ(plain.exit_code, 0);
  EXPECT_EQ(plain.out.find("Slave"), std::string::npos) << plain.out;
  EXPECT_EQ(ServerSql("replica", asked), before);

  // In German; the performance data keeps the dot.
  RunResult german = RunProgram(Login(server_.replica_port, {"-S", "-w", "1.5:"}), kGermanLocale);
  EXPECT_EQ(german.out.compare(0, 21, "SLOW_SLAVE WARNUNG: S"), 0) << german.out;
  EXPECT_NE(german.out.find("'seconds behind master'=0s;1.5;0\n"), std::string::npos)
      << german.out;

  // Every ending closed its connection: the server counted no aborted
  // client. It notices a dropped connection a moment after the exit.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(ServerSql("replica", "SHOW GLOBAL STATUS LIKE 'Aborted_clients'"), aborted_before);
}

TEST_F(CheckDbhealth, TlsUsers) {
  const std::string ca = "--ca-cert=" + server_.tls_ca;
  const struct {
    std::string user, password;
    Args tls;
    int code;
  } cases[] = {
      {server_.ssl_user, server_.ssl_password, {}, 2},
      {server_.ssl_user, server_.ssl_password, {"-l", "-C", server_.tls_ca}, 0},
      {server_.x509_user, server_.x509_password, {"--ssl", ca}, 2},
      {server_.x509_user, server_.x509_password,
       {"-l", ca, "-a", server_.tls_client_cert, "-k", server_.tls_client_key}, 0},
  };
  for (const auto& c : cases) {
    Args args = {CHECK_DBHEALTH_PATH, "-H", server_.host, "-P", server_.port, "-u", c.user,
                 "-p", c.password};
    args.insert(args.end(), c.tls.begin(), c.tls.end());
    RunResult r = RunProgram(args, kPlainLocale);
    EXPECT_EQ(r.exit_code, c.code) << r.out;
    EXPECT_EQ(r.out.compare(0, 7, c.code == 0 ? "Uptime:" : "Access "), 0) << r.out;
  }
}

TEST_F(CheckDbhealth, OptionsFromEverySource) {
  ScopedTempDir dir;
  std::string cnf = dir.WriteFile("my.cnf", "[client]\nuser=nobody\n[kivrel]\nuser=" +
                                                server_.user + "\npassword=" + server_.password + "\n");
  std::string ini = dir.WriteFile("plugins.ini", "[check_dbhealth]\nhostname=" + server_.host +
                                                     "\nport=" + server_.port + "\nusername=" +
                                                     server_.user + "\npassword=" + server_.password + "\n");
  const Args ok[] = {
      // Host, user, password, database and port as positional arguments.
      {server_.host, server_.user, server_.password, server_.database, server_.port},
      // After -H the first positional argument is the user.
      {"-H", server_.host, server_.user, server_.password, server_.database, server_.port},
      // Positional ports end at the first text that is none.
      {"-H", server_.host, "-u", server_.user, "-p", server_.password, "-d", server_.database,
       server_.port, "abc", ClosedPort()},
      {"-H", server_.host, "-P", server_.port, "-f", cnf, "-g", "kivrel"},
      {"--extra-opts=@" + ini},
  };
  for (const Args& extra : ok) {
    Args args = {CHECK_DBHEALTH_PATH};
    args.insert(args.end(), extra.begin(), extra.end());
    RunResult r = RunProgram(args, kPlainLocale);
    EXPECT_EQ(r.exit_code, 0) << extra.back() << ": " << r.out;
    EXPECT_EQ(r.out.compare(0, 7, "Uptime:"), 0) << r.out;
  }
  // Without -g the group is "client", whose user is not let in.
  RunResult other = RunProgram({CHECK_DBHEALTH_PATH, "-H", server_.host, "-P", server_.port,
                                "-f", cnf}, kPlainLocale);
  EXPECT_EQ(other.out.compare(0, 31, "Access denied for user 'nobody'"), 0) << other.out;
}

TEST_F(CheckDbhealth, PasswordsAreMaskedInTheProcessTable) {
  // A server that never answers keeps the check waiting long enough to
  // read its command line; an option file shortens the wait.
  SilentListener silent;
  ScopedTempDir dir;
  std::string cnf = dir.WriteFile("my.cnf", "[client]\nconnect-timeout=2\n");
  const std::string secret = "Secret-Word-42";
  for (const Args& args :
       {Args{CHECK_DBHEALTH_PATH, "-f", cnf, "-H", "127.0.0.1", "-P", silent.port(), "-p", secret},
        Args{CHECK_DBHEALTH_PATH, "-f", cnf, "-P", silent.port(), "127.0.0.1", "user", secret}}) {
    std::string cmdline = CommandLineWhileRunning(args, std::string(secret.size(), 'X'));
    EXPECT_NE(cmdline.find(std::string(secret.size(), 'X')), std::string::npos) << cmdline;
    EXPECT_EQ(cmdline.find(secret), std::string::npos) << cmdline;
  }
}

TEST_F(CheckDbhealth, CommandLineErrors) {
  const struct {
    Args args;
    std::string out;
  } cases[] = {
      {{"bad_host!", "user"}, std::string("check_dbhealth: Invalid hostname/address - bad_host!\n") + kUsage},
      {{"-H", "bad_host!", "-h"}, std::string("check_dbhealth: Invalid hostname/address - bad_host!\n") + kUsage},
      {{"-P", "33o6"}, std::string("check_dbhealth: Invalid port number - 33o6\n") + kUsage},
      {{"-P", "-1"}, std::string("check_dbhealth: Invalid port number - -1\n") + kUsage},
      // A range is read before the positional arguments.
      {{"-w", "5:1", "bad_host!"}, "Range format incorrect\n"},
      {{"-x"}, kUsage},
      {{"--ver"}, kUsage},
  };
  for (const auto& c : cases) {
    Args args = {CHECK_DBHEALTH_PATH};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult r = RunProgram(args, kPlainLocale);
    EXPECT_EQ(r.exit_code, 3) << c.out;
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err.empty(), c.out != kUsage) << r.err;
  }
}

TEST_F(CheckDbhealth, HelpAndVersion) {
  RunResult version = RunProgram({CHECK_DBHEALTH_PATH, "-S", "--version", "-H", "bad_host!"},
                                 kPlainLocale);
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_EQ(version.out, "check_dbhealth v2.1.1 (kivrel-plugins 2.1.1)\n");

  RunResult help = RunProgram({CHECK_DBHEALTH_PATH, "-P", "1234", "--help"}, kPlainLocale);
  EXPECT_EQ(help.exit_code, 0);
  for (const std::string& part : {
           "This program tests connections to a MySQL server\n\n\n" + std::string(kUsage),
           std::string(" -P, --port=INTEGER\n    Port number (default: 3306)\n -n, --ignore-auth\n"),
           std::string("    behind master\n -l, --ssl\n    Use ssl encryptation\n"),
           std::string(" -L, --ciphers=STRING\n    List of valid SSL ciphers\n --ssl-chain-only\n"),
           std::string(" -t, --timeout=INTEGER\n"
                       "    Seconds before the check ends CRITICAL (default: 10)\n"
                       " --check-grants\n    Measure nothing: check that the user may run each "
                       "statement that the other\n    options need, and show the GRANT statement "
                       "for each privilege missing\n\n There are no"),
       }) {
    EXPECT_NE(help.out.find(part), std::string::npos) << part;
  }
  EXPECT_EQ(help.out.find("verbose"), std::string::npos);
}

TEST_F(CheckDbhealth, GermanMessages) {
  RunResult primary = RunProgram(Login(server_.port, {"-S"}), kGermanLocale);
  EXPECT_EQ(primary.out, "Keine Replikate definiert\n");
  RunResult port = RunProgram({CHECK_DBHEALTH_PATH, "-P", "x"}, kGermanLocale);
  EXPECT_EQ(port.out.substr(0, port.out.find('\n')), "check_dbhealth: Ungültige Portnummer - x");
}

}  // namespace
