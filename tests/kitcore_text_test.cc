// SPDX-License-Identifier: MIT
// The text and privilege helpers of kitcore.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "kitcore.h"
#include "test_helpers.h"

namespace {

// A helper's new text as a string; "(null)" for none.
std::string Take(char* text) {
  std::string s = text ? text : "(null)";
  free(text);
  return s;
}

TEST(TextHelpers, ExtractValue) {
  const struct {
    const char* list;
    const char* name;
    char sep;
    const char* value;
  } cases[] = {
      {"foo=1; bar = two words ;baz=", "bar", ';', "two words"},
      {"foo=1; bar = two words ;baz=", "foo", ';', "1"},
      {"foo=1; bar = two words ;baz=", "baz", ';', "(null)"},
      {"foo=1; bar = two words ;baz=", "ba", ';', "(null)"},
      {"foo=1; bar = two words ;baz=", "qux", ';', "(null)"},
      {"a=;a=2", "a", ';', "2"},
      {"a=1;a=2", "a", ';', "1"},
      {"a=  ;a=2", "a", ';', "2"},  // blanks alone are no value
      {"x = y", "x", ',', "y"},
      {"x", "x", ',', "(null)"},
      {"xa=1,x=2", "x", ',', "2"},
      {"A=1", "a", ',', "(null)"},
      {"k=v w\t\n", "k", ';', "v w"},
      {"k=1;k=2", "k", '\0', "1;k=2"},  // no separator: one entry
  };
  for (const auto& c : cases)
    EXPECT_EQ(Take(kr_extract_value(c.list, c.name, c.sep)), c.value)
        << c.list << " / " << c.name;
}

TEST(TextHelpers, EscapedString) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"a\\nb", "a\nb"},  {"\\r\\t", "\r\t"}, {"a\\\\b", "a\\b"},
      {"\\x\\\"", "x\""}, {"end\\", "end"},   {"", ""},
      {"\\\\n", "\\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(Take(kr_escaped_string(c.in)), c.out) << c.in;
}

TEST(TextHelpers, WarnIfNotRoot) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to compare both sides";
  RunResult root = RunInChild([] { printf("%d %d\n", kr_check_if_root(), kr_warn_if_not_root()); });
  EXPECT_EQ(root.out, "1 1\n");
  RunResult user = RunInChild([] {
    if (setresuid(65534, 65534, 65534) != 0) printf("setresuid failed\n");
    int checked = kr_check_if_root();
    int warned = kr_warn_if_not_root();
    printf("%d %d\n", checked, warned);
  });
  EXPECT_EQ(user.out,
            "Warning: This plugin must be either run as root or setuid root.\n"
            "To run as root, you can use a tool like sudo.\n"
            "To set the setuid permissions, use the command:\n"
            "\tchmod u+s yourpluginfile\n"
            "0 0\n");
}

// A set-id process (real ids nobody, effective and saved ids root) drops
// to its real ids for a while and takes its privileges back.
TEST(TextHelpers, TemporaryPrivilegeDrop) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a set-id process";
  RunResult r = RunInChild([] {
    if (setresgid(65534, 0, 0) != 0 || setresuid(65534, 0, 0) != 0) printf("setup failed\n");
    int dropped = idpriv_temp_drop();
    printf("%d %u %u\n", dropped, geteuid(), getegid());
    int restored = idpriv_temp_restore();
    printf("%d %u %u %u\n", restored, geteuid(), getegid(), getuid());
  });
  EXPECT_EQ(r.out, "0 65534 65534\n0 0 0 65534\n");
  // Without set-id there is nothing to give up, and nothing fails.
  RunResult plain = RunInChild([] {
    printf("%d %d %u\n", idpriv_temp_drop(), idpriv_temp_restore(), geteuid());
  });
  EXPECT_EQ(plain.out, "0 0 " + std::to_string(geteuid()) + "\n");
}

// A second drop before the restore keeps the privileged ids of the first,
// and a restore that cannot regain them (the program gave up its saved ids)
// says so.
TEST(TextHelpers, RepeatedPrivilegeDrop) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a set-id process";
  RunResult r = RunInChild([] {
    if (setresgid(65534, 0, 0) != 0 || setresuid(65534, 0, 0) != 0) printf("setup failed\n");
    int first = idpriv_temp_drop();
    int second = idpriv_temp_drop();
    int restored = idpriv_temp_restore();
    printf("%d %d %d %u %u\n", first, second, restored, geteuid(), getegid());
    idpriv_temp_drop();
    if (setresgid(-1, -1, 65534) != 0 || setresuid(-1, -1, 65534) != 0) printf("setup failed\n");
    restored = idpriv_temp_restore();
    printf("%d %u %u\n", restored, geteuid(), getegid());
  });
  EXPECT_EQ(r.out, "0 0 0 0 0\n-1 65534 65534\n");
}

}  // namespace
