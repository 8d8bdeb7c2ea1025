// SPDX-License-Identifier: MIT
// The expressions of check_dbstatus: parsing, the names they need, and
// their values from one run's sample.
#include "status_expr.h"

#include <cmath>
#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>

#include <gtest/gtest.h>

namespace {

server_value Num(double n) { return {true, n, std::to_string(n)}; }

// Status, system variables, the previous run 10 s ago, and the probes.
expr_sample Sample() {
  expr_sample s;
  s.status = {{"threads_connected", Num(8)}, {"uptime", Num(100)}, {"slow_queries", Num(50)},
              {"slave_running", Num(0)}, {"state", {false, 0, "busy"}}};
  s.variables = {{"max_connections", Num(64)}, {"version", {false, 0, "10.11"}}};
  s.previous = {{"slow_queries", 20}};
  s.seconds = 10;
  // The sample within 15 minutes, 600 s ago, with 2 slow queries.
  s.windows[900] = {{{"slow_queries", 2}}, 600, true};
  s.since_start = false;
  s.probes[PROBE_LONGEST_QUERY] = 3;
  s.probes[PROBE_OLDEST_TRANSACTION] = 7;
  s.probes[PROBE_LOCK_WAITS] = 2;
  // Each probe its own power of two: a sum tells which ones were read.
  const expr_probe more[] = {PROBE_METADATA_LOCK_WAITS, PROBE_IDLE_BLOCKER, PROBE_BINLOG_BYTES,
                             PROBE_BINLOG_FILES, PROBE_AUTOINC_USED, PROBE_TLS_CERT_DAYS};
  for (int i = 0; i < 6; ++i) s.probes[more[i]] = 1 << (i + 4);
  return s;
}

TEST(StatusExpr, ParsesAndEvaluates) {
  const std::string deep(64, '(');
  const struct {
    std::string text;
    double value;        // NaN: no value
    std::string error;   // a parse error, or a name that does not read
  } cases[] = {
      {"100*Threads_connected/@max_connections", 12.5, ""},
      {"1+2*3", 7, ""},
      {"(1+2)*3", 9, ""},
      {"10-4-3", 3, ""},
      {"8/4/2", 1, ""},
      {"-2*-3", 6, ""},
      {"-Uptime", -100, ""},
      {"1--(2+3)", 6, ""},
      {" 1.5 +\t.5 ", 2, ""},
      {"rate(Slow_queries)", 3, ""},
      {"DELTA(slow_QUERIES)", 30, ""},
      {"longest_query()+oldest_transaction()*lock_waits()", 17, ""},
      {"metadata_lock_waits()+Idle_Blocker()+binlog_bytes()", 16 + 32 + 64, ""},
      {"binlog_files()+autoinc_used()+TLS_CERT_DAYS()", 128 + 256 + 512, ""},
      {"autoinc_used(x)", 0, "Syntax error in 'autoinc_used(x)' at 'x'"},
      {"Replica_running + @MAX_CONNECTIONS", 64, ""},
      {"1/0", NAN, ""},
      {"1/(2-2)", NAN, ""},
      {deep + "1" + std::string(64, ')'), 1, ""},
      {"1+", 0, "Syntax error in '1+' at its end"},
      {"(1", 0, "Syntax error in '(1' at its end"},
      {"1)", 0, "Syntax error in '1)' at ')'"},
      {"1 2", 0, "Syntax error in '1 2' at '2'"},
      {"", 0, "Syntax error in '' at its end"},
      {"12abc", 0, "Syntax error in '12abc' at 'abc'"},
      {"1.2.3", 0, "Syntax error in '1.2.3' at '1.2.3'"},
      {"1e3", 0, "Syntax error in '1e3' at 'e3'"},
      {"@", 0, "Syntax error in '@' at '@'"},
      {"2 ä", 0, "Syntax error in '2 ä' at 'ä'"},
      {"rate(1)", 0, "Syntax error in 'rate(1)' at '1'"},
      {"rate(@x)", 0, "Syntax error in 'rate(@x)' at '@x'"},
      {"rate(Slow_queries, 15m)", 48.0 / 600, ""},
      {"delta(Slow_queries,900s)+rate(Slow_queries)", 48 + 3, ""},
      {"delta(Slow_queries, 2h)", NAN, ""},  // no sample for that window
      {"rate(Slow_queries, 15)", 0, "Syntax error in 'rate(Slow_queries, 15)' at '15'"},
      {"rate(Slow_queries, 1.5h)", 0, "Syntax error in 'rate(Slow_queries, 1.5h)' at '1.5h'"},
      {"rate(Slow_queries, 15 m)", 0, "Syntax error in 'rate(Slow_queries, 15 m)' at '15'"},
      {"rate(Slow_queries, 169h)", 0, "Syntax error in 'rate(Slow_queries, 169h)' at '169h'"},
      {"rate(Slow_queries,)", 0, "Syntax error in 'rate(Slow_queries,)' at ')'"},
      {"lock_waits(, 1s)", 0, "Syntax error in 'lock_waits(, 1s)' at ','"},
      {"lock_waits(x)", 0, "Syntax error in 'lock_waits(x)' at 'x'"},
      {"sqrt(4)", 0, "Unknown function 'sqrt' in 'sqrt(4)'"},
      {"(" + deep + "1", 0, "Syntax error in '(" + deep + "1' at '('"},
      {std::string(400, '9'), 0, "Syntax error in '" + std::string(400, '9') + "' at '" +
                                     std::string(400, '9') + "'"},
      {"Nosuch*2", 0, "No status variable Nosuch on the server (in 'Nosuch*2')"},
      {"@nosuch", 0, "No system variable @nosuch on the server (in '@nosuch')"},
      {"State", 0, "The status variable State holds 'busy', which is no number (in 'State')"},
      {"@version", 0, "The system variable @version holds '10.11', which is no number (in '@version')"},
  };
  expr_sample sample = Sample();
  for (const auto& c : cases) {
    status_expr e;
    std::string error;
    if (!parse_status_expr(c.text, &e, &error)) {
      EXPECT_EQ(error, c.error) << c.text;
      continue;
    }
    EXPECT_EQ(expr_check_names(e, sample), c.error) << c.text;
    if (!c.error.empty())
      continue;
    double value = evaluate_status_expr(e, sample);
    if (std::isnan(c.value))
      EXPECT_TRUE(std::isnan(value)) << c.text << " gave " << value;
    else
      EXPECT_DOUBLE_EQ(value, c.value) << c.text;
  }
}

TEST(StatusExpr, CountsSinceStartWithoutPreviousRun) {
  status_expr rate, delta;
  std::string error;
  ASSERT_TRUE(parse_status_expr("rate(Slow_queries)", &rate, &error));
  ASSERT_TRUE(parse_status_expr("delta(Slow_queries)", &delta, &error));
  expr_sample s = Sample();
  s.seconds = 0;
  EXPECT_TRUE(std::isnan(evaluate_status_expr(rate, s)));  // a rate over no time
  EXPECT_DOUBLE_EQ(evaluate_status_expr(delta, s), 30);
  s.since_start = true;
  EXPECT_DOUBLE_EQ(evaluate_status_expr(rate, s), 0.5);
  EXPECT_DOUBLE_EQ(evaluate_status_expr(delta, s), 50);
  s.status.erase("uptime");
  EXPECT_EQ(expr_check_names(rate, s),
            "No status variable Uptime on the server (in 'rate(Slow_queries)')");

  expr_needs needs;
  expr_add_needs(rate, &needs);
  status_expr other;
  ASSERT_TRUE(parse_status_expr("Threads_connected/@Max_connections+lock_waits()", &other, &error));
  expr_add_needs(other, &needs);
  EXPECT_EQ(needs.status, (std::set<std::string>{"slow_queries", "threads_connected", "uptime"}));
  EXPECT_EQ(needs.variables, std::set<std::string>{"max_connections"});
  EXPECT_EQ(needs.counters, std::set<std::string>{"slow_queries"});
  EXPECT_TRUE(needs.probes[PROBE_LOCK_WAITS] && !needs.probes[PROBE_LONGEST_QUERY]);
  EXPECT_TRUE(expr_uses_counters(rate) && !expr_uses_counters(other));
  EXPECT_EQ(expr_other_spelling("rpl_semi_sync_master_clients"), "rpl_semi_sync_source_clients");
  EXPECT_EQ(expr_other_spelling("slave_open_temp_tables"), "replica_open_temp_tables");
  EXPECT_EQ(expr_other_spelling("threads_connected"), "");
}

// The previous run's sample ("uptime time slow_queries") against this one,
// taken at 1000 with an Uptime of 100 (a start at 900) and 50 slow queries;
// the state was read at 1002.
TEST(StatusExpr, PreviousSample) {
  using P = expr_previous;
  const std::pair<std::string, P> cases[] = {
      {"90 990 20", P::follows}, {"94 990 50", P::follows},  // a start 4 s earlier
      {"96 990 20", P::none},                                 // 6 s: another start
      {"60 930 20", P::none},          // a restart the Uptime has passed since
      {"90 990 60", P::none},          // FLUSH STATUS sets counters back
      {"99.5 999.5 60", P::newer},     // counters ahead a moment before: read later
      {"101.5 1001.5 60", P::newer}, {"5 1001.5 1", P::newer},  // later: no restart
      {"105 1005 60", P::none},        // later than the state was read
      {expr_encode_sample(97, 997.25, {35}), P::follows}, {"90 990 20x", P::none},
  };
  status_expr rate;
  std::string error;
  ASSERT_TRUE(parse_status_expr("rate(Slow_queries)", &rate, &error));
  for (const auto& [line, previous] : cases) {
    expr_sample s = Sample();
    EXPECT_EQ(expr_take_previous(line.c_str(), {"slow_queries"}, 1000, 1002, &s), previous) << line;
    double uptime = 0, then = 0, before = 0, got = evaluate_status_expr(rate, s);
    sscanf(line.c_str(), "%lf %lf %lf", &uptime, &then, &before);
    if (previous == P::newer)
      EXPECT_TRUE(std::isnan(got)) << line << " gave " << got;
    else
      EXPECT_DOUBLE_EQ(got, previous == P::none ? 0.5 : (50 - before) / (1000 - then)) << line;
  }
}

// A division by a change of 0 is no activity; other divisions by 0 are not.
TEST(StatusExpr, NoActivity) {
  const struct {
    const char* text;
    bool idle;
  } cases[] = {
      {"100-100*delta(Slow_queries)/delta(Reads)", true},
      {"delta(Slow_queries)/(delta(Reads)+rate(Reads))", true},
      {"-(1/delta(Reads))", true},
      {"1/(delta(Reads)-delta(Reads))", false},
      {"1/(2*delta(Reads))", false},
      {"1/(Uptime-100)", false},
  };
  expr_sample s = Sample();
  s.status["reads"] = Num(7);
  s.previous["reads"] = 7;
  for (const auto& c : cases) {
    status_expr e;
    std::string error;
    ASSERT_TRUE(parse_status_expr(c.text, &e, &error)) << error;
    bool idle = !c.idle;
    EXPECT_TRUE(std::isnan(evaluate_status_expr(e, s, &idle))) << c.text;
    EXPECT_EQ(idle, c.idle) << c.text;
  }
}

TEST(StatusExpr, Durations) {
  const struct {
    const char* text;
    bool bare;
    double seconds;  // 0: not read
    const char* shown;
  } cases[] = {
      {"90s", false, 90, "1m30s"}, {"15m", false, 900, "15m"}, {"2h", true, 7200, "2h"},
      {"250", true, 250, "4m10s"}, {"3661s", false, 3661, "1h1m1s"}, {"168h", false, 604800, "168h"},
      {"250", false, 0, ""}, {"0s", false, 0, ""}, {"604801s", false, 0, ""}, {"1x", true, 0, ""},
      {"", true, 0, ""}, {"-5s", true, 0, ""}, {"99999999999999999999h", true, 0, ""},
  };
  for (const auto& c : cases) {
    double seconds = 0;
    EXPECT_EQ(expr_read_duration(c.text, c.bare, &seconds), c.seconds > 0) << c.text;
    EXPECT_EQ(seconds, c.seconds) << c.text;
    if (c.seconds > 0) {
      EXPECT_EQ(expr_duration_text(seconds), c.shown) << c.text;
    }
  }
  EXPECT_EQ(expr_duration_text(0.4), "0s");
}

// A ring of samples (newest first) against this run's, as in PreviousSample:
// each window counts from the oldest usable sample within it.
TEST(StatusExpr, RingOfSamples) {
  const std::set<std::string> counters = {"slow_queries"};
  const struct {
    std::string line;
    size_t usable;
    double from60, from600;    // the slow queries each window counts from
    bool named60, named600;    // the window names its interval
  } cases[] = {
      {"90 990 40;30 930 10;10 910 5", 3, 40, 5, false, true},
      {"90 990 40;30 930 45;10 910 5", 1, 40, 40, true, true},  // FLUSH STATUS between
      {"90 990 40;30 900 10", 1, 40, 40, true, true},           // another start
      {"30 930 10", 1, 10, 10, true, true},                     // older than 60 s
      {"90 990 40;30 930 10;", 0, 0, 0, false, false},          // broken: none
  };
  for (const auto& c : cases) {
    expr_sample s = Sample();
    std::vector<expr_kept> kept;
    expr_previous p = expr_take_ring(c.line.c_str(), counters, {60, 600}, 1000, 1002, &s, &kept);
    ASSERT_EQ(kept.size(), c.usable) << c.line;
    EXPECT_EQ(p, c.usable ? expr_previous::follows : expr_previous::none) << c.line;
    if (!c.usable) continue;
    EXPECT_EQ(s.windows[60].counters["slow_queries"], c.from60) << c.line;
    EXPECT_EQ(s.windows[600].counters["slow_queries"], c.from600) << c.line;
    EXPECT_EQ(s.windows[600].seconds, 1000 - kept.back().at) << c.line;
    EXPECT_EQ(s.windows[60].name_interval, c.named60) << c.line;
    EXPECT_EQ(s.windows[600].name_interval, c.named600) << c.line;
  }

  // The next line keeps one sample as old as the longest window, no older.
  expr_kept now{100, 1000, {50}};
  std::vector<expr_kept> kept = {{90, 990, {40}}, {30, 930, {10}}, {10, 910, {5}}};
  auto line = [](const std::vector<expr_kept>& ring) {
    std::string text;
    for (const expr_kept& k : ring) text += (text.empty() ? "" : ";") + expr_encode_sample(k.uptime, k.at, k.values);
    return text;
  };
  EXPECT_EQ(expr_next_ring(now, kept, 60), line({now, kept[0], kept[1]}));
  EXPECT_EQ(expr_next_ring(now, kept, 0), line({now}));
  // At most expr_ring_max, the newest and oldest among them.
  std::vector<expr_kept> many;
  for (int i = 1; i <= 40; ++i) many.push_back({100.0 - i, 1000.0 - i, {50.0 - i}});
  std::string ring = expr_next_ring(now, many, 3600);
  EXPECT_EQ(std::count(ring.begin(), ring.end(), ';') + 1, static_cast<long>(expr_ring_max)) << ring;
  EXPECT_EQ(ring.substr(ring.rfind(';') + 1), line({many.back()}));
  // No more than a state line holds: 32 big counters leave this run's alone.
  expr_kept big{100, 1000, std::vector<double>(32, 1.2345678901234567e19)};
  EXPECT_EQ(expr_next_ring(big, {big, big}, 3600), line({big}));
}

TEST(StatusExpr, ServerTexts) {
  const struct {
    const char* text;
    bool number;
    double value;
  } cases[] = {
      {"12", true, 12}, {"-1.5", true, -1.5}, {"+3", true, 3}, {"1e3", true, 1000},
      {"ON", true, 1}, {"yes", true, 1}, {"Off", true, 0}, {"NO", true, 0},
      {"", false, 0}, {"inf", false, 0}, {"nan", false, 0}, {"0x10", false, 0},
      {"12abc", false, 0}, {" 1", false, 0}, {"1e999", false, 0},
  };
  for (const auto& c : cases) {
    double value = -7;
    EXPECT_EQ(expr_text_number(c.text, &value), c.number) << c.text;
    if (c.number) {
      EXPECT_DOUBLE_EQ(value, c.value) << c.text;
    }
  }
}

}  // namespace
