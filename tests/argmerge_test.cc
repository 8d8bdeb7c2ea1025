// Merging --extra-opts through the real INI defaults reader.
#include "argmerge.h"

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_helpers.h"

namespace {

// Each section gives options that tell which value the reader was handed;
// a null or empty value selects the plugin name P.
const char kIni[] =
    "[P]\n"
    "from-p\n"
    "[S]\n"
    "s1 = one\n"
    "s2\n"
    "[T]\n"
    "t = \"two words\"\n"
    "[---x]\n"
    "three-dashes\n"
    "[EMPTY]\n"
    "# no options\n";

// A mutable, null-terminated vector over owned texts.
struct Argv {
  explicit Argv(const std::vector<std::string>& args) : texts(args) {
    for (auto& t : texts) ptrs.push_back(t.data());
    ptrs.push_back(nullptr);
    argc = static_cast<int>(args.size());
  }
  std::vector<std::string> texts;
  std::vector<char*> ptrs;
  int argc;
};

std::vector<std::string> Strings(char** v, int n) {
  std::vector<std::string> out;
  for (int i = 0; i < n; ++i) out.push_back(v[i] ? v[i] : "(null)");
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

TEST(Argmerge, IsOption2) {
  struct testcase {
    const char* text;
    int result;
  } cases[] = {
      {nullptr, FALSE}, {"", FALSE},     {"x", FALSE},    {"-", TRUE},
      {"--", TRUE},     {"-v", TRUE},    {"--verbose", TRUE},
      {"---", FALSE},   {"---x", FALSE}, {"x-", FALSE},   {" -v", FALSE},
  };
  for (const auto& c : cases)
    EXPECT_EQ(is_option2(c.text), c.result) << "text: " << (c.text ? c.text : "(null)");
}

TEST(Argmerge, MergesWhatTheReaderReturns) {
  ScopedTempDir dir;
  ConfigFileEnv env(dir.WriteFile("plugins.ini", kIni));

  struct testcase {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> result;    // the vector returned, up to its null
    bool same_vector;                   // the caller's own array comes back
    std::vector<std::string> in_place;  // the caller's array afterwards
  } cases[] = {
      {"count 1", {"P"}, {"P"}, true, {"P"}},
      {"no extra-opts", {"P", "-v", "x"}, {"P", "-v", "x"}, true, {"P", "-v", "x"}},
      {"joined value", {"P", "--extra-opts=S", "-v"},
       {"P", "--s1=one", "--s2", "-v"}, false, {"P", "-v"}},
      {"separate value", {"P", "-v", "--extra-opts", "S"},
       {"P", "--s1=one", "--s2", "-v"}, false, {"P", "-v"}},
      {"option follows", {"P", "--extra-opts", "-v"},
       {"P", "--from-p", "-v"}, false, {"P", "-v"}},
      {"last argument", {"P", "--extra-opts"}, {"P", "--from-p"}, false, {"P"}},
      {"three dashes are a value", {"P", "--extra-opts", "---x"},
       {"P", "--three-dashes"}, false, {"P"}},
      {"lone dash is an option", {"P", "--extra-opts", "-"},
       {"P", "--from-p", "-"}, false, {"P", "-"}},
      {"empty joined value", {"P", "--extra-opts="}, {"P", "--from-p"}, false, {"P"}},
      {"not the option", {"P", "--extra-optsX"}, {"P", "--extra-optsX"}, true,
       {"P", "--extra-optsX"}},
      {"two occurrences", {"P", "--extra-opts=T", "a", "--extra-opts=S", "b"},
       {"P", "--t=two words", "--s1=one", "--s2", "a", "b"}, false, {"P", "a", "b"}},
      {"moved-up occurrence", {"P", "--extra-opts", "S", "--extra-opts=T", "-v"},
       {"P", "--s1=one", "--s2", "--t=two words", "-v"}, false, {"P", "-v"}},
      {"reader returns nothing", {"P", "--extra-opts=EMPTY", "-v", "--extra-opts", "EMPTY"},
       {"P", "-v"}, true, {"P", "-v"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Argv a(c.args);
    char** argv = a.ptrs.data();
    int argc = a.argc;
    char** got = kr_argmerge(&argc, argv, "P");

    EXPECT_EQ(got == argv, c.same_vector);
    ASSERT_EQ(argc, static_cast<int>(c.result.size()));
    EXPECT_EQ(Strings(got, argc), c.result);
    EXPECT_EQ(got[argc], nullptr);
    int kept = static_cast<int>(c.in_place.size());
    EXPECT_EQ(Strings(argv, kept), c.in_place);
    EXPECT_EQ(argv[kept], nullptr);

    if (got != argv) {
      // The reader's texts sit between the program name and the kept arguments.
      for (int i = 1; i <= argc - kept; ++i) free(got[i]);
      free(got);
    }
  }
}

TEST(Argmerge, CountBelowTwoLeavesVectorAlone) {
  // The reader would end the process on this missing file if it were called.
  ConfigFileEnv env("/nonexistent/kivrel/plugins.ini");
  Argv a({"P", "--extra-opts=S"});
  for (int count : {0, 1}) {
    int argc = count;
    EXPECT_EQ(kr_argmerge(&argc, a.ptrs.data(), "P"), a.ptrs.data());
    EXPECT_EQ(argc, count);
    EXPECT_STREQ(a.ptrs[1], "--extra-opts=S");
  }
}

TEST(Argmerge, ReaderFailureEndsTheRun) {
  ScopedTempDir dir;
  ConfigFileEnv env(dir.WriteFile("plugins.ini", kIni));
  RunResult r = RunInChild([] {
    Argv a({"P", "--extra-opts=S", "--extra-opts=missing", "-v"});
    int argc = a.argc;
    kr_argmerge(&argc, a.ptrs.data(), "P");
  });
  EXPECT_EQ(r.exit_code, STATE_UNKNOWN);
  EXPECT_EQ(r.out, "Section [missing] not found in extra options file " + dir.path() +
                       "/plugins.ini\n");
}
