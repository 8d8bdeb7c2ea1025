// The INI defaults reader: the syntax through the parser, the file choice and
// the failure exits through kr_get_defaults.
#include "ini_defaults.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_helpers.h"

namespace {

std::vector<std::string> Collect(kr_arg_list* list) {
  std::vector<std::string> out;
  for (; list; list = list->next) out.push_back(list->arg);
  return out;
}

// Takes the list over: the texts are compared, then everything is freed.
std::vector<std::string> Take(kr_arg_list* list) {
  std::vector<std::string> out = Collect(list);
  kr_arg_list_free(list);
  return out;
}

class ConfigFileEnv {
 public:
  explicit ConfigFileEnv(const std::string& path) {
    setenv("KIVREL_PLUGIN_CONFIG_FILE", path.c_str(), 1);
  }
  ~ConfigFileEnv() { unsetenv("KIVREL_PLUGIN_CONFIG_FILE"); }
};

}  // namespace

TEST(IniDefaults, Syntax) {
  using S = std::vector<std::string>;
  struct testcase {
    const char* name;
    std::string text;
    int result;
    S args;          // on KR_INI_OK
    int line;        // on KR_INI_MALFORMED
  } cases[] = {
      {"key and value", "[s]\nkey=value\n", KR_INI_OK, {"--key=value"}, 0},
      {"key alone", "[s]\nverbose\n", KR_INI_OK, {"--verbose"}, 0},
      {"blanks trimmed", "  [ s ]  \n \t key \t=  value  \n", KR_INI_OK, {"--key=value"}, 0},
      {"inner blanks kept", "[s]\nq = select 1 from t\n", KR_INI_OK, {"--q=select 1 from t"}, 0},
      {"quotes keep blanks", "[s]\nk = \"  a b \"\n", KR_INI_OK, {"--k=  a b "}, 0},
      {"empty quotes", "[s]\npassword = \"\"\n", KR_INI_OK, {"--password="}, 0},
      {"empty value", "[s]\npassword =\n", KR_INI_OK, {"--password="}, 0},
      {"split at first =", "[s]\nk = a=b\n", KR_INI_OK, {"--k=a=b"}, 0},
      {"hash inside value", "[s]\nk = a # b\n", KR_INI_OK, {"--k=a # b"}, 0},
      {"comments and blank lines",
       "# top\n\n[s]\n  # c\n\t; c\n\n a = 1\n   \n", KR_INI_OK, {"--a=1"}, 0},
      {"other sections left out", "[x]\na\n[s]\nb\n[y]\nc\n", KR_INI_OK, {"--b"}, 0},
      {"repeated section in file order", "[s]\na\n[x]\nb\n[s]\nc\n", KR_INI_OK,
       {"--a", "--c"}, 0},
      {"CRLF line ends", "[s]\r\nk = v\r\nflag\r\n", KR_INI_OK, {"--k=v", "--flag"}, 0},
      {"no final line end", "[s]\nk = v", KR_INI_OK, {"--k=v"}, 0},
      {"byte order mark", "\xEF\xBB\xBF[s]\nk\n", KR_INI_OK, {"--k"}, 0},
      {"empty section", "[s]\n# nothing\n[x]\na\n", KR_INI_OK, {}, 0},
      {"names match exactly", "[S]\na\n", KR_INI_NO_SECTION, {}, 0},
      {"empty text", "", KR_INI_NO_SECTION, {}, 0},
      {"header unclosed", "[s]\na\n[abc\n", KR_INI_MALFORMED, {}, 3},
      {"header with trailing text", "[s] # c\n", KR_INI_MALFORMED, {}, 1},
      {"empty header", "[s]\n[ ]\n", KR_INI_MALFORMED, {}, 2},
      {"bracket in name", "[a]b]\n", KR_INI_MALFORMED, {}, 1},
      {"empty key", "[s]\n = value\n", KR_INI_MALFORMED, {}, 2},
      {"unterminated quote", "[s]\nk = \"abc\n", KR_INI_MALFORMED, {}, 2},
      {"lone quote", "[s]\nk = \"\n", KR_INI_MALFORMED, {}, 2},
      {"text after closing quote", "[s]\nk = \"a\" b\n", KR_INI_MALFORMED, {}, 2},
      {"entry before any header", "a = 1\n[s]\n", KR_INI_MALFORMED, {}, 1},
      {"NUL byte", std::string("[s]\nk = a\0b\n", 11), KR_INI_MALFORMED, {}, 2},
      {"NUL in a comment", std::string("[s]\n#\0\n", 7), KR_INI_MALFORMED, {}, 2},
      {"malformed in another section", "[s]\na\n[x]\n=1\n", KR_INI_MALFORMED, {}, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    kr_arg_list* list = reinterpret_cast<kr_arg_list*>(&list);  // must be overwritten
    int line = -1;
    int rc = kr_ini_parse(c.text.data(), c.text.size(), "s", &list, &line);
    EXPECT_EQ(rc, c.result);
    if (rc != KR_INI_OK) {
      EXPECT_EQ(list, nullptr);
    } else {
      EXPECT_EQ(Take(list), c.args);
    }
    if (c.result == KR_INI_MALFORMED) {
      EXPECT_EQ(line, c.line);
    }
  }
}

TEST(IniDefaults, ChoosesSectionAndFile) {
  ScopedTempDir dir;
  std::string env_file = dir.WriteFile("env.ini", "[plug]\nfrom-env-plug\n[sec]\nfrom-env-sec\n");
  std::string other = dir.WriteFile("other@v1.ini", "[plug]\nfrom-other-plug\n[sec]\nfrom-other-sec\n");
  ConfigFileEnv env(env_file);

  struct testcase {
    const char* value;  // null: the option had no value
    std::string arg;
  } cases[] = {
      {nullptr, "--from-env-plug"},
      {"", "--from-env-plug"},
      {"sec", "--from-env-sec"},
      {"sec@", "--from-env-sec"},
      {"@", "--from-env-plug"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value ? c.value : "(null)");
    std::string copy = c.value ? c.value : "";
    kr_arg_list* list = kr_get_defaults(c.value ? copy.data() : nullptr, "plug");
    EXPECT_EQ(Take(list), std::vector<std::string>{c.arg});
    if (c.value) {
      EXPECT_EQ(copy, c.value);  // the value is read, not changed
    }
  }
  // The file is what follows the first "@", so a file name may hold one.
  std::string value = "sec@" + other;
  EXPECT_EQ(Take(kr_get_defaults(value.data(), "plug")),
            std::vector<std::string>{"--from-other-sec"});
  value = "@" + other;
  EXPECT_EQ(Take(kr_get_defaults(value.data(), "plug")),
            std::vector<std::string>{"--from-other-plug"});
  std::string empty_file = dir.WriteFile("empty.ini", "[empty]\n");
  value = "empty@" + empty_file;
  EXPECT_EQ(kr_get_defaults(value.data(), "plug"), nullptr);
}

TEST(IniDefaults, FailuresEndTheRunWithOneLine) {
  ScopedTempDir dir;
  std::string good = dir.WriteFile("good.ini", "[sec]\na = 1\n");
  std::string bad = dir.WriteFile("bad.ini", "[sec]\na = 1\n\n[other\n");
  std::string missing = dir.path() + "/missing.ini";
  struct testcase {
    std::string value;
    std::string out;
  } cases[] = {
      {"sec@" + missing,
       "Cannot read extra options file " + missing + ": No such file or directory\n"},
      {"sec@" + dir.path(),
       "Cannot read extra options file " + dir.path() + ": Is a directory\n"},
      {"nosuch@" + good, "Section [nosuch] not found in extra options file " + good + "\n"},
      {"@" + good, "Section [plug] not found in extra options file " + good + "\n"},
      {"sec@" + bad, "Malformed line 4 in extra options file " + bad + "\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    RunResult r = RunInChild([&c] {
      std::string value = c.value;
      kr_arg_list* list = kr_get_defaults(value.data(), "plug");
      printf("returned %p\n", static_cast<void*>(list));
    });
    EXPECT_EQ(r.exit_code, STATE_UNKNOWN);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, "");
  }
}

TEST(IniDefaults, EnvironmentFileAndBuildDefault) {
  // An empty variable counts as unset: the build-time file is read.
  struct stat st;
  if (stat(KIVREL_PLUGIN_INI, &st) == 0) GTEST_SKIP() << KIVREL_PLUGIN_INI << " exists here";
  RunResult r = RunInChild([] {
    setenv("KIVREL_PLUGIN_CONFIG_FILE", "", 1);
    kr_get_defaults(nullptr, "plug");
  });
  EXPECT_EQ(r.exit_code, STATE_UNKNOWN);
  EXPECT_EQ(r.out, std::string("Cannot read extra options file ") + KIVREL_PLUGIN_INI +
                       ": No such file or directory\n");
}

TEST(IniDefaults, DeviceIsRefusedNotRead) {
  // An endless file must end the run rather than fill memory or hang.
  RunResult r = RunInChild([] {
    char value[] = "sec@/dev/zero";
    kr_get_defaults(value, "plug");
  });
  EXPECT_EQ(r.exit_code, STATE_UNKNOWN);
  EXPECT_EQ(r.out, "Cannot read extra options file /dev/zero: " + std::string(strerror(EFBIG)) +
                       "\n");
}
