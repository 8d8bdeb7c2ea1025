// SPDX-License-Identifier: MIT
// Merging --extra-opts through the real INI defaults reader.
#include "argmerge.h"

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_helpers.h"

namespace {

// Each section's options tell which value the reader was handed; a null or
// empty value selects the plugin name P.
const char kIni[] =
    "[P]\nfrom-p\n[S]\ns1 = one\ns2\n[T]\nt = \"two words\"\n"
    "[---x]\nthree-dashes\n[EMPTY]\n# no options\n";

std::vector<std::string> Strings(char** v, int n) {
  std::vector<std::string> out;
  for (int i = 0; i < n; ++i) out.push_back(v[i] ? v[i] : "(null)");
  return out;
}

}  // namespace

TEST(Argmerge, IsOption2) {
  struct testcase {
    const char* text;
    int result;
  } cases[] = {{nullptr, FALSE}, {"", FALSE},    {"x", FALSE},    {"-", TRUE},
               {"--", TRUE},     {"-v", TRUE},   {"--verbose", TRUE}, {"---", FALSE},
               {"---x", FALSE},  {"x-", FALSE},  {" -v", FALSE}};
  for (const auto& c : cases)
    EXPECT_EQ(is_option2(c.text), c.result) << "text: " << (c.text ? c.text : "(null)");
}

TEST(Argmerge, MergesWhatTheReaderReturns) {
  ScopedTempDir dir;
  setenv("KIVREL_PLUGIN_CONFIG_FILE", dir.WriteFile("plugins.ini", kIni).c_str(), 1);
  using S = std::vector<std::string>;
  struct testcase {
    S args;
    S result;          // the vector returned, up to its null entry
    bool same_vector;  // the caller's own array comes back
    S in_place;        // the caller's array afterwards
  } cases[] = {
      {{"P"}, {"P"}, true, {"P"}},
      {{"P", "-v", "x"}, {"P", "-v", "x"}, true, {"P", "-v", "x"}},
      {{"P", "--extra-opts=S", "-v"}, {"P", "--s1=one", "--s2", "-v"}, false, {"P", "-v"}},
      {{"P", "-v", "--extra-opts", "S"}, {"P", "--s1=one", "--s2", "-v"}, false, {"P", "-v"}},
      {{"P", "--extra-opts", "-v"}, {"P", "--from-p", "-v"}, false, {"P", "-v"}},
      {{"P", "--extra-opts"}, {"P", "--from-p"}, false, {"P"}},
      {{"P", "--extra-opts", "---x"}, {"P", "--three-dashes"}, false, {"P"}},
      {{"P", "--extra-opts", "-"}, {"P", "--from-p", "-"}, false, {"P", "-"}},
      {{"P", "--extra-opts="}, {"P", "--from-p"}, false, {"P"}},
      {{"P", "--extra-optsX"}, {"P", "--extra-optsX"}, true, {"P", "--extra-optsX"}},
      {{"P", "--extra-opts=T", "a", "--extra-opts=S", "b"},
       {"P", "--t=two words", "--s1=one", "--s2", "a", "b"}, false, {"P", "a", "b"}},
      {{"P", "--extra-opts", "S", "--extra-opts=T", "-v"},
       {"P", "--s1=one", "--s2", "--t=two words", "-v"}, false, {"P", "-v"}},
      {{"P", "--extra-opts=EMPTY", "-v", "--extra-opts", "EMPTY"}, {"P", "-v"}, true, {"P", "-v"}},
  };
  for (const auto& c : cases) {
    S texts = c.args;
    std::vector<char*> argv;
    for (auto& t : texts) argv.push_back(t.data());
    argv.push_back(nullptr);
    int argc = static_cast<int>(texts.size());
    SCOPED_TRACE(testing::PrintToString(c.args));

    char** got = kr_argmerge(&argc, argv.data(), "P");
    EXPECT_EQ(got == argv.data(), c.same_vector);
    ASSERT_EQ(argc, static_cast<int>(c.result.size()));
    EXPECT_EQ(Strings(got, argc + 1), [&] { S r = c.result; r.push_back("(null)"); return r; }());
    int kept = static_cast<int>(c.in_place.size());
    EXPECT_EQ(Strings(argv.data(), kept), c.in_place);
    EXPECT_EQ(argv[kept], nullptr);
    if (got != argv.data()) {
      // The reader's texts sit between the program name and the kept arguments.
      for (int i = 1; i <= argc - kept; ++i) free(got[i]);
      free(got);
    }
  }
  unsetenv("KIVREL_PLUGIN_CONFIG_FILE");
}

TEST(Argmerge, CountBelowTwoDoesNotReadAnything) {
  // The reader would end the process on this missing file if it were called.
  setenv("KIVREL_PLUGIN_CONFIG_FILE", "/nonexistent/kivrel/plugins.ini", 1);
  char p[] = "P", opt[] = "--extra-opts=S";
  char* argv[] = {p, opt, nullptr};
  for (int count : {0, 1}) {
    int argc = count;
    EXPECT_EQ(kr_argmerge(&argc, argv, "P"), argv);
    EXPECT_EQ(argc, count);
    EXPECT_EQ(argv[1], opt);
  }
  unsetenv("KIVREL_PLUGIN_CONFIG_FILE");
}
