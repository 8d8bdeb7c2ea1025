// SPDX-License-Identifier: MIT
#include "plugin_routines.h"

#include <clocale>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "kitcore.h"
#include "test_helpers.h"

const char* progname = "check_test";
void print_usage(void) { printf("Usage:\n check_test -x\n"); }

namespace {

TEST(PluginRoutines, IsHost) {
  const struct {
    const char* text;
    bool host;
  } cases[] = {
      {"localhost", true},
      {"db1.example.com", true},
      {"db1.example.com.", true},  // one trailing dot
      {"a-b.c", true},
      {"123.example", true},
      {"127.0.0.1", true},
      {"::1", true},
      {"2001:db8::42", true},
      {"/var/run/mysqld/mysqld.sock", true},
      {"", false},
      {"-db", false},
      {"db-", false},
      {"db..example", false},
      {"db.example..", false},
      {".", false},
      {"under_score", true},
      {"db_1", true},
      {"bad host", false},
      {"host;rm", false},
      {"relative/path", false},
      {"[::1]", false},
      {"300.1.1.1.x-", false},
      {"h\xc3\xa9llo", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(is_host(c.text) != 0, c.host) << "«" << c.text << "»";

  std::string label63(63, 'a'), label64(64, 'a');
  EXPECT_TRUE(is_host(label63.c_str()));
  EXPECT_FALSE(is_host(label64.c_str()));
  std::string name253, name254;
  while (name253.size() < 253) name253 += name253.empty() ? "a" : ".a";  // 253 chars
  name254 = name253 + "b";
  ASSERT_EQ(name253.size(), 253u);
  EXPECT_TRUE(is_host(name253.c_str()));
  EXPECT_FALSE(is_host(name254.c_str()));
  EXPECT_TRUE(is_host((name253 + ".").c_str()));
  EXPECT_FALSE(is_host(nullptr));
}

TEST(PluginRoutines, IsIntnonneg) {
  const struct {
    const char* text;
    bool ok;
  } cases[] = {
      {"0", true},   {"3306", true}, {"+5", true},    {"007", true},
      {"2147483647", true}, {"2147483648", false},   {"99999999999999999999", false},
      {"", false},   {"+", false},   {"-1", false},   {"5x", false},
      {" 5", false}, {"5 ", false},  {"1.0", false},  {"++1", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(is_intnonneg(c.text) != 0, c.ok) << "«" << c.text << "»";
  EXPECT_FALSE(is_intnonneg(nullptr));
}

TEST(PluginRoutines, IsNumeric) {
  const struct {
    const char* text;
    bool ok;
  } cases[] = {
      {"0", true},      {"15", true},    {"-15", true},   {"+1.5", true},
      {".5", true},     {"5.", true},    {"1e3", true},   {"1.5E-3", true},
      {"00012", true},  {"", false},     {"abc", false},  {"12abc", false},
      {"1,5", false},   {" 1", false},   {"1 ", false},   {"nan", false},
      {"inf", false},   {"-Infinity", false}, {"0x10", false}, {"1e999", false},
      {"-", false},     {".", false},    {"e5", false},   {"1e", false},
      {"1.2.3", false}, {"--1", false},  {"1e400", false}, {"-1e400", false},
      {"1e-400", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_numeric(c.text) != 0, c.ok) << "«" << c.text << "»";
    // The value read is strtod's, to the bit.
    double value = -1;
    if (c.ok && kr_read_number(c.text, &value)) {
      EXPECT_EQ(value, strtod(c.text, nullptr)) << c.text;
    }
  }
  EXPECT_FALSE(is_numeric(nullptr));  // a SQL NULL field
  // A number that ends before the text does, as a range bound or a state
  // line holds it.
  double value = 0;
  EXPECT_TRUE(kr_read_number_n("0.1:20", 3, &value));
  EXPECT_EQ(value, 0.1);
  EXPECT_FALSE(kr_read_number_n("0.1:20", 4, &value));
}

TEST(PluginRoutines, NumbersIgnoreTheLocale) {
  // A locale whose decimal mark is a comma must not change how numbers are
  // read or written; skipped only where no such locale is installed.
  if (!setlocale(LC_NUMERIC, "de_DE.UTF-8")) GTEST_SKIP() << "de_DE.UTF-8 not installed";
  EXPECT_TRUE(is_numeric("1.5"));
  EXPECT_FALSE(is_numeric("1,5"));
  EXPECT_STREQ(fperfdata("t", 0.25, "", TRUE, 1.5, FALSE, 0, FALSE, 0, FALSE, 0), "t=0.25;1.5");
  setlocale(LC_NUMERIC, "C");
}

TEST(PluginRoutines, Perfdata) {
  const struct {
    const char* got;
    const char* want;
  } cases[] = {
      {fperfdata("result", 15, "", TRUE, 10, TRUE, 20, FALSE, 0, FALSE, 0), "result=15;10;20"},
      {fperfdata("result", 0.5, "", FALSE, 0, FALSE, 0, FALSE, 0, FALSE, 0), "result=0.5"},
      {fperfdata("result", 0.1, "", FALSE, 0, TRUE, 20, FALSE, 0, FALSE, 0), "result=0.1;;20"},
      {fperfdata("time", 1.25, "s", FALSE, 0, FALSE, 0, TRUE, 0, FALSE, 0), "time=1.25s;;;0"},
      {fperfdata("x", -3, "", TRUE, 0, FALSE, 0, FALSE, 0, TRUE, 100), "x=-3;0;;;100"},
      {fperfdata("big", 1e20, "", FALSE, 0, FALSE, 0, FALSE, 0, FALSE, 0),
       "big=100000000000000000000"},
      {fperfdata("small", 0.0001, "", FALSE, 0, FALSE, 0, FALSE, 0, FALSE, 0), "small=0.0001"},
      {fperfdata("third", 1.0 / 3, "", FALSE, 0, FALSE, 0, FALSE, 0, FALSE, 0),
       "third=0.3333333333333333"},
      {fperfdata("two words", 1, "", FALSE, 0, FALSE, 0, FALSE, 0, FALSE, 0), "'two words'=1"},
      // No byte that would end the label, its quotes, the performance data
      // or the line.
      {fperfdata("a=b", 1, "", FALSE, 0, FALSE, 0, FALSE, 0, FALSE, 0), "a_b=1"},
      {fperfdata("it's", 1, "", FALSE, 0, FALSE, 0, FALSE, 0, FALSE, 0), "it_s=1"},
      {perfdata("x|y z", 1, "", FALSE, 0, FALSE, 0, FALSE, 0, FALSE, 0), "'x_y z'=1"},
      {rperfdata("lag_a\nb\tc\x7f", 1, "s", nullptr, nullptr, FALSE, 0, FALSE, 0), "lag_a_b_c_=1s"},
      {rperfdata("lag_\xc3\xa9" "ast", 1, "s", nullptr, nullptr, FALSE, 0, FALSE, 0), "lag_\xc3\xa9" "ast=1s"},
      {perfdata("conn", 42, "", TRUE, 10, TRUE, 20, TRUE, 0, TRUE, 100), "conn=42;10;20;0;100"},
      {perfdata("conn", -7, "B", FALSE, 0, FALSE, 0, FALSE, 0, FALSE, 0), "conn=-7B"},
      {perfdata("conn", LONG_MAX, "", FALSE, 0, FALSE, 0, TRUE, LONG_MIN, FALSE, 0),
       "conn=9223372036854775807;;;-9223372036854775808"},
  };
  for (const auto& c : cases) EXPECT_STREQ(c.got, c.want);
}

TEST(PluginRoutines, IsPerfLabel) {
  const struct {
    const char* text;
    bool ok;
  } cases[] = {
      {"result", true}, {"running share", true}, {"100*a/@b", true}, {"l\xc3\xa4g", true},
      {"", false},      {"a=b", false},          {"it's", false},    {"a|b", false},
      {"a\nb", false},  {"a\tb", false},         {"\x7f", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(is_perf_label(c.text) != 0, c.ok) << "«" << c.text << "»";
  EXPECT_FALSE(is_perf_label(nullptr));
}

TEST(PluginRoutines, Xasprintf) {
  char* text = nullptr;
  EXPECT_EQ(xasprintf(&text, "%s-%d", "abc", 12), 6);
  EXPECT_STREQ(text, "abc-12");
  char* grown = nullptr;
  xasprintf(&grown, "%s %s", text, "more");
  EXPECT_STREQ(grown, "abc-12 more");
  free(text);
  free(grown);
}

TEST(PluginRoutines, UsageExits) {
  const std::string synopsis = "Usage:\n check_test -x\n";
  const struct {
    std::function<void()> call;
    std::string out;
  } cases[] = {
      {[] { usage("Must specify a SQL query to run"); },
       "check_test: Must specify a SQL query to run\n" + synopsis},
      {[] { usage2("Invalid hostname/address", "bad host"); },
       "check_test: Invalid hostname/address - bad host\n" + synopsis},
      {[] { usage4("Could not parse arguments"); },
       "check_test: Could not parse arguments\n" + synopsis},
      {[] { usage5(); }, synopsis},
  };
  for (const auto& c : cases) {
    RunResult r = RunInChild(c.call);
    EXPECT_EQ(r.exit_code, STATE_UNKNOWN);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, "");
  }
}

TEST(PluginRoutines, PrintRevision) {
  RunResult r = RunInChild([] { print_revision("check_test", "2.1.1"); });
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "check_test v2.1.1 (kivrel-plugins 2.1.1)\n");
}

}  // namespace
