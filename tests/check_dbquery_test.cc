// SPDX-License-Identifier: MIT
// Black-box runs of the built check_dbquery against the private test server.
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "test_helpers.h"

namespace {

using Args = std::vector<std::string>;

const char kUsage[] =
    "Usage:\n"
    " check_dbquery -q SQL_query [-w warn] [-c crit] [-H host] [-P port] [-s socket]\n"
    "       [-d database] [-u user] [-p password] [-f optfile] [-g group]\n";

// The plain C locale, so that the untranslated texts are compared.
const std::map<std::string, std::string> kPlain = {
    {"LC_ALL", "C"}, {"LANG", ""}, {"LANGUAGE", ""}, {"KIVREL_PLUGIN_CONFIG_FILE", ""}};

class CheckDbquery : public ::testing::Test {
 protected:
  void SetUp() override { server_ = TestServer::Load(); }

  // The program with the connection options of the test user, then \a extra.
  Args Login(const Args& extra) const {
    Args args = {CHECK_DBQUERY_PATH, "-H", server_.host, "-P", server_.port,
                 "-u", server_.user, "-p", server_.password, "-d", server_.database};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }

  RunResult Run(const Args& args,
                const std::map<std::string, std::string>& env = kPlain) const {
    return RunProgram(args, env);
  }

  TestServer server_;
};

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

TEST_F(CheckDbquery, ClassifiesTheFirstField) {
  const struct {
    Args extra;
    int code;
    std::string out;
  } cases[] = {
      {{"-q", "SELECT 15", "-w", "10", "-c", "20"}, 1,
       "QUERY WARNING: 'SELECT 15' returned 15.000000 | result=15;10;20\n"},
      {{"-q", "SELECT 15", "-w", "20", "-c", "30"}, 0,
       "QUERY OK: 'SELECT 15' returned 15.000000 | result=15;20;30\n"},
      {{"-q", "SELECT 15", "-w", "5", "-c", "10"}, 2,
       "QUERY CRITICAL: 'SELECT 15' returned 15.000000 | result=15;5;10\n"},
      {{"-q", "SELECT 15"}, 0, "QUERY OK: 'SELECT 15' returned 15.000000 | result=15\n"},
      {{"-q", "SELECT -1e9"}, 0,
       "QUERY OK: 'SELECT -1e9' returned -1000000000.000000 | result=-1000000000\n"},
      // Only the first column of the first row counts.
      {{"-q", "SELECT num, word FROM samples ORDER BY id", "-c", "@10:20"}, 2,
       "QUERY CRITICAL: 'SELECT num, word FROM samples ORDER BY id' returned 15.000000 | "
       "result=15;;20\n"},
      {{"-q", "SELECT maybe FROM samples WHERE id = 3", "-w", "~:0"}, 0,
       "QUERY OK: 'SELECT maybe FROM samples WHERE id = 3' returned -2.250000 | "
       "result=-2.25;0\n"},
      // A range without an upper end carries its stored end of 0.
      {{"-q", "SELECT 0.5", "-w", "10:"}, 1, "QUERY WARNING: 'SELECT 0.5' returned 0.500000 | result=0.5;0\n"},
      // The query shown in the status line keeps it one line.
      {{"-q", "SELECT 2 /* a|b\nc */"}, 0, "QUERY OK: 'SELECT 2 /* a/b c */' returned 2.000000 | result=2\n"},
      // The last -q wins.
      {{"-q", "SELECT 1", "--quer=SELECT 2"}, 0, "QUERY OK: 'SELECT 2' returned 2.000000 | result=2\n"},
  };
  for (const auto& c : cases) {
    RunResult r = Run(Login(c.extra));
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.exit_code, c.code) << c.out;
    EXPECT_EQ(r.err, "");
  }
}

