// SPDX-License-Identifier: MIT
#include "kitcore.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "test_helpers.h"

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

struct range_case {
  const char* text;
  bool rejected;
  bool start_infinity;
  double start;
  bool end_infinity;
  double end;
  int alert_on;
};

TEST(Ranges, ParseTable) {
  const range_case cases[] = {
      {"10", false, false, 0, false, 10, 0},
      {"10:", false, false, 10, true, 0, 0},
      {"~:10", false, true, 0, false, 10, 0},
      {"10:20", false, false, 10, false, 20, 0},
      {"@10:20", false, false, 10, false, 20, 1},
      {"5:5", false, false, 5, false, 5, 0},
      {"~:", false, true, 0, true, 0, 0},
      {"@~:", false, true, 0, true, 0, 1},
      {":", false, false, 0, true, 0, 0},
      {"", false, false, 0, true, 0, 0},
      {"@", false, false, 0, true, 0, 1},
      {" 1.5e1 : 2e1 ", false, false, 15, false, 20, 0},
      {":10", false, false, 0, false, 10, 0},
      {"~ :10", false, true, 0, false, 10, 0},
      // A text that is not wholly a range is refused, not read as 0.
      {"~5:10", true, false, 0, false, 0, 0},
      {"10:20:30", true, false, 0, false, 0, 0},
      {"abc", true, false, 0, false, 0, 0},
      {"sixty", true, false, 0, false, 0, 0},
      {"5x", true, false, 0, false, 0, 0},
      {"5x:10", true, false, 0, false, 0, 0},
      {"@@5", true, false, 0, false, 0, 0},
      {"nan", true, false, 0, false, 0, 0},
      {"-10:-5", false, false, -10, false, -5, 0},
      {"20:10", true, false, 0, false, 0, 0},
      {"@20:10", true, false, 0, false, 0, 0},
      {"0:-1", true, false, 0, false, 0, 0},
      {"nan:5", true, false, 0, false, 0, 0},
      {"1:nan", true, false, 0, false, 0, 0},
      // A bound must be finite: "inf" and a number too large for a double
      // would be written as "inf" into performance data.
      {"1e999", true, false, 0, false, 0, 0},
      {"-1e999:", true, false, 0, false, 0, 0},
      {"inf", true, false, 0, false, 0, 0},
      {"0x10", true, false, 0, false, 0, 0},
  };
  for (const auto& c : cases) {
    std::string text = c.text;
    range* r = parse_range_string(text.data());
    SCOPED_TRACE(std::string("range «") + c.text + "»");
    if (c.rejected) {
      EXPECT_EQ(r, nullptr);
      continue;
    }
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->start_infinity, c.start_infinity);
    EXPECT_EQ(r->start, c.start);
    EXPECT_EQ(r->end_infinity, c.end_infinity);
    EXPECT_EQ(r->end, c.end);
    EXPECT_EQ(r->alert_on, c.alert_on);
    EXPECT_EQ(text, c.text) << "the range text must not be modified";
    free(r);
  }
}

struct alert_case {
  const char* text;
  double value;
  int alerts;
};

TEST(Ranges, CheckRangeTable) {
  const alert_case cases[] = {
      {"10", 10, FALSE},     {"10", 0, FALSE},       {"10", 10.5, TRUE},
      {"10", -0.5, TRUE},    {"@10:20", 10, TRUE},   {"@10:20", 15, TRUE},
      {"@10:20", 20, TRUE},  {"@10:20", 9.99, FALSE}, {"@10:20", 20.01, FALSE},
      {"10:", 10, FALSE},    {"10:", 9.9, TRUE},     {"10:", 1e300, FALSE},
      {"~:10", -1000000, FALSE}, {"~:10", 10.1, TRUE}, {"5:5", 5, FALSE},
      {"5:5", 5.0001, TRUE}, {"~:", -1e300, FALSE},  {"@~:", 0, TRUE},
      {"", -0.1, TRUE},      {"", 0, FALSE},
      // A value that is not a number lies outside any range with a bound.
      {"10", kNaN, TRUE},    {"@10:20", kNaN, FALSE}, {"~:10", kNaN, TRUE},
      {"10:", kNaN, TRUE},   {"~:", kNaN, FALSE},    {"@~:", kNaN, TRUE},
  };
  for (const auto& c : cases) {
    std::string text = c.text;
    range* r = parse_range_string(text.data());
    ASSERT_NE(r, nullptr) << c.text;
    EXPECT_EQ(check_range(c.value, r), c.alerts) << "range «" << c.text << "» value " << c.value;
    free(r);
  }
}

