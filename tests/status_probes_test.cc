// SPDX-License-Identifier: MIT
// What check_dbstatus's probes make of the server's rows (which users
// they leave out: the black-box runs).
#include "status_probes.h"

#include <cmath>
#include <string>

#include <gtest/gtest.h>

namespace {

TEST(StatusProbes, AutoincUsedFromTypeAndSign) {
  const struct {
    const char* type;
    const char* column_type;
    const char* next;
    double percent;  // -1: not counted
  } cases[] = {
      {"tinyint", "tinyint(4)", "121", 100.0 * 120 / 127},
      {"TINYINT", "tinyint(3) unsigned", "121", 100.0 * 120 / 255},
      {"tinyint", "tinyint(4)", "128", 100},
      {"smallint", "smallint(6) unsigned zerofill", "32768", 100.0 * 32767 / 65535},
      {"int", "int(10) unsigned", "2147483648", 100.0 * 2147483647 / 4294967295.0},
      // Past the signed maximum, an unsigned BIGINT has used half its range.
      {"bigint", "bigint(20) unsigned", "9223372036854775809", 50},
      {"bigint", "bigint(20)", "9223372036854775808", 100},
      {"bigint", "bigint(20) unsigned", "18446744073709551616", -1},
      {"double", "double", "10", -1},
      {"int", "int(11)", "12x", -1},
  };
  for (const auto& c : cases) {
    double got = autoinc_used_percent(c.type, c.column_type, c.next);
    EXPECT_NEAR(got, c.percent, 1e-9) << c.type << " " << c.column_type << " " << c.next;
  }
}

TEST(StatusProbes, CertificateDaysLeft) {
  // 2036-12-06 22:59:59 UTC.
  const time_t end = 2112217199;
  const struct {
    const char* text;
    time_t now;
    double days;  // NaN: refused
  } cases[] = {
      {"Dec  6 22:59:59 2036 GMT", end - 86400 * 30, 30},
      {"Dec  6 22:59:59 2036 GMT", end + 86400 * 2, -2},
      {"Feb 29 00:00:00 2028 GMT", 1835395200 - 86400, 1},
      {"Dez  6 22:59:59 2036 GMT", end, NAN},
      {"Dec  6 22:59:59 2036 CET", end, NAN},
  };
  for (const auto& c : cases) {
    double days = 1234;
    bool read = cert_days_left(c.text, c.now, &days);
    EXPECT_EQ(read, !std::isnan(c.days)) << c.text;
    if (read) {
      EXPECT_DOUBLE_EQ(days, c.days) << c.text;
    }
  }
}

}  // namespace