TEST_F(CheckDbquery, QueryFailures) {
  const struct {
    const char* query;
    int code;
    std::string out;  // the whole line, or a prefix when it ends in "..."
  } cases[] = {
      {"SELECT id FROM empty_table", 1, "QUERY WARNING: No rows returned\n"},
      {"SELECT word FROM samples WHERE id = 4", 2, "QUERY CRITICAL: Is not a numeric - 'abc'\n"},
      {"SELECT word FROM samples WHERE id = 5", 2, "QUERY CRITICAL: Is not a numeric - '12abc'\n"},
      {"SELECT maybe FROM samples WHERE id = 2", 2, "QUERY CRITICAL: Is not a numeric - 'NULL'\n"},
      {"SELECT ''", 2, "QUERY CRITICAL: Is not a numeric - ''\n"},
      // A NUL byte ends no number: the whole field is shown and rejected.
      {"SELECT concat('5', char(0), 'x')", 2, "QUERY CRITICAL: Is not a numeric - '5\\0x'\n"},
      {"UPDATE scratch SET num = num + 1 WHERE id = 1", 2,
       "QUERY CRITICAL: Error with store_result - \n"},
      {"SELEKT 1", 2,
       "QUERY CRITICAL: Error with query - You have an error in your SQL syntax; ..."},
      {"SELECT * FROM no_such_table", 2,
       "QUERY CRITICAL: Error with query - Table 'kivrel_test.no_such_table' doesn't exist\n"},
      // The server echoes the name in its error text; a value may hold
      // anything. Neither splits the line or starts performance data.
      {"SELECT 1 FROM `a|b\nc`", 2,
       "QUERY CRITICAL: Error with query - Table 'kivrel_test.a/b c' doesn't exist\n"},
      {"SELECT 'x|y\r\nz'", 2, "QUERY CRITICAL: Is not a numeric - 'x/y  z'\n"},
      {"SELECT '1e400'", 2, "QUERY CRITICAL: Is not a numeric - '1e400'\n"},
  };
  for (const auto& c : cases) {
    RunResult r = Run(Login({"-q", c.query, "-w", "10", "-c", "20"}));
    std::string want = c.out;
    if (want.size() > 3 && want.compare(want.size() - 3, 3, "...") == 0) {
      want.resize(want.size() - 3);
      EXPECT_TRUE(StartsWith(r.out, want)) << c.query << ": " << r.out;
      EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << "one line: " << r.out;
    } else {
      EXPECT_EQ(r.out, want) << c.query;
    }
    EXPECT_EQ(r.exit_code, c.code) << c.query;
  }
}

