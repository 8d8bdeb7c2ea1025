// SPDX-License-Identifier: MIT
// The INI defaults reader: the syntax through the parser, the file choice and
// the failure exits through kr_get_defaults.
#include "ini_defaults.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "build_config.h"
#include "test_helpers.h"

using S = std::vector<std::string>;

// Takes the list over: returns its texts and frees it.
static S Take(kr_arg_list* list) {
  S out;
  for (kr_arg_list* l = list; l; l = l->next) out.push_back(l->arg);
  kr_arg_list_free(list);
  return out;
}

TEST(IniDefaults, Syntax) {
  struct testcase {
    std::string text;
    int result;
    S args;    // on KR_INI_OK
    int line;  // on KR_INI_MALFORMED
  } cases[] = {
      {"[s]\nkey=value\n", KR_INI_OK, {"--key=value"}, 0},
      {"[s]\nverbose\n", KR_INI_OK, {"--verbose"}, 0},
      {"  [ s ]  \n \t key \t=  value  \n", KR_INI_OK, {"--key=value"}, 0},
      {"[s]\nq = select 1 from t\n", KR_INI_OK, {"--q=select 1 from t"}, 0},
      {"[s]\nk = \"  a b \"\n", KR_INI_OK, {"--k=  a b "}, 0},
      {"[s]\npassword = \"\"\npassword =\n", KR_INI_OK, {"--password=", "--password="}, 0},
      {"[s]\nk = a=b # c\n", KR_INI_OK, {"--k=a=b # c"}, 0},
      {"# top\n\n[s]\n  # c\n\t; c\n\n a = 1\n   \n", KR_INI_OK, {"--a=1"}, 0},
      {"[x]\na\n[s]\nb\n[y]\nc\n[s]\nd", KR_INI_OK, {"--b", "--d"}, 0},
      {"[s]\r\nk = v\r\nflag\r\n", KR_INI_OK, {"--k=v", "--flag"}, 0},
      {"\xEF\xBB\xBF[s]\nk\n", KR_INI_OK, {"--k"}, 0},
      {"[s]\n# nothing\n[x]\na\n", KR_INI_OK, {}, 0},
      {"[S]\na\n", KR_INI_NO_SECTION, {}, 0},
      {"", KR_INI_NO_SECTION, {}, 0},
      {"[s]\na\n[abc\n", KR_INI_MALFORMED, {}, 3},
      {"[s] # c\n", KR_INI_MALFORMED, {}, 1},
      {"[s]\n[ ]\n", KR_INI_MALFORMED, {}, 2},
      {"[a]b]\n", KR_INI_MALFORMED, {}, 1},
      {"[s]\n = value\n", KR_INI_MALFORMED, {}, 2},
      {"[s]\nk = \"abc\n", KR_INI_MALFORMED, {}, 2},
      {"[s]\nk = \"\n", KR_INI_MALFORMED, {}, 2},
      {"[s]\nk = \"a\" b\n", KR_INI_MALFORMED, {}, 2},
      {"a = 1\n[s]\n", KR_INI_MALFORMED, {}, 1},
      {std::string("[s]\nk = a\0b\n", 11), KR_INI_MALFORMED, {}, 2},
      {std::string("[s]\n#\0\n", 7), KR_INI_MALFORMED, {}, 2},
      {"[s]\na\n[x]\n=1\n", KR_INI_MALFORMED, {}, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.text));
    kr_arg_list* list = reinterpret_cast<kr_arg_list*>(&list);  // must be overwritten
    int line = -1;
    int rc = kr_ini_parse(c.text.data(), c.text.size(), "s", &list, &line);
    EXPECT_EQ(rc, c.result);
    EXPECT_EQ(rc == KR_INI_OK ? Take(list) : S{}, c.args);
    if (rc != KR_INI_OK) {
      EXPECT_EQ(list, nullptr);
    }
    EXPECT_EQ(rc == KR_INI_MALFORMED ? line : 0, c.line);
  }
}

TEST(IniDefaults, ChoosesSectionAndFile) {
  ScopedTempDir dir;
  const char ini[] = "[plug]\nplug-%s\n[sec]\nsec-%s\n[empty]\n";
  char buf[64];
  snprintf(buf, sizeof buf, ini, "env", "env");
  setenv("KIVREL_PLUGIN_CONFIG_FILE", dir.WriteFile("env.ini", buf).c_str(), 1);
  snprintf(buf, sizeof buf, ini, "other", "other");
  // The file is what follows the first "@", so a file name may hold one.
  std::string other = dir.WriteFile("other@v1.ini", buf);
  struct testcase {
    const char* value;  // null: the option had no value
    S args;
  } cases[] = {
      {nullptr, {"--plug-env"}}, {"", {"--plug-env"}}, {"sec", {"--sec-env"}},
      {"sec@", {"--sec-env"}},   {"@", {"--plug-env"}}, {"empty", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value ? c.value : "(null)");
    std::string copy = c.value ? c.value : "";
    EXPECT_EQ(Take(kr_get_defaults(c.value ? copy.data() : nullptr, "plug")), c.args);
    EXPECT_EQ(copy, c.value ? c.value : "");  // read, never changed
  }
  std::string value = "sec@" + other;
  EXPECT_EQ(Take(kr_get_defaults(value.data(), "plug")), S{"--sec-other"});
  value = "@" + other;
  EXPECT_EQ(Take(kr_get_defaults(value.data(), "plug")), S{"--plug-other"});
  unsetenv("KIVREL_PLUGIN_CONFIG_FILE");
}

TEST(IniDefaults, FailuresEndTheRunWithOneLine) {
  ScopedTempDir dir;
  std::string good = dir.WriteFile("good.ini", "[sec]\na = 1\n");
  std::string bad = dir.WriteFile("bad.ini", "[sec]\na = 1\n\n[other\n");
  std::string missing = dir.path() + "/missing.ini";
  // A FIFO with a writer that never writes.
  std::string fifo = dir.path() + "/fifo.ini";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  int writer = open(fifo.c_str(), O_RDWR);
  ASSERT_GE(writer, 0);
  std::string cannot = "Cannot read extra options file ";
  struct testcase {
    std::string value;
    std::string out;
  };
  std::vector<testcase> cases = {
      {"sec@" + missing, cannot + missing + ": No such file or directory\n"},
      {"sec@" + dir.path(), cannot + dir.path() + ": Is a directory\n"},
      // Devices and FIFOs could block or never end: regular files only.
      {"sec@/dev/zero", cannot + "/dev/zero: Not a regular file\n"},
      {"sec@" + fifo, cannot + fifo + ": Not a regular file\n"},
      {"nosuch@" + good, "Section [nosuch] not found in extra options file " + good + "\n"},
      {"@" + good, "Section [plug] not found in extra options file " + good + "\n"},
      {"sec@" + bad, "Malformed line 4 in extra options file " + bad + "\n"},
  };
  // An empty variable counts as unset: the build-time file is read.
  struct stat st;
  if (stat(KIVREL_PLUGIN_INI, &st) != 0)
    cases.push_back({"sec", cannot + KIVREL_PLUGIN_INI + ": No such file or directory\n"});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    RunResult r = RunInChild([&c] {
      setenv("KIVREL_PLUGIN_CONFIG_FILE", "", 1);
      std::string value = c.value;
      printf("returned %p\n", static_cast<void*>(kr_get_defaults(value.data(), "plug")));
    });
    EXPECT_EQ(r.exit_code, STATE_UNKNOWN);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, "");
  }
  close(writer);
}
