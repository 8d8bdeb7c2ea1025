// SPDX-License-Identifier: MIT
// The verdict on replica status rows that a real MariaDB server cannot
// produce: the 12-column layout, the Replica_* spelling, NULL columns.
#include "replica_status.h"

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

const char* const kNull = nullptr;  // SQL NULL

struct replica_case {
  const char* what;
  std::vector<const char*> names;  // empty: the 12-column layout
  std::vector<const char*> values;
  const char* warn;  // -w, or null
  const char* crit;  // -c, or null
  replica_outcome outcome;
  std::string summary;
  std::string lag_item;
  std::string trace;  // with three -v
  bool replica_names = false;
};

const std::vector<const char*> kSlave = {"Slave_IO_State", "Slave_IO_Running",
                                         "Slave_SQL_Running", "Seconds_Behind_Master"};

TEST(ReplicaStatus, JudgesRows) {
  using o = replica_outcome;
  const std::string yes_yes = "Slave IO: Yes Slave SQL: Yes Seconds Behind Master: ";
  const replica_case cases[] = {
      {"old layout running", {}, {}, nullptr, nullptr, o::good, "Slave running: Yes", "", ""},
      {"old layout stopped", {}, {"No"}, nullptr, nullptr, o::not_running, "Slave running: No",
       "", ""},
      {"old layout NULL", {}, {kNull}, nullptr, nullptr, o::not_running,
       "Slave running: NULL", "", ""},
      {"SQL thread stopped", kSlave, {"", "Yes", "No", "5"}, nullptr, nullptr, o::not_running,
       "Slave IO: Yes Slave SQL: No Seconds Behind Master: 5", "", ""},
      {"IO thread connecting", kSlave, {"", "Connecting", "Yes", "0"}, "10", "20",
       o::not_running, "Slave IO: Connecting Slave SQL: Yes Seconds Behind Master: 0", "", ""},
      {"NULL thread column", kSlave, {"", kNull, "Yes", kNull}, nullptr, nullptr,
       o::not_running, "Slave IO: NULL Slave SQL: Yes Seconds Behind Master: NULL", "", ""},
      {"lag text NULL", kSlave, {"", "Yes", "Yes", "NULL"}, "1:", "2:", o::good,
       yes_yes + "NULL", "", "seconds_behind_field(index 3)=NULL\n"},
      {"lag SQL NULL", kSlave, {"", "Yes", "Yes", kNull}, "1:", "2:", o::good, yes_yes + "NULL",
       "", "seconds_behind_field(index 3)=NULL\n"},
      {"lag in range", kSlave, {"", "Yes", "Yes", "30"}, "60", "300", o::good, yes_yes + "30",
       "'seconds behind master'=30s;60;300", "seconds_behind_field(index 3)=30\n"},
      {"lag warning", kSlave, {"", "Yes", "Yes", "120"}, "60", "300", o::slow_warning,
       yes_yes + "120", "'seconds behind master'=120s;60;300",
       "seconds_behind_field(index 3)=120\n"},
      {"lag critical", kSlave, {"", "Yes", "Yes", "400"}, "60", "300", o::slow_critical,
       yes_yes + "400", "'seconds behind master'=400s;60;300",
       "seconds_behind_field(index 3)=400\n"},
      {"no ranges", kSlave, {"", "Yes", "Yes", "120"}, nullptr, nullptr, o::good,
       yes_yes + "120", "'seconds behind master'=120s;0;0",
       "seconds_behind_field(index 3)=120\n"},
      {"lag no number", kSlave, {"", "Yes", "Yes", "abc"}, "60", nullptr, o::not_a_number,
       yes_yes + "abc", "", "seconds_behind_field(index 3)=abc\n"},
      {"lag beyond a double", kSlave, {"", "Yes", "Yes", "1e400"}, nullptr, nullptr,
       o::not_a_number, yes_yes + "1e400", "", "seconds_behind_field(index 3)=1e400\n"},
      {"server texts in one line", kSlave, {"", "Yes|a\nb", "Yes", "0"}, nullptr, nullptr,
       o::not_running, "Slave IO: Yes/a b Slave SQL: Yes Seconds Behind Master: 0", "", ""},
      {"range start shown", kSlave, {"", "Yes", "Yes", "5"}, "10:20", nullptr, o::slow_warning,
       yes_yes + "5", "'seconds behind master'=5s;10;0", "seconds_behind_field(index 3)=5\n"},
      {"no lag column", {"Slave_IO_Running", "Slave_SQL_Running"}, {"Yes", "Yes"}, "1:",
       nullptr, o::good, yes_yes + "Unknown", "", "seconds_behind_field not found\n"},
      {"no SQL column", {"Slave_IO_Running", "Seconds_Behind_Master"}, {"Yes", "0"}, nullptr,
       nullptr, o::unavailable, "", "", ""},
      {"letter case counts", {"slave_io_running", "Slave_SQL_Running"}, {"Yes", "Yes"},
       nullptr, nullptr, o::unavailable, "", "", ""},
      {"last of a repeated name", {"Seconds_Behind_Master", "Slave_IO_Running",
       "Slave_SQL_Running", "Seconds_Behind_Master"}, {"1", "Yes", "Yes", "7"}, nullptr,
       nullptr, o::good, yes_yes + "7", "'seconds behind master'=7s;0;0",
       "seconds_behind_field(index 3)=7\n"},
      {"summary cut at 69", kSlave, {"", "Yes", "Yes", "1208925819614629174706176"},
       nullptr, nullptr, o::good, (yes_yes + "1208925819614629174706176").substr(0, 69),
       "'seconds behind master'=1208925819614629174706176s;0;0",
       "seconds_behind_field(index 3)=1208925819614629174706176\n"},
      {"replica spelling", {"Replica_IO_Running", "Replica_SQL_Running",
       "Seconds_Behind_Source"}, {"Yes", "Yes", "0"}, "1:", nullptr, o::slow_warning,
       yes_yes + "0", "'seconds behind master'=0s;1;0", "seconds_behind_field(index 2)=0\n",
       true},
      {"slave spelling from the replica statement", kSlave, {"", "Yes", "Yes", "0"}, "1:",
       nullptr, o::slow_warning, yes_yes + "0", "'seconds behind master'=0s;1;0",
       "seconds_behind_field(index 3)=0\n", true},
      {"replica spelling needs the replica statement", {"Replica_IO_Running",
       "Replica_SQL_Running"}, {"Yes", "Yes"}, nullptr, nullptr, o::unavailable, "", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<const char*> names = c.names, values = c.values;
    if (names.empty()) {  // the older layout: column 6 says it all
      names.assign(12, "x");
      values.assign(12, "Yes");
      values[6] = c.values.empty() ? "Yes" : c.values[0];
    }
    thresholds* limits = nullptr;
    std::string warn = c.warn ? c.warn : "", crit = c.crit ? c.crit : "";
    ASSERT_EQ(_set_thresholds(&limits, c.warn ? warn.data() : nullptr,
                              c.crit ? crit.data() : nullptr), 0);
    for (int verbose : {0, 3}) {
      replica_verdict v = judge_replica_row(
          static_cast<int>(names.size()), names.data(), values.data(), c.replica_names, limits,
          c.warn ? strtod(c.warn, nullptr) : 0.0, c.crit ? strtod(c.crit, nullptr) : 0.0,
          verbose);
      EXPECT_EQ(v.outcome, c.outcome);
      EXPECT_EQ(v.summary, c.summary);
      EXPECT_EQ(v.lag_item, c.lag_item);
      EXPECT_EQ(v.trace, verbose == 3 ? c.trace : "");
    }
  }
  replica_verdict none = judge_replica_row(0, nullptr, nullptr, false, nullptr, 0, 0, 0);
  EXPECT_EQ(none.outcome, replica_outcome::unavailable);
}

}  // namespace