TEST_F(CheckDbquery, RowsExpectAndColumns) {
  const std::string two = "SELECT 'a' AS name, 1 AS v, 7 AS n UNION ALL SELECT 'b', 5, 8";
  const std::string samples = "SELECT word, num, maybe FROM samples ORDER BY id";
  const std::string huge = "SELECT seq FROM seq_1_to_100000000";
  const std::string at_least = " returned at least ";

  // An expected text reads the rest of the result and ends cleanly; the
  // server notices a dropped connection a moment after the exit.
  const std::string aborted = "SHOW GLOBAL STATUS LIKE 'Aborted_clients'";
  const std::string aborted_before = ServerSql("primary", aborted);
  RunResult first = Run(Login({"-q", "SELECT seq FROM seq_1_to_300000", "--expect", "1"}));
  EXPECT_EQ(first.out, "QUERY OK: 'SELECT seq FROM seq_1_to_300000' returned '1'\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(ServerSql("primary", aborted), aborted_before);

  const std::string stopped = " (stopped reading at --max-rows)";
  const struct {
    Args extra;
    int code;
    std::string out;
  } cases[] = {
      {{"-q", samples, "--rows", "-w", "10", "-c", "20"}, 0,
       "QUERY OK: '" + samples + "' returned 5 rows | rows=5;10;20;0\n"},
      {{"-q", "SELECT 1", "--rows"}, 0, "QUERY OK: 'SELECT 1' returned 1 row | rows=1;;;0\n"},
      {{"-q", "SELECT id FROM empty_table", "--rows", "-c", "1:"}, 2,
       "QUERY CRITICAL: 'SELECT id FROM empty_table' returned 0 rows | rows=0;;1:;0\n"},
      // At the limit the count is a floor: every larger count must agree.
      {{"-q", samples, "--rows", "-w", "5", "--max-rows", "2"}, 3,
       "QUERY UNKNOWN: '" + samples + "'" + at_least + "2 rows" + stopped + " | rows=2;5;;0\n"},
      {{"-q", huge, "--rows", "-c", "2", "--max-rows=3"}, 2,
       "QUERY CRITICAL: '" + huge + "'" + at_least + "3 rows" + stopped + " | rows=3;;2;0\n"},
      {{"-q", huge, "--rows", "-c", "@5:9", "--max-rows=3"}, 3,
       "QUERY UNKNOWN: '" + huge + "'" + at_least + "3 rows" + stopped + " | rows=3;;@5:9;0\n"},
      {{"-q", samples, "--expect", "fifteen"}, 0, "QUERY OK: '" + samples + "' returned 'fifteen'\n"},
      {{"-q", samples + " DESC", "--expect=fifteen"}, 2,
       "QUERY CRITICAL: '" + samples + " DESC' returned '12abc', expected 'fifteen'\n"},
      {{"-q", "SELECT NULL", "--expect-regex", ".*"}, 2,
       "QUERY CRITICAL: 'SELECT NULL' returned NULL, expected a match for '.*'\n"},
      {{"-q", "SELECT id FROM empty_table", "--expect", ""}, 2,
       "QUERY CRITICAL: 'SELECT id FROM empty_table' returned no rows, expected ''\n"},
      {{"-q", samples, "--expect-regex", "^(five|fifteen)$"}, 0,
       "QUERY OK: '" + samples + "' returned 'fifteen'\n"},
      // The whole field counts, past a NUL byte.
      {{"-q", "SELECT concat('a', char(0), 'b')", "--expect-regex", "^a$"}, 2,
       "QUERY CRITICAL: 'SELECT concat('a', char(0), 'b')' returned 'a b', expected a match for '^a$'\n"},
      {{"-q", two, "--column", "v", "-w", "3", "-c", "10", "--column=n", "--label-column", "name"}, 1,
       "QUERY WARNING: '" + two + "' returned 2 rows: a v 1, n 7; b v 5 (WARNING), n 8 | "
       "a_v=1;3;10 a_n=7 b_v=5;3;10 b_n=8\n"},
      {{"-q", samples, "--column", "NUM", "-c", "~:20", "--max-rows", "4"}, 2,
       "QUERY CRITICAL: '" + samples + "'" + at_least + "4 rows" + stopped +
       ": 1 NUM 15; 2 NUM 5; 3 NUM 25 (CRITICAL); 4 NUM -3 | 1_NUM=15;;~:20 2_NUM=5;;~:20 "
       "3_NUM=25;;~:20 4_NUM=-3;;~:20\n"},
      {{"-q", samples, "--column", "num", "--max-rows", "1"}, 3,
       "QUERY UNKNOWN: '" + samples + "'" + at_least + "1 row" + stopped + ": 1 num 15 | 1_num=15\n"},
      // A row name from the server is made safe for both parts of the line.
      {{"-q", "SELECT 'x|y z\n' AS l, 2 AS v", "--column", "v", "--label-column", "l"}, 0,
       "QUERY OK: 'SELECT 'x/y z ' AS l, 2 AS v' returned 1 row: x/y z  v 2 | 'x_y z__v'=2\n"},
      {{"-q", "SELECT 'a' AS l, 1 AS v UNION ALL SELECT 'a', 2", "--column", "v", "--label-column=l"}, 0,
       "QUERY OK: 'SELECT 'a' AS l, 1 AS v UNION ALL SELECT 'a', 2' returned 2 rows: a v 1; a_2 v 2 | "
       "a_v=1 a_2_v=2\n"},
      {{"-q", samples, "--column", "nope"}, 3, "QUERY UNKNOWN: no column 'nope' in the result\n"},
      {{"-q", samples, "--column", "num", "--label-column", "none"}, 3,
       "QUERY UNKNOWN: no column 'none' in the result\n"},
      {{"-q", samples, "--column", "maybe", "--label-column", "word"}, 3,
       "QUERY UNKNOWN: row five, column maybe is not a number: NULL\n"},
      {{"-q", samples, "--column", "word"}, 3,
       "QUERY UNKNOWN: row 1, column word is not a number: 'fifteen'\n"},
      {{"-q", "SELECT id FROM empty_table", "--column", "id"}, 1, "QUERY WARNING: No rows returned\n"},
  };
  for (const auto& c : cases) {
    RunResult r = Run(Login(c.extra));
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.exit_code, c.code) << c.out;
  }
  // In a UTF-8 locale a character is one for the expression, not its bytes.
  RunResult utf8 = Run(Login({"-q", "SELECT 'é'", "--expect-regex", "^.$"}),
                       {{"LC_ALL", ""}, {"LANG", "C.UTF-8"}, {"LANGUAGE", ""}});
  EXPECT_EQ(utf8.out, "QUERY OK: 'SELECT 'é'' returned 'é'\n");

  // Options that make no sense together, or alone.
  const std::pair<Args, std::string> misuse[] = {
      {{"--rows", "--expect", "x"}, "Use only one of --rows, --expect, --expect-regex and --column"},
      {{"--expect", "x", "--expect-regex", "x"},
       "Use only one of --rows, --expect, --expect-regex and --column"},
      {{"--column", "a", "--rows"}, "Use only one of --rows, --expect, --expect-regex and --column"},
      {{"-w", "1", "--column", "a"}, "-w and -c must follow the --column they apply to"},
      {{"--expect", "x", "-c", "1"}, "--expect and --expect-regex take no -w or -c"},
      {{"--label-column", "a"}, "--label-column needs --column"},
      {{"--max-rows", "5"}, "--max-rows needs --rows or --column"},
      {{"--rows", "--max-rows", "0"}, "Invalid row limit - 0"},
      {{"--expect-regex", "(a|b"}, "Invalid regular expression - (a/b"},
  };
  for (const auto& [extra, message] : misuse) {
    Args args = {CHECK_DBQUERY_PATH, "-q", "SELECT 1"};
    args.insert(args.end(), extra.begin(), extra.end());
    RunResult r = Run(args);
    EXPECT_EQ(r.out, "check_dbquery: " + message + "\n" + kUsage);
    EXPECT_EQ(r.exit_code, 3) << message;
  }

  // Each works from an options file; a -w after them is the last column's.
  ScopedTempDir dir;
  std::string ini = dir.WriteFile("plugins.ini",
      "[rows]\nrows\nmax-rows = 2\n"
      "[columns]\ncolumn = v\nwarning = 3\ncolumn = n\nlabel-column = name\n"
      "[expect]\nexpect-regex = ^f.*=?$\n");
  RunResult rows = Run(Login({"--extra-opts=rows@" + ini, "-q", samples}));
  EXPECT_EQ(rows.out, "QUERY OK: '" + samples + "'" + at_least + "2 rows" + stopped + " | rows=2;;;0\n");
  RunResult columns = Run(Login({"--extra-opts=columns@" + ini, "-q", two, "-c", "7"}));
  EXPECT_EQ(columns.out, "QUERY CRITICAL: '" + two + "' returned 2 rows: a v 1, n 7; b v 5 (WARNING), "
                         "n 8 (CRITICAL) | a_v=1;3 a_n=7;;7 b_v=5;3 b_n=8;;7\n");
  RunResult expect = Run(Login({"--extra-opts=expect@" + ini, "-q", samples}));
  EXPECT_EQ(expect.out, "QUERY OK: '" + samples + "' returned 'fifteen'\n");

  RunResult german = Run(Login({"-q", samples + " DESC", "--expect", "x"}), kGermanLocale);
  EXPECT_EQ(german.out, "QUERY KRITISCH: '" + samples + " DESC' lieferte '12abc', erwartet 'x'\n");
}

