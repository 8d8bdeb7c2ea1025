// SPDX-License-Identifier: MIT
// What both database checks share when they connect: a bound on the whole
// run, TLS that is enforced and verified, no password in cleartext, bad
// input refused before any connect, and option files that work.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "db_rows.h"
#include "fake_server.h"
#include "plugin_routines.h"
#include "test_helpers.h"

// The result rows are read in this test program itself, which the shared
// routines know by these.
const char* progname = "db_tests";
void print_usage(void) {}

namespace {

using Args = std::vector<std::string>;
using Clock = std::chrono::steady_clock;
using Mode = FakeServer::Mode;

const char kSecret[] = "kivrel-Leak-Secret-7";
const std::string kTlsRequired =
    "TLS/SSL error: SSL is required, but the server does not support it\n";

struct timed_case {
  Args args;
  std::string out;
  double min_seconds, max_seconds;
};

TEST(DbConnect, RunIsBounded) {
  TestServer server = TestServer::Load();
  SilentListener silent;
  SilentListener full(true);
  FakeServer quiet(Mode::silent_after_login);
  FakeServer quiet_above(Mode::silent_after_login);
  FakeServer quiet_other(Mode::silent_after_login);
  FakeServer trickle(Mode::trickled_greeting);
  ScopedTempDir dir;
  std::string cnf = dir.WriteFile("my.cnf", "[client]\nconnect-timeout=1\n");
  std::string above = dir.WriteFile("above.cnf", "[client]\nconnect-timeout=11\n");
  std::string other = dir.WriteFile("other.cnf", "[mysqld]\nconnect-timeout=11\n[client]\n");
  const std::string lost =
      "Lost connection to server at 'handshake: reading initial communication packet', "
      "system error: 110\n";
  const std::string bound2 = "Timeout after 2 seconds\n";
  const timed_case cases[] = {
      // Without -t an option file's connect-timeout still holds.
      {{CHECK_DBHEALTH_PATH, "-f", cnf, "-H", "127.0.0.1", "-P", silent.port()}, lost, 0.5, 5},
      {{CHECK_DBQUERY_PATH, "-t", "2", "-H", "127.0.0.1", "-P", silent.port(), "-q", "SELECT 1"},
       "QUERY CRITICAL: " + bound2, 1.5, 3},
      {{CHECK_DBHEALTH_PATH, "-t", "2", "-H", "127.0.0.1", "-P", full.port()}, bound2, 1.5, 3},
      {{CHECK_DBHEALTH_PATH, "--timeout=2", "-H", "127.0.0.1", "-P", quiet.port()}, bound2, 1.5,
       3},
      {{CHECK_DBHEALTH_PATH, "-t", "2", "-H", "127.0.0.1", "-P", trickle.port()}, bound2, 1.5, 3},
      {{CHECK_DBQUERY_PATH, "-t", "2", "-H", server.host, "-P", server.port, "-u", server.user,
        "-p", server.password, "-q", "SELECT SLEEP(30)"},
       "QUERY CRITICAL: " + bound2, 1.5, 3},
      // The default bound; raised by the file's connect-timeout, but not
      // by that of a group the client does not read.
      {{CHECK_DBHEALTH_PATH, "-H", "127.0.0.1", "-P", silent.port()},
       "Timeout after 10 seconds\n", 9, 12},
      {{CHECK_DBHEALTH_PATH, "-f", other, "-H", "127.0.0.1", "-P", quiet_other.port()},
       "Timeout after 10 seconds\n", 9, 12},
      {{CHECK_DBHEALTH_PATH, "-f", above, "-H", "127.0.0.1", "-P", quiet_above.port()},
       "Timeout after 11 seconds\n", 10, 13},
  };
  // All at once, reaped in the order of their limits.
  auto start = Clock::now();
  std::vector<Spawned> children;
  for (const auto& c : cases) children.push_back(StartProgram(c.args, kPlainLocale));
  for (size_t i = 0; i < children.size(); ++i) {
    RunResult r = FinishProgram(children[i]);
    std::chrono::duration<double> took = Clock::now() - start;
    EXPECT_EQ(r.out, cases[i].out) << i;
    EXPECT_EQ(r.exit_code, 2) << r.out;
    EXPECT_LT(took.count(), cases[i].max_seconds) << i;
    EXPECT_GE(took.count(), cases[i].min_seconds) << i;
  }
}

struct run_case {
  Args args;
  int exit_code;
  std::string out;
};

void ExpectRuns(const std::vector<run_case>& cases) {
  for (const auto& c : cases) {
    RunResult r = RunProgram(c.args, kPlainLocale);
    std::string line;
    for (const auto& a : c.args) line += a + " ";
    EXPECT_EQ(r.exit_code, c.exit_code) << line << "\n" << r.out;
    EXPECT_EQ(r.out, c.out) << line;
  }
}

TEST(DbConnect, TlsIsEnforcedAndVerified) {
  TestServer s = TestServer::Load();
  // Reaches the primary, whose certificate names localhost and 127.0.0.1
  // but not this spelling of the address.
  const std::string other_name = "::ffff:127.0.0.1";
  auto health = [&](const std::string& host, const std::string& port, const Args& tls) {
    Args a = {CHECK_DBHEALTH_PATH, "-H", host, "-P", port, "-u", s.user, "-p", s.password};
    a.insert(a.end(), tls.begin(), tls.end());
    return a;
  };
  auto query = [&](const std::string& port, const std::string& user, const std::string& pass,
                   const Args& tls) {
    Args a = {CHECK_DBQUERY_PATH, "-H", s.host, "-P", port, "-u", user, "-p", pass,
              "-q", "SELECT 1"};
    a.insert(a.end(), tls.begin(), tls.end());
    return a;
  };
  ExpectRuns({
      {health(s.host, s.replica_port, {"-l"}), 2, kTlsRequired},
      {health(s.host, s.replica_port, {"-C", s.tls_ca, "--ssl-chain-only"}), 2, kTlsRequired},
      {health(other_name, s.port, {"-l", "-C", s.tls_ca}), 2,
       "TLS/SSL error: Validation of SSL server certificate failed\n"},
      {query(s.port, s.ssl_user, s.ssl_password, {"-l", "-C", s.tls_ca}), 0,
       "QUERY OK: 'SELECT 1' returned 1.000000 | result=1\n"},
      {query(s.replica_port, s.user, s.password, {"-l"}), 2, "QUERY CRITICAL: " + kTlsRequired},
      {query(s.port, s.x509_user, s.x509_password,
             {"--ca-cert=" + s.tls_ca, "-a", s.tls_client_cert, "-k", s.tls_client_key}),
       0, "QUERY OK: 'SELECT 1' returned 1.000000 | result=1\n"},
  });
  // The chain-only option accepts the other name; the statistics follow.
  RunResult chain = RunProgram(health(other_name, s.port, {"-C", s.tls_ca, "--ssl-chain-only"}),
                               kPlainLocale);
  EXPECT_EQ(chain.exit_code, 0) << chain.out;
  EXPECT_EQ(chain.out.rfind("Uptime: ", 0), 0u) << chain.out;
}

TEST(DbConnect, TlsFollowsTheSystemConfiguration) {
  TestServer s = TestServer::Load();
  ScopedTempDir dir;
  // A system configuration that caps TLS at 1.2, below what the server
  // offers: the session shows whether it held.
  auto env = kPlainLocale;
  env["OPENSSL_CONF"] = dir.WriteFile(
      "openssl.cnf",
      "openssl_conf = init\n[init]\nssl_conf = ssl\n[ssl]\nsystem_default = tls\n"
      "[tls]\nMaxProtocol = TLSv1.2\n");
  const std::string tls = "[client]\nssl-ca = " + s.tls_ca + "\nssl-verify-server-cert\n";
  const std::string cnf = dir.WriteFile("tls.cnf", tls);
  // The option file that the client library reads unasked.
  ASSERT_EQ(mkdir((dir.path() + "/home").c_str(), 0700), 0);
  dir.WriteFile("home/.my.cnf", tls);
  auto home_env = env;
  home_env["HOME"] = dir.path() + "/home";
  const std::string sql =
      "SELECT VARIABLE_VALUE = 'TLSv1.2' FROM information_schema.SESSION_STATUS "
      "WHERE VARIABLE_NAME = 'Ssl_version'";
  const struct {
    Args tls;
    std::map<std::string, std::string> env;
  } cases[] = {{{"-l", "-C", s.tls_ca}, env}, {{"-f", cnf}, env}, {{}, home_env}};
  for (const auto& c : cases) {
    Args a = {CHECK_DBQUERY_PATH, "-H", s.host, "-P", s.port, "-u", s.ssl_user,
              "-p", s.ssl_password, "-q", sql};
    a.insert(a.end(), c.tls.begin(), c.tls.end());
    RunResult r = RunProgram(a, c.env);
    const std::string asked = c.tls.empty() ? "$HOME/.my.cnf" : c.tls[0];
    EXPECT_EQ(r.out, "QUERY OK: '" + sql + "' returned 1.000000 | result=1\n") << asked;
    EXPECT_EQ(r.exit_code, 0) << asked;
  }
}

TEST(DbConnect, PasswordNeverInCleartext) {
  TestServer s = TestServer::Load();
  for (Mode mode : {Mode::cleartext_greeting, Mode::cleartext_switch, Mode::dialog_switch}) {
    FakeServer fake(mode);
    for (const Args& tls : {Args{}, Args{"-l", "-C", s.tls_ca}}) {
      Args args = {CHECK_DBHEALTH_PATH, "-H", "127.0.0.1", "-P", fake.port(), "-u", "u",
                   "-p", kSecret};
      args.insert(args.end(), tls.begin(), tls.end());
      RunResult r = RunProgram(args, kPlainLocale);
      EXPECT_EQ(r.exit_code, 2) << r.out;
      if (tls.empty())
        EXPECT_NE(r.out.find("would send the password in cleartext"), std::string::npos) << r.out;
      else
        EXPECT_EQ(r.out, kTlsRequired);
    }
    EXPECT_EQ(fake.received().find(kSecret), std::string::npos) << static_cast<int>(mode);
  }
}

// Whether only root and the user running the tests can write \a dir and
// each folder above it: then a socket there is trusted.
bool OnlyRootAndMe(const std::string& dir) {
  char real[PATH_MAX];
  if (!realpath(dir.c_str(), real)) return false;
  for (std::string d = real;; d = d.substr(0, std::max<size_t>(d.rfind('/'), 1))) {
    struct stat st;
    if (stat(d.c_str(), &st) != 0 || (st.st_uid != 0 && st.st_uid != geteuid()) ||
        (st.st_mode & 022))
      return false;
    if (d == "/") return true;
  }
}

// What a listener that has not proven itself gets from every database
// check: no password byte, and nothing it can decrypt with its own key;
// only a pinned key, a verified server or a trusted socket gets it.
TEST(DbConnect, PasswordOnlyToProvenPeers) {
  namespace fs = std::filesystem;
  const std::string dir = std::string(TEST_BUILD_DIR) + "/login";
  fs::remove_all(dir);
  fs::create_directories(dir + "/open");
  fs::create_directories(dir + "/safe");
  chmod(dir.c_str(), 0755);
  chmod((dir + "/open").c_str(), 0777);
  chmod((dir + "/safe").c_str(), 0755);
  auto options = [&](bool tls, const std::string& socket = "") {
    FakeServer::Options o;
    o.tls = tls;
    o.socket_path = socket;
    o.password = kSecret;
    o.key_dir = dir;
    return o;
  };
  FakeServer full(Mode::caching_sha2_full, options(false));
  FakeServer sha256(Mode::sha256_full, options(false));
  FakeServer fast(Mode::caching_sha2_fast, options(false));
  FakeServer tls_full(Mode::caching_sha2_full, options(true));
  FakeServer tls_sha256(Mode::sha256_full, options(true));
  FakeServer open_socket(Mode::caching_sha2_full, options(false, dir + "/open/fake.sock"));
  FakeServer safe_socket(Mode::sha256_full, options(false, dir + "/safe/fake.sock"));
  FakeServer other(Mode::caching_sha2_full, options(false));  // only for its key
  std::string cnf = dir + "/pinned.cnf";
  FILE* f = fopen(cnf.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fprintf(f, "[client]\nserver-public-key = %s\n", sha256.public_key_file().c_str());
  fclose(f);

  enum Outcome {
    refused_unsent,  // refused before the client sent anything of the login
    refused,         // refused before the password left
    unknown_file,    // ended UNKNOWN before any connection
    wrong_key,       // encrypted to the pinned key, which is not the listener's
    scramble,        // logged in by the scramble alone
    allowed,         // the listener got the password: it has proven itself
  };
  struct login_case {
    FakeServer* fake;
    Args args;
    Outcome outcome;
    std::string out;  // a text of the status line
  };
  auto tcp = [](FakeServer& fake, const Args& more) {
    Args a = {"-H", "127.0.0.1", "-P", fake.port(), "-u", "u", "-p", kSecret};
    a.insert(a.end(), more.begin(), more.end());
    return a;
  };
  auto unix_socket = [&](const std::string& path, const Args& more) {
    Args a = {"-H", path, "-u", "u", "-p", kSecret};
    a.insert(a.end(), more.begin(), more.end());
    return a;
  };
  const std::string me = std::to_string(geteuid());
  const std::string open_path = dir + "/open/fake.sock";
  const std::string safe_path = dir + "/safe/fake.sock";
  const std::string asks = "login refused: the server asks for the password itself, which is "
                           "sent only encrypted to a key given with --server-public-key, or over "
                           "TLS to a server verified with -C";
  const std::string untrusted = "caching_sha2_password login refused: the server asks for the "
                                "password itself, and the socket " + open_path + " is not trusted";
  const std::string in = "logged in to the fake server";
  bool safe = OnlyRootAndMe(dir + "/safe");
  const login_case cases[] = {
      {&full, tcp(full, {}), refused, "caching_sha2_password " + asks},
      {&sha256, tcp(sha256, {}), refused, "sha256_password " + asks},
      {&full, tcp(full, {"-l"}), refused_unsent, kTlsRequired},
      {&tls_full, tcp(tls_full, {"-l"}), refused, "caching_sha2_password " + asks},
      {&tls_sha256, tcp(tls_sha256, {"--ssl"}), refused, "sha256_password " + asks},
      {&tls_full, tcp(tls_full, {"-C", tls_full.certificate_file(), "--ssl-chain-only"}), refused,
       asks},
      {&tls_full, tcp(tls_full, {"--ca-cert", tls_full.certificate_file()}), allowed, in},
      {&tls_sha256, tcp(tls_sha256, {"-l", "--server-public-key", tls_sha256.public_key_file()}),
       allowed, in},
      {&full, tcp(full, {"--server-public-key=" + full.public_key_file()}), allowed, in},
      {&sha256, tcp(sha256, {"-f", cnf}), allowed, in},
      {&full, tcp(full, {"--server-public-key", other.public_key_file()}), wrong_key,
       "Access denied"},
      {&fast, tcp(fast, {}), scramble, in},
      {&open_socket, unix_socket(open_path, {}), refused,
       untrusted + " (others than root"},
      {&open_socket, unix_socket(open_path, {"-l"}), refused_unsent, kTlsRequired},
      {&open_socket, unix_socket(open_path, {"--socket-owner", "65534"}), refused,
       untrusted + " (it belongs to "},
      {&open_socket, unix_socket(open_path, {"--socket-owner=" + me}), allowed, in},
      {&safe_socket, unix_socket(safe_path, {}), safe ? allowed : refused,
       safe ? in : "is not trusted"},
      {&full, tcp(full, {"--ca-cert", dir + "/missing.pem"}), unknown_file,
       "Cannot read the --ca-cert file " + dir + "/missing.pem: No such file or directory\n"},
      {&full, tcp(full, {"-D", dir + "/missing"}), unknown_file,
       "Cannot read the --ca-dir folder " + dir + "/missing: No such file or directory\n"},
      {&full, tcp(full, {"--server-public-key", cnf}), unknown_file,
       "Cannot read the --server-public-key file " + cnf + ": not an RSA public key in PEM form\n"},
  };
  const std::vector<Args> programs = {
      {CHECK_DBHEALTH_PATH},
      {CHECK_DBQUERY_PATH, "-q", "SELECT 1"},
      {CHECK_DBSTATUS_PATH, "-m", "uptime"},
      {CHECK_DBREPLICA_PATH},
      {CHECK_DBCLUSTER_PATH},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const login_case& c = cases[i];
    for (const Args& program : programs) {
      Args args = program;
      args.insert(args.end(), c.args.begin(), c.args.end());
      std::string line;
      for (const auto& a : args) line += a + " ";
      c.fake->Reset();
      int ended = c.fake->sessions_ended();
      RunResult r = RunProgram(args, kPlainLocale);
      if (c.outcome != unknown_file) c.fake->WaitSessionsEnded(ended + 1);
      std::vector<std::string> got = c.fake->passwords();
      EXPECT_NE(r.out.find(c.out), std::string::npos) << i << ": " << line << "\n" << r.out;
      EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << line << "\n" << r.out;
      if (c.outcome == allowed) {
        EXPECT_EQ(got, std::vector<std::string>{kSecret}) << line;
        continue;
      }
      EXPECT_EQ(c.fake->received().find(kSecret), std::string::npos) << line;
      if (c.outcome == wrong_key) {
        ASSERT_EQ(got.size(), 1u) << line;
        EXPECT_NE(got[0], kSecret) << line;
      } else {
        EXPECT_TRUE(got.empty()) << line;
      }
      if (c.outcome == refused_unsent || c.outcome == unknown_file) {
        EXPECT_EQ(c.fake->received(), "") << line;
      }
      if (c.outcome == refused || c.outcome == refused_unsent) {
        EXPECT_EQ(r.exit_code, 2) << line << "\n" << r.out;
      }
      if (c.outcome == unknown_file) {
        EXPECT_EQ(r.exit_code, 3) << line << "\n" << r.out;
      }
    }
  }
}

TEST(DbConnect, StatisticsErrorIsCritical) {
  FakeServer fake(Mode::statistics_error);
  for (const Args& extra : {Args{}, Args{"-S"}}) {
    Args args = {CHECK_DBHEALTH_PATH, "-H", "127.0.0.1", "-P", fake.port(), "-u", "u", "-p", "x"};
    args.insert(args.end(), extra.begin(), extra.end());
    RunResult r = RunProgram(args, kPlainLocale);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.out, "Aborted connection: injected statistics error\n");
  }
}

TEST(DbConnect, ServerTextsStayInOneLine) {
  FakeServer fake(Mode::server_texts);
  auto at = [&fake](const char* program, const Args& more) {
    Args args = {program, "-H", "127.0.0.1", "-P", fake.port(), "-u", "u", "-p", "x"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  };
  const std::string table = "Table 'x.a/b c' doesn't exist\n";
  ExpectRuns({
      {at(CHECK_DBHEALTH_PATH, {}), 0, "Uptime: 5/x Threads: 1|\n"},
      {at(CHECK_DBHEALTH_PATH, {"-S"}), 2, "slave query error: " + table},
      {at(CHECK_DBQUERY_PATH, {"-q", "SELECT 1 FROM `a|b\nc`"}), 2,
       "QUERY CRITICAL: Error with query - " + table},
      {at(CHECK_DBSTATUS_PATH, {"-m", "uptime"}), 3, "STATUS UNKNOWN: Query failed: " + table},
      // A number the server sends that no double holds is no 0.
      {at(CHECK_DBSTATUS_PATH, {"-m", "long-query"}), 3,
       "STATUS UNKNOWN: longest_query() is not a number: 1e400\n"},
      {at(CHECK_DBREPLICA_PATH, {}), 3, "REPLICA UNKNOWN: replica status query failed: " + table},
      {at(CHECK_DBCLUSTER_PATH, {}), 3, "CLUSTER UNKNOWN: wsrep query failed: " + table},
  });
}

// The failure classes of the four checks, and the prefix and state word
// that start every line of check_dbstatus, check_dbreplica and
// check_dbcluster. check_dbquery keeps its own texts and states.
TEST(DbConnect, FailureClassesAndPrefixes) {
  TestServer s = TestServer::Load();
  FakeServer gone(Mode::closed_after_login);
  ScopedTempDir dir;
  const std::string file = dir.WriteFile("file", "");
  const std::string missing = dir.path() + "/missing.ini";
  auto login = [&s](const std::string& port, const std::string& user, const std::string& pass) {
    return Args{"-H", s.host, "-P", port, "-u", user, "-p", pass};
  };
  const Args empty = login(s.port, s.empty_user, "");
  const Args empty_replica = login(s.replica_port, s.empty_user, "");
  const Args user_replica = login(s.replica_port, s.user, s.password);
  const Args fake = login(gone.port(), "u", "x");
  const std::string lost = "Lost connection to server during query";
  const std::string hint = " (--check-grants lists each grant missing)";
  const std::string denied = hint + ": Access denied; you need (at least one of) the ";
  struct program {
    const char* path;
    std::string prefix;
    Args metric;         // what a run needs beyond the login
    std::string failed;  // what its first statement's failure says
  };
  auto grant = [](const std::string& privilege, const std::string& on, const std::string& user) {
    return "GRANT " + privilege + " ON " + on + " TO '" + user + "'@'127.0.0.1'";
  };
  const program programs[] = {
      {CHECK_DBSTATUS_PATH, "STATUS", {"-m", "uptime"}, "Query failed: "},
      {CHECK_DBREPLICA_PATH, "REPLICA", {}, "replica status query failed: "},
      {CHECK_DBCLUSTER_PATH, "CLUSTER", {}, "wsrep query failed: "},
      {CHECK_DBQUERY_PATH, "QUERY", {"-q", "SELECT 1"}, "Error with query - "}};
  auto with = [](Args args, const Args& more) {
    args.insert(args.end(), more.begin(), more.end());
    return args;
  };
  struct class_case {
    const program* p;
    Args args;
    std::map<std::string, std::string> env;
    int exit_code;
    std::string line;  // the first line, after the prefix
  };
  std::vector<class_case> cases = {
      {&programs[0], with(empty, {"-m", "long-query"}), {}, 3,
       "UNKNOWN: Query failed: the check needs the PROCESS privilege" + denied +
           "PROCESS privilege(s) for this operation"},
      {&programs[1], empty_replica, {}, 3,
       "UNKNOWN: replica status query failed: the check needs the SLAVE MONITOR privilege" +
           denied + "SUPER, SLAVE MONITOR privilege(s) for this operation"},
      {&programs[1], with(user_replica, {"--heartbeat=mysql.db"}), {}, 3,
       "UNKNOWN: heartbeat query failed: the check needs the SELECT privilege" + hint +
           ": SELECT command denied to user '" + s.user + "'@'127.0.0.1' for table `mysql`.`db`"},
      // --check-grants: the GRANT for each privilege refused, to the account the server matched.
      {&programs[0], with(empty, {"-m", "long-query", "-e", "binlog_files()", "--check-grants"}), {}, 3,
       "UNKNOWN: missing grants: " + grant("PROCESS", "*.*", s.empty_user) + "; " +
           grant("BINLOG MONITOR", "*.*", s.empty_user)},
      {&programs[0], with(login(s.port, s.user, s.password), {"-m", "long-query", "--check-grants"}),
       {}, 0, "OK: all grants present"},
      {&programs[1], with(empty_replica, {"--heartbeat=mysql.db", "--check-grants"}), {}, 3,
       "UNKNOWN: missing grants: " + grant("SLAVE MONITOR", "*.*", s.empty_user) + "; " +
           grant("SELECT", "`mysql`.`db`", s.empty_user)},
      {&programs[1], with(user_replica, {"--check-grants"}), {}, 0, "OK: all grants present"},
      {&programs[3], with(empty, {"-q", "SELECT COUNT(*) FROM mysql.db", "--check-grants"}), {}, 3,
       "UNKNOWN: missing grants: SELECT command denied to user '" + s.empty_user +
           "'@'127.0.0.1' for table `mysql`.`db`"},
      {&programs[3], with(login(s.port, s.user, s.password), {"-q", "SELECT 1", "--check-grants"}), {}, 0,
       "OK: all grants present"},
      // Its statements need no privilege: a user without any passes.
      {&programs[2], with(empty, {"--check-grants"}), {}, 0, "OK: all grants present"},
      {&programs[3], with(empty, {"-q", "SELECT COUNT(*) FROM mysql.db"}), {}, 2,
       "CRITICAL: Error with query - SELECT command denied to user '" + s.empty_user +
           "'@'127.0.0.1' for table `mysql`.`db`"},
      {&programs[0], with(login(s.port, s.user, s.password), {"-m", "queries"}),
       {{"KIVREL_PLUGIN_STATE_DIRECTORY", file}}, 3, "UNKNOWN: Cannot create directory: " + file},
  };
  for (const program& p : programs) {
    cases.push_back({&p, with(fake, p.metric), {}, 2, "CRITICAL: " + p.failed + lost});
    if (p.prefix == "QUERY") continue;  // its usage and range lines are its own
    cases.push_back({&p, with(p.metric, {"-w", "5:1"}), {}, 3, "UNKNOWN: Range format incorrect"});
    cases.push_back({&p, {"stray"}, {}, 3, "UNKNOWN: Unexpected argument - stray"});
    cases.push_back({&p, {"--nosuch"}, {}, 3, "UNKNOWN: Could not parse arguments"});
    cases.push_back({&p, {"--extra-opts=@" + missing}, {}, 3,
                     "UNKNOWN: Cannot read extra options file " + missing +
                         ": No such file or directory"});
  }
  for (const auto& c : cases) {
    Args args = {c.p->path};
    args.insert(args.end(), c.args.begin(), c.args.end());
    std::map<std::string, std::string> env = kPlainLocale;
    env.insert(c.env.begin(), c.env.end());
    RunResult r = RunProgram(args, env);
    std::string line;
    for (const auto& a : args) line += a + " ";
    EXPECT_EQ(r.exit_code, c.exit_code) << line << "\n" << r.out;
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')), c.p->prefix + " " + c.line) << line;
  }
  // check_dbhealth, whose lines have no prefix.
  RunResult health = RunProgram(with({CHECK_DBHEALTH_PATH, "-S", "--check-grants"}, empty_replica),
                                kPlainLocale);
  EXPECT_EQ(health.out, "missing grants: " + grant("SLAVE MONITOR", "*.*", s.empty_user) + "\n");
  EXPECT_EQ(health.exit_code, 3);
}

TEST(DbConnect, BadInputIsRefused) {
  TestServer s = TestServer::Load();
  ScopedTempDir dir;
  std::string no_group = dir.WriteFile("client.cnf", "[client]\nuser=x\n");
  std::string server_only = dir.WriteFile("server.cnf", "[mysqld]\nport=1\n");
  std::string fifo = dir.path() + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string missing = dir.path() + "/missing.cnf";
  std::string ini = dir.WriteFile("plugins.ini", std::string("[check_dbhealth]\npasswd=") +
                                                     kSecret + "\n");
  // Includes nest ten deep at most: chain[1] reaches the last file at that
  // depth, chain[0] one deeper. A file that includes itself ends as deep.
  FakeServer reached(Mode::statistics_error);
  std::vector<std::string> chain(12);
  chain[11] = dir.WriteFile("nest11.cnf", "[client]\nhost=127.0.0.1\nport=" + reached.port() + "\n");
  for (int i = 10; i >= 0; --i)
    chain[i] = dir.WriteFile("nest" + std::to_string(i) + ".cnf", "!include " + chain[i + 1] + "\n");
  std::string loop = dir.path() + "/loop.cnf";
  dir.WriteFile("loop.cnf", "[client]\n!include " + loop + "\n");
  // Of a folder that "!includedir" names, the client library reads only my.cnf.
  ASSERT_EQ(mkdir((dir.path() + "/conf.d").c_str(), 0700), 0);
  dir.WriteFile("conf.d/my.cnf", "[client]\nhost=127.0.0.1\nport=" + reached.port() + "\n");
  dir.WriteFile("conf.d/monitoring.cnf", "[monitoring]\nuser=x\n");
  std::string folder = dir.WriteFile("folder.cnf", "!includedir " + dir.path() + "/conf.d\n");
  const char health_usage[] =
      "Usage:\n"
      " check_dbhealth [-d database] [-H host] [-P port] [-s socket]\n"
      "       [-u user] [-p password] [-S] [-l] [-a cert] [-k key]\n"
      "       [-C ca-cert] [-D ca-dir] [-L ciphers] [-f optfile] [-g group]\n";
  const std::string range = "Range format incorrect\n";
  auto cannot_read = [](const std::string& file, const std::string& why) {
    return "Cannot read the option file " + file + ": " + why + "\n";
  };
  ExpectRuns({
      {{CHECK_DBHEALTH_PATH, "-w", "abc"}, 3, range},
      {{CHECK_DBHEALTH_PATH, "-w", "sixty", "-S"}, 3, range},
      {{CHECK_DBQUERY_PATH, "-q", "SELECT 1", "-c", "5x"}, 3, range},
      // A bound must be finite.
      {{CHECK_DBQUERY_PATH, "-q", "SELECT 1", "-w", "1e999"}, 3, range},
      {{CHECK_DBHEALTH_PATH, "127.0.0.1", "user", "pass", "db", "95852"}, 3,
       std::string("check_dbhealth: Invalid port number - 95852\n") + health_usage},
      {{CHECK_DBHEALTH_PATH, "-t", "0"}, 3,
       std::string("check_dbhealth: Invalid timeout - 0\n") + health_usage},
      {{CHECK_DBHEALTH_PATH, "-f", missing}, 3, cannot_read(missing, "No such file or directory")},
      {{CHECK_DBHEALTH_PATH, "-f", missing + "|x\ny"}, 3,
       cannot_read(missing + "/x y", "No such file or directory")},
      {{CHECK_DBHEALTH_PATH, "-f", "/dev/zero"}, 3, cannot_read("/dev/zero", "not a regular file")},
      {{CHECK_DBQUERY_PATH, "-q", "SELECT 1", "-f", fifo}, 3,
       "QUERY UNKNOWN: " + cannot_read(fifo, "not a regular file")},
      {{CHECK_DBHEALTH_PATH, "-f", dir.path()}, 3, cannot_read(dir.path(), "Is a directory")},
      {{CHECK_DBHEALTH_PATH, "-f", no_group, "-g", "monitoring"}, 3,
       "The option file " + no_group + " has no group [monitoring]\n"},
      {{CHECK_DBHEALTH_PATH, "-f", server_only}, 3,
       "The option file " + server_only + " has no group [client]\n"},
      {{CHECK_DBHEALTH_PATH, "-f", chain[1]}, 2, "Aborted connection: injected statistics error\n"},
      {{CHECK_DBHEALTH_PATH, "-f", chain[0]}, 3, cannot_read(chain[11], "includes nest too deeply")},
      {{CHECK_DBHEALTH_PATH, "-f", loop}, 3, cannot_read(loop, "includes nest too deeply")},
      {{CHECK_DBHEALTH_PATH, "-f", folder}, 2, "Aborted connection: injected statistics error\n"},
      {{CHECK_DBHEALTH_PATH, "-f", folder, "-g", "monitoring"}, 3,
       "The option file " + folder + " has no group [monitoring]\n"},
      // An underscore is a host name; this one does not resolve.
      {{CHECK_DBHEALTH_PATH, "-H", "db_1.invalid"}, 1,
       "Unknown server host 'db_1.invalid' (-2)\n"},
  });
  // A mistyped password option is named without its value.
  for (const Args& args : {Args{CHECK_DBHEALTH_PATH, std::string("--passwd=") + kSecret},
                           Args{CHECK_DBHEALTH_PATH, "--extra-opts=@" + ini}}) {
    RunResult r = RunProgram(args, kPlainLocale);
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_EQ(r.out, health_usage);
    EXPECT_EQ(r.err, std::string(CHECK_DBHEALTH_PATH) + ": unrecognized option '--passwd'\n");
  }
}

TEST(DbConnect, OptionFilesWork) {
  TestServer s = TestServer::Load();
  ScopedTempDir dir;
  // The port and the login come from the file and the file it includes.
  std::string included = dir.WriteFile(
      "monitoring.cnf", "[monitoring]\nuser = " + s.user + "\npassword = \"" + s.password +
                            "\"\nport = " + s.port + "\n");
  std::string main = dir.WriteFile("my.cnf", "[client]\nhost=127.0.0.1\n!include " + included +
                                                 "\n");
  // A bare key switches host-name verification on.
  std::string verify = dir.WriteFile(
      "verify.cnf", "[client]\nssl-ca=" + s.tls_ca + "\nssl-verify-server-cert\n");
  RunResult r = RunProgram({CHECK_DBQUERY_PATH, "-f", main, "-g", "monitoring", "-q", "SELECT 3"},
                           kPlainLocale);
  EXPECT_EQ(r.out, "QUERY OK: 'SELECT 3' returned 3.000000 | result=3\n");
  EXPECT_EQ(r.exit_code, 0);
  ExpectRuns({
      {{CHECK_DBHEALTH_PATH, "-f", verify, "-H", "::ffff:127.0.0.1", "-P", s.port, "-u", s.user,
        "-p", s.password},
       2, "TLS/SSL error: Validation of SSL server certificate failed\n"},
  });
}

TEST(DbConnect, NoLineNoSuccess) {
  TestServer s = TestServer::Load();
  // Endings that are not OK must not pass for a report when the line
  // could not be written.
  for (const std::string& run :
       {std::string(CHECK_DBHEALTH_PATH) + " -S -H 127.0.0.1 -P " + s.port + " -u " + s.user +
            " -p " + s.password,
        std::string(CHECK_DBHEALTH_PATH) + " -H 127.0.0.1 -P " + ClosedPort(),
        std::string(CHECK_DBQUERY_PATH) + " -q 'SELECT 1' -H 127.0.0.1 -P " + s.port + " -u " +
            s.user + " -p " + s.password,
        std::string(CHECK_DBQUERY_PATH) + " -q 'SELECT 1' -H 127.0.0.1 -P " + ClosedPort()}) {
    RunResult r = RunProgram({"/bin/sh", "-c", run + " >/dev/full"}, kPlainLocale);
    EXPECT_EQ(r.exit_code, 3) << run;
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

// A result's fields as the server sent them: NULL stays apart from an empty
// text, in every row and column.
TEST(DbConnect, ResultRowsKeepNull) {
  TestServer s = TestServer::Load();
  MYSQL* mysql = mysql_init(nullptr);
  ASSERT_NE(mysql_real_connect(mysql, s.host.c_str(), s.user.c_str(), s.password.c_str(), nullptr,
                               static_cast<unsigned int>(std::stoul(s.port)), nullptr, 0),
            nullptr)
      << mysql_error(mysql);
  db_rows rows = db_query_rows(mysql, "SELECT NULL AS a, '' AS b, 'x' AS c UNION ALL SELECT '', NULL, 'y'",
                               "failed");
  mysql_close(mysql);
  EXPECT_EQ(rows.names, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(rows.column({"z", "c"}), 2);
  ASSERT_EQ(rows.rows.size(), 2u);
  EXPECT_EQ(rows.rows[0], (std::vector<db_field>{std::nullopt, "", "x"}));
  EXPECT_EQ(rows.rows[1], (std::vector<db_field>{"", std::nullopt, "y"}));
}

}  // namespace