TEST(Ranges, SetBoundsMakeThemFinite) {
  range r = {0, TRUE, 0, TRUE, 0};
  set_range_start(&r, -3);
  set_range_end(&r, 7);
  EXPECT_EQ(r.start_infinity, FALSE);
  EXPECT_EQ(r.end_infinity, FALSE);
  EXPECT_EQ(check_range(-3, &r), FALSE);
  EXPECT_EQ(check_range(7.5, &r), TRUE);
}

struct status_case {
  const char* warn;  // null: not given
  const char* crit;
  double value;
  int state;
};

TEST(Thresholds, GetStatusTestsCriticalFirst) {
  const status_case cases[] = {
      {"10", "20", 15, STATE_WARNING},
      {"10", "20", 25, STATE_CRITICAL},
      {"10", "20", 5, STATE_OK},
      {"10", "20", -1, STATE_CRITICAL},  // alerts for both ranges
      {nullptr, "20", 15, STATE_OK},
      {nullptr, "20", 25, STATE_CRITICAL},
      {"10", nullptr, 25, STATE_WARNING},
      {nullptr, nullptr, -1e9, STATE_OK},
      {"", nullptr, -1, STATE_WARNING},  // an empty text is a range
  };
  for (const auto& c : cases) {
    std::string w = c.warn ? c.warn : "", k = c.crit ? c.crit : "";
    thresholds* t = nullptr;
    ASSERT_EQ(_set_thresholds(&t, c.warn ? w.data() : nullptr, c.crit ? k.data() : nullptr), 0);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->warning != nullptr, c.warn != nullptr);
    EXPECT_EQ(t->critical != nullptr, c.crit != nullptr);
    EXPECT_EQ(get_status(c.value, t), c.state)
        << "warn " << (c.warn ? c.warn : "(none)") << " crit " << (c.crit ? c.crit : "(none)")
        << " value " << c.value;
    free(t->warning);
    free(t->critical);
    free(t);
  }
}

TEST(Thresholds, RejectedTextLeavesPointerAlone) {
  thresholds sentinel{};
  thresholds* t = &sentinel;
  char good[] = "10", bad[] = "20:10";
  EXPECT_EQ(_set_thresholds(&t, bad, good), 1);
  EXPECT_EQ(_set_thresholds(&t, good, bad), 1);
  EXPECT_EQ(t, &sentinel);
}

TEST(Thresholds, SetThresholdsDiesOnBadRange) {
  RunResult r = RunInChild([] {
    thresholds* t = nullptr;
    char warn[] = "10", crit[] = "20:10";
    set_thresholds(&t, warn, crit);
  });
  EXPECT_EQ(r.exit_code, STATE_UNKNOWN);
  EXPECT_EQ(r.out, "Range format incorrect\n");
  EXPECT_EQ(r.err, "");
}

TEST(Thresholds, PrintThresholds) {
  RunResult r = RunInChild([] {
    thresholds* t = nullptr;
    char w[] = "10", c[] = "20", only[] = "~:5";
    set_thresholds(&t, w, c);
    print_thresholds("my", t);
    print_thresholds("none", nullptr);
    set_thresholds(&t, nullptr, only);
    print_thresholds("crit", t);
    set_thresholds(&t, only, nullptr);
    print_thresholds("warn", t);
  });
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out,
            "my - Warning: start=0 end=10; Critical: start=0 end=20\n"
            "none - Threshold not set\n"
            "crit - Warning not set; Critical: start=0 end=5\n"
            "warn - Warning: start=0 end=5; Critical not set\n");
}

}  // namespace