TEST_F(CheckDbquery, ConnectFailures) {
  // Wrong password: the server denies access, which is critical.
  Args wrong = {CHECK_DBQUERY_PATH, "-H", server_.host, "-P", server_.port, "-u",
                server_.user, "-p", "not-the-password", "-q", "SELECT 1"};
  RunResult denied = Run(wrong);
  EXPECT_EQ(denied.exit_code, 2);
  EXPECT_TRUE(StartsWith(denied.out, "QUERY CRITICAL: Access denied for user 'kivrel'@"))
      << denied.out;

  // Nothing listens: refused, critical.
  std::string port = ClosedPort();
  RunResult refused =
      Run({CHECK_DBQUERY_PATH, "-H", "127.0.0.1", "-P", port, "-q", "SELECT 1"});
  EXPECT_EQ(refused.exit_code, 2);
  EXPECT_TRUE(StartsWith(refused.out, "QUERY CRITICAL: Can't connect to server on '127.0.0.1' ("))
      << refused.out;

  // A name under .invalid never resolves (client error 2005): a warning.
  RunResult unknown =
      Run({CHECK_DBQUERY_PATH, "-H", "nosuchhost.invalid", "-q", "SELECT 1"});
  EXPECT_EQ(unknown.exit_code, 1);
  EXPECT_TRUE(StartsWith(unknown.out, "QUERY WARNING: Unknown server host 'nosuchhost.invalid'"))
      << unknown.out;
}

