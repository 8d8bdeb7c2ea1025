// SPDX-License-Identifier: MIT
// Quoting names and texts into SQL.
#include "db_sql.h"

#include <string>

#include <gtest/gtest.h>

#include "test_helpers.h"

namespace {

TEST(DbSql, QuotesOrRefuses) {
  const std::string nul("a\0b", 3);
  const struct {
    std::string text;
    const char* identifier;  // null: refused
    const char* literal;
  } cases[] = {
      {"heartbeat", "`heartbeat`", "'heartbeat'"},
      {"a`b", "`a``b`", "'a`b'"},
      {"it's", "`it's`", "'it''s'"},
      {"``", "``````", "'``'"},
      {"a\\b", "`a\\b`", nullptr},
      {"", nullptr, "''"},
      {nul, nullptr, nullptr},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x90\xac", "`caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x90\xac`",
       "'caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x90\xac'"},
      // In gbk, 0xbf 0x60 is one character: the backtick after the lone
      // lead byte would not end the name.
      {"t\xbf` UNION SELECT 1", nullptr, nullptr},
      {"t\xbf' OR 1", nullptr, nullptr},
      {"\xc0\xa7", nullptr, nullptr},          // an overlong '
      {"\xe0\x81\xa0", nullptr, nullptr},      // an overlong '`'
      {"\xed\xa0\x80", nullptr, nullptr},      // a surrogate
      {"\xf4\x90\x80\x80", nullptr, nullptr},  // above U+10FFFF
      {"\xc3", nullptr, nullptr},              // cut short
      {"\xe2\x82", nullptr, nullptr},
      {"\x80", nullptr, nullptr},
      {"\xff", nullptr, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("«" + c.text + "»");
    const std::string refused = "(refused)";
    EXPECT_EQ(db_quote_identifier(c.text).value_or(refused), c.identifier ? c.identifier : refused);
    EXPECT_EQ(db_quote_literal(c.text).value_or(refused), c.literal ? c.literal : refused);
  }
}

TEST(DbSql, RefusalEndsTheRunUnknown) {
  RunResult r = RunInChild([] { db_identifier_or_die("t\xbf`|x", "The heartbeat table"); });
  EXPECT_EQ(r.out, "The heartbeat table cannot be put into a query safely (it must be valid "
                   "UTF-8, not empty, without NUL bytes): t\xbf`/x\n");
  EXPECT_EQ(r.exit_code, 3);
  r = RunInChild([] { db_literal_or_die("a\\", "A variable name"); });
  EXPECT_EQ(r.out, "A variable name cannot be put into a query safely (it must be valid UTF-8, "
                   "without NUL bytes and backslashes): a\\\n");
  EXPECT_EQ(r.exit_code, 3);
}

}  // namespace
