// SPDX-License-Identifier: MIT
// Quoting names and texts into SQL.
#include "db_sql.h"

#include <string>

#include <gtest/gtest.h>

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

}  // namespace