TEST_F(CheckDbquery, VerboseTrace) {
  RunResult three = Run(Login({"-vvv", "-q", "SELECT 15", "-w", "10", "-c", "20"}));
  EXPECT_EQ(three.out,
            "mysql result: 15.000000\n"
            "QUERY WARNING: 'SELECT 15' returned 15.000000 | result=15;10;20\n");
  RunResult two = Run(Login({"-v", "--verbose", "-q", "SELECT 15"}));
  EXPECT_EQ(two.out, "QUERY OK: 'SELECT 15' returned 15.000000 | result=15\n");
}

TEST_F(CheckDbquery, PasswordIsMaskedInTheProcessTable) {
  for (const Args& pass : {Args{"-p", server_.password}, Args{"--password=" + server_.password}}) {
    Args args = {CHECK_DBQUERY_PATH, "-H", server_.host, "-P", server_.port, "-u", server_.user};
    args.insert(args.end(), pass.begin(), pass.end());
    args.insert(args.end(), {"-q", "SELECT SLEEP(2)"});
    const std::string masked(server_.password.size(), 'X');
    // The program masks while parsing, long before the query returns.
    RunResult r;
    std::string cmdline = CommandLineWhileRunning(args, masked, &r);
    EXPECT_NE(cmdline.find(masked), std::string::npos) << cmdline;
    EXPECT_EQ(cmdline.find(server_.password), std::string::npos) << cmdline;
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(r.out, "QUERY OK: 'SELECT SLEEP(2)' returned 0.000000 | result=0\n");
  }
}

TEST_F(CheckDbquery, ExtraOptsFromIniFile) {
  ScopedTempDir dir;
  std::string ini = dir.WriteFile("plugins.ini",
      "# monitoring defaults\n"
      "[check_dbquery]\n"
      "hostname = " + server_.host + "\n"
      "port = " + server_.port + "\n"
      "username = " + server_.user + "\n"
      "password = \"" + server_.password + "\"\n"
      "database = " + server_.database + "\n"
      "warning = 100\n"
      "[other]\n"
      "query = SELECT 99\n");
  // The command line's -w comes after the file's options, so it wins.
  RunResult r = Run({CHECK_DBQUERY_PATH, "--extra-opts=@" + ini, "-q", "SELECT 15", "-w", "10"});
  EXPECT_EQ(r.out, "QUERY WARNING: 'SELECT 15' returned 15.000000 | result=15;10\n");
  EXPECT_EQ(r.exit_code, 1);

  // Two sections, the default one through the environment.
  auto env = kPlain;
  env["KIVREL_PLUGIN_CONFIG_FILE"] = ini;
  r = Run({CHECK_DBQUERY_PATH, "--extra-opts", "--extra-opts=other"}, env);
  EXPECT_EQ(r.out, "QUERY OK: 'SELECT 99' returned 99.000000 | result=99;100\n");

  // A missing file or section stops the check instead of running it with
  // other settings than the operator wrote.
  RunResult no_file = Run({CHECK_DBQUERY_PATH, "--extra-opts=@" + dir.path() + "/none.ini", "-q", "SELECT 1"});
  EXPECT_EQ(no_file.exit_code, 3);
  EXPECT_NE(no_file.out.find(dir.path() + "/none.ini"), std::string::npos) << no_file.out;
  RunResult no_section = Run({CHECK_DBQUERY_PATH, "--extra-opts=nosuch@" + ini, "-q", "SELECT 1"});
  EXPECT_EQ(no_section.exit_code, 3);
  EXPECT_NE(no_section.out.find("nosuch"), std::string::npos) << no_section.out;
  EXPECT_NE(no_section.out.find(ini), std::string::npos) << no_section.out;
  RunResult bar = Run({CHECK_DBQUERY_PATH, "--extra-opts=a|b\nc@" + ini, "-q", "SELECT 1"});
  EXPECT_EQ(bar.out, "Section [a/b c] not found in extra options file " + ini + "\n");
  EXPECT_EQ(bar.exit_code, 3);
}

