// SPDX-License-Identifier: MIT
#include "kitcore.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "test_helpers.h"

namespace {

TEST(Die, PrintsExactlyAndExits) {
  RunResult plain = RunInChild([] { die(STATE_CRITICAL, "no line end"); });
  EXPECT_EQ(plain.exit_code, STATE_CRITICAL);
  EXPECT_EQ(plain.out, "no line end");
  EXPECT_EQ(plain.err, "");

  RunResult formatted = RunInChild([] {
    printf("buffered ");
    die(STATE_WARNING, "QUERY %s: %d%%\n", "WARNING", 42);
  });
  EXPECT_EQ(formatted.exit_code, STATE_WARNING);
  EXPECT_EQ(formatted.out, "buffered QUERY WARNING: 42%\n");
}

TEST(Die, ReleasesTheContext) {
  RunResult r = RunInChild([] {
    static char arg0[] = "prog";
    static char* argv[] = {arg0, nullptr};
    kr_init(arg0, 1, argv);
    atexit([] { printf("context at exit: %p\n", static_cast<void*>(this_kivrel_plugin)); });
    die(STATE_OK, "bye\n");
  });
  EXPECT_EQ(r.exit_code, STATE_OK);
  EXPECT_EQ(r.out, "bye\ncontext at exit: (nil)\n");
}

TEST(Context, Lifecycle) {
  kivrel_plugin* seen = reinterpret_cast<kivrel_plugin*>(1);
  _get_kivrel_plugin(&seen);
  EXPECT_EQ(seen, nullptr);

  char first[] = "first", second[] = "second";
  char* argv1[] = {first, nullptr};
  char* argv2[] = {second, second, nullptr};
  kr_init(first, 1, argv1);
  first[0] = 'F';  // the context keeps its own copy of the name
  kr_init(second, 2, argv2);
  _get_kivrel_plugin(&seen);
  ASSERT_NE(seen, nullptr);
  EXPECT_STREQ(seen->plugin_name, "first");
  EXPECT_EQ(seen->argc, 1);
  EXPECT_EQ(seen->argv, argv1);
  EXPECT_EQ(seen->state, nullptr);

  kr_set_args(2, argv2);
  EXPECT_EQ(this_kivrel_plugin->argc, 2);
  EXPECT_EQ(this_kivrel_plugin->argv, argv2);  // borrowed, not copied

  kr_cleanup();
  EXPECT_EQ(this_kivrel_plugin, nullptr);
  kr_cleanup();  // harmless twice
  EXPECT_EQ(this_kivrel_plugin, nullptr);
}

TEST(Context, CleanupReleasesStateKey) {
  // Runs under the sanitizers too: a missed or double release shows there.
  char name[] = "plug";
  char* argv[] = {name, nullptr};
  kr_init(name, 1, argv);
  auto* key = static_cast<state_key*>(calloc(1, sizeof(state_key)));
  key->name = strdup("k");
  key->plugin_name = this_kivrel_plugin->plugin_name;
  key->_filename = strdup("/tmp/x");
  key->state_data = static_cast<state_data*>(calloc(1, sizeof(state_data)));
  key->state_data->data = strdup("line");
  this_kivrel_plugin->state = key;
  kr_cleanup();
  EXPECT_EQ(this_kivrel_plugin, nullptr);
}

TEST(Context, SetArgsWithoutInitDies) {
  RunResult r = RunInChild([] { kr_set_args(0, nullptr); });
  EXPECT_EQ(r.exit_code, STATE_UNKNOWN);
  EXPECT_EQ(r.out, "This requires kr_init to be called\n");
}

TEST(TranslateState, Table) {
  const struct {
    const char* text;
    int state;
  } cases[] = {
      {"ok", 0},        {"Ok", 0},        {"OK", 0},       {"0", 0},
      {"warning", 1},   {"1", 1},         {"Critical", 2}, {"2", 2},
      {"unknown", 3},   {"3", 3},         {"00", ERROR},   {" 0", ERROR},
      {"0 ", ERROR},    {"4", ERROR},     {"DEPENDENT", ERROR}, {"", ERROR},
      {"OKAY", ERROR},
  };
  for (const auto& c : cases) {
    std::string text = c.text;
    EXPECT_EQ(translate_state(text.data()), c.state) << "«" << c.text << "»";
  }
}

}  // namespace