TEST_F(CheckDbquery, ClientOptionFile) {
  ScopedTempDir dir;
  std::string cnf = dir.WriteFile("my.cnf",
      "[client]\nuser=nobody\n"
      "[kivrel]\nuser=" + server_.user + "\npassword=" + server_.password + "\n");
  Args base = {CHECK_DBQUERY_PATH, "-H", server_.host, "-P", server_.port, "-f", cnf};
  Args with_group = base;
  with_group.insert(with_group.end(), {"-g", "kivrel", "-q", "SELECT 42"});
  RunResult r = Run(with_group);
  EXPECT_EQ(r.out, "QUERY OK: 'SELECT 42' returned 42.000000 | result=42\n");
  EXPECT_EQ(r.exit_code, 0);

  // An empty -p forces an empty password over the file's.
  Args empty_pass = with_group;
  empty_pass.insert(empty_pass.end(), {"-p", ""});
  RunResult denied = Run(empty_pass);
  EXPECT_EQ(denied.exit_code, 2);
  EXPECT_TRUE(StartsWith(denied.out, "QUERY CRITICAL: Access denied for user 'kivrel'@")) << denied.out;

  // The session speaks utf8mb4 whatever the file says, which the quoting
  // of names into SQL relies on.
  std::string gbk = dir.WriteFile("gbk.cnf", "[client]\ndefault-character-set=gbk\n");
  RunResult utf8 = Run(Login({"-f", gbk, "-q",
                              "SELECT @@character_set_client = 'utf8mb4' AND "
                              "@@character_set_connection = 'utf8mb4' AND "
                              "@@character_set_results = 'utf8mb4'"}));
  EXPECT_EQ(utf8.exit_code, 0) << utf8.out;
  EXPECT_NE(utf8.out.find(" returned 1.000000 | "), std::string::npos) << utf8.out;

  // Without -g the group is "client", whose user has no access.
  Args client_group = base;
  client_group.insert(client_group.end(), {"-q", "SELECT 42"});
  RunResult other = Run(client_group);
  EXPECT_EQ(other.exit_code, 2);
  EXPECT_TRUE(StartsWith(other.out, "QUERY CRITICAL: Access denied for user 'nobody'@")) << other.out;
}

TEST_F(CheckDbquery, SocketConnection) {
  RunResult r = Run({CHECK_DBQUERY_PATH, "-s", server_.socket, "-u", server_.user, "-p",
                     server_.password, "-q", "SELECT 3"});
  EXPECT_EQ(r.out, "QUERY OK: 'SELECT 3' returned 3.000000 | result=3\n");
}

TEST_F(CheckDbquery, GermanMessages) {
  const std::map<std::string, std::string> german = {
      {"LC_ALL", "de_DE.UTF-8"}, {"LANG", ""}, {"LANGUAGE", ""}};
  RunResult warn = Run(Login({"-q", "SELECT 15.5", "-w", "10", "-c", "20"}), german);
  // The decimal mark stays a dot: performance data is read by machines.
  EXPECT_EQ(warn.out, "QUERY WARNUNG: 'SELECT 15.5' lieferte 15.500000 | result=15.5;10;20\n");
  EXPECT_EQ(warn.exit_code, 1);
  RunResult empty = Run(Login({"-q", "SELECT id FROM empty_table"}), german);
  EXPECT_EQ(empty.out, "QUERY WARNUNG: Keine Zeilen zurückgegeben\n");
  // LANGUAGE holds beside the C locale that systems set for services.
  RunResult language = Run(Login({"-q", "SELECT id FROM empty_table"}),
                           {{"LC_ALL", ""}, {"LANG", "C.UTF-8"}, {"LANGUAGE", "de"}});
  EXPECT_EQ(language.out, empty.out);
  RunResult bad = Run(Login({"-q", "SELECT 'x'"}), german);
  EXPECT_EQ(bad.out, "QUERY KRITISCH: Ist kein numerischer Wert - 'x'\n");
  RunResult range = Run({CHECK_DBQUERY_PATH, "-q", "SELECT 1", "-w", "5:1"}, german);
  EXPECT_EQ(range.out, "Bereichsformat fehlerhaft\n");
}

TEST_F(CheckDbquery, CommandLineErrors) {
  const struct {
    Args args;
    std::string out;
    std::string err;
  } cases[] = {
      {{}, std::string("check_dbquery: Must specify a SQL query to run\n") + kUsage, ""},
      {{"-H", "bad_host!", "-h"},
       std::string("check_dbquery: Invalid hostname/address - bad_host!\n") + kUsage, ""},
      {{"-q", "SELECT 1", "-x"}, kUsage, "check_dbquery: invalid option -- 'x'\n"},
      {{"-q"}, kUsage, "check_dbquery: option requires an argument -- 'q'\n"},
      {{"--ver"}, kUsage,
       "check_dbquery: option '--ver' is ambiguous; possibilities: '--verbose' '--version'\n"},
      // A mistyped port must not quietly check another one.
      {{"-q", "SELECT 1", "-P", "33o6"},
       std::string("check_dbquery: Invalid port number - 33o6\n") + kUsage, ""},
      {{"-q", "SELECT 1", "--port=65536"},
       std::string("check_dbquery: Invalid port number - 65536\n") + kUsage, ""},
      // Ranges are read after the whole line, so they are reported first.
      {{"-w", "20:10"}, "Range format incorrect\n", ""},
      {{"-H", "db|x\ny", "-q", "SELECT 1"},
       std::string("check_dbquery: Invalid hostname/address - db/x y\n") + kUsage, ""},
      // A stray word, as a mistyped option's value or a query without -q,
      // is named before a missing query.
      {{"-q", "SELECT 1", "extra", "words"},
       std::string("check_dbquery: Unexpected argument - extra\n") + kUsage, ""},
      {{"SELECT 1"}, std::string("check_dbquery: Unexpected argument - SELECT 1\n") + kUsage, ""},
  };
  for (const auto& c : cases) {
    Args args = {CHECK_DBQUERY_PATH};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult r = Run(args);
    EXPECT_EQ(r.exit_code, 3) << c.out;
    EXPECT_EQ(r.out, c.out);
    // The parser names the program as it was started.
    std::string err = r.err;
    size_t at = err.find(CHECK_DBQUERY_PATH);
    if (at != std::string::npos) err.replace(at, sizeof(CHECK_DBQUERY_PATH) - 1, "check_dbquery");
    EXPECT_EQ(err, c.err);
  }
}

TEST_F(CheckDbquery, HelpAndVersion) {
  RunResult version = Run({CHECK_DBQUERY_PATH, "-q", "x", "--version", "-H", "bad_host!"});
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_EQ(version.out, "check_dbquery v2.1.1 (kivrel-plugins 2.1.1)\n");

  RunResult help = Run({CHECK_DBQUERY_PATH, "-P", "1234", "stray", "--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_TRUE(StartsWith(help.out, "check_dbquery v2.1.1 (kivrel-plugins 2.1.1)\n"));
  EXPECT_NE(help.out.find("This program checks a query result against threshold levels\n\n\n" +
                          std::string(kUsage) + "\nOptions:\n -h, --help\n"),
            std::string::npos);
  EXPECT_NE(help.out.find(" -P, --port=INTEGER\n    Port number (default: 3306)\n"
                          " -s, --socket=STRING\n"),
            std::string::npos);
  EXPECT_NE(help.out.find("    ==> IMPORTANT: THIS FORM OF AUTHENTICATION IS NOT SECURE!!! <==\n"
                          "    Your clear-text password could be visible as a process table entry\n"
                          " -l, --ssl\n    Use ssl encryptation\n"),
            std::string::npos);
  EXPECT_NE(help.out.find(" -t, --timeout=INTEGER\n"
                          "    Seconds before the check ends CRITICAL (default: 10)\n"
                          " --check-grants\n"
                          "    Measure nothing: check that the user may run each statement that the other\n"
                          "    options need, and show the GRANT statement for each privilege missing\n"
                          "\n A query"),
            std::string::npos);
  EXPECT_NE(help.out.find(" --rows\n    Classify the number of rows instead of the first field\n"),
            std::string::npos);
  EXPECT_EQ(help.out.find("verbose"), std::string::npos);
}

}  // namespace
