// SPDX-License-Identifier: MIT
// State retention: files written and read back, the reader's rules on files
// of any origin, key names, the state directory, failures, and many runs
// writing one key at once.
#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "build_config.h"
#include "kitcore.h"
#include "test_helpers.h"

// Seams in the writer, linked in with --wrap: with racing_writer set, every
// directory it creates has just been made by another writer, so that its
// own mkdir finds it there; with killed_before_rename set, it ends as a
// writer killed between writing its temporary file and the rename.
namespace {
bool racing_writer = false;
bool killed_before_rename = false;
}  // namespace
extern "C" {
int __real_mkdir(const char* path, mode_t mode);
int __real_mkdirat(int dirfd, const char* path, mode_t mode);
int __real_renameat(int olddirfd, const char* oldpath, int newdirfd, const char* newpath);
int __wrap_mkdir(const char* path, mode_t mode) {
  if (racing_writer) __real_mkdir(path, mode);
  return __real_mkdir(path, mode);
}
int __wrap_mkdirat(int dirfd, const char* path, mode_t mode) {
  if (racing_writer) __real_mkdirat(dirfd, path, mode);
  return __real_mkdirat(dirfd, path, mode);
}
int __wrap_renameat(int olddirfd, const char* oldpath, int newdirfd, const char* newpath) {
  if (killed_before_rename) _exit(0);
  return __real_renameat(olddirfd, oldpath, newdirfd, newpath);
}
}

namespace {

// The state file of plugin "chk" and \a key under \a prefix for this user.
std::string StatePath(const std::string& prefix, const std::string& key) {
  return prefix + "/" + std::to_string(geteuid()) + "/chk/" + key;
}

// In a child: a context for plugin "chk" with \a args, the state directory
// \a prefix, and the key \a key (null: the default) of data version 3.
void EnableState(const std::string& prefix, const char* key,
                 std::vector<std::string> args = {"chk"}) {
  setenv("KIVREL_PLUGIN_STATE_DIRECTORY", prefix.c_str(), 1);
  static std::vector<std::string> kept;
  kept = std::move(args);
  static std::vector<char*> argv;
  argv.clear();
  for (auto& a : kept) argv.push_back(a.data());
  argv.push_back(nullptr);
  char name[] = "chk";
  kr_init(name, static_cast<int>(kept.size()), argv.data());
  kr_enable_state(key, 3);
}

// In a child: print what a read gives, as "NULL" or "<time> [<data>]".
void PrintRead() {
  state_data* d = kr_state_read();
  if (d)
    printf("%ld [%s] %d\n", static_cast<long>(d->time), static_cast<char*>(d->data), d->length);
  else
    printf("NULL\n");
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

TEST(StateRetention, WriteThenRead) {
  ScopedTempDir dir;
  RunResult r = RunInChild([&] {
    EnableState(dir.path() + "/deep/er", "k1");
    PrintRead();  // no file yet, and nothing else printed
    kr_state_write_string(1234, "hello world");
    PrintRead();
    time_t before = time(nullptr);
    kr_state_write_string(0, "");
    state_data* d = kr_state_read();
    printf("%s %s\n", d && d->time >= before && d->time <= time(nullptr) ? "now" : "not now",
           d ? static_cast<char*>(d->data) : "NULL");
    // Only what a read can give back is written: 1023 bytes of the data.
    kr_state_write_string(1234, std::string(5000, 'L').c_str());
    printf("%zu\n", ReadAll(StatePath(dir.path() + "/deep/er", "k1")).size());
    kr_state_write_string(1234, "x");
  });
  EXPECT_EQ(r.out, "NULL\n1234 [hello world] 0\nnow \n" +
                       std::to_string(sizeof "# KR State file\n1\n3\n1234\n" - 1 + 1024) + "\n");
  EXPECT_EQ(r.exit_code, 0);
  std::string path = StatePath(dir.path() + "/deep/er", "k1");
  EXPECT_EQ(ReadAll(path), "# KR State file\n1\n3\n1234\nx\n");
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  // Every missing directory, and only those, with 0700 less the umask.
  ASSERT_EQ(stat((dir.path() + "/deep").c_str(), &st), 0);
  mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(st.st_mode & 07777, 0700u & ~mask);
}

TEST(StateRetention, ReaderRules) {
  ScopedTempDir dir;
  const std::string sample = "1\n3\n100\ndata\n", blanks(KR_STATE_FILE_CAP - sample.size(), '\n');
  const std::string future = std::to_string(time(nullptr) + 3600);
  const std::string long_text(1500, 'a');
  const struct {
    std::string file;
    std::string read;
  } cases[] = {
      {"# KR State file\n1\n3\n100\ndata\n", "100 [data] 0"},
      {"1\n3\n100\ndata", "100 [data] 0"},  // no header, no final line feed
      {"#a\n1\n#b\n3\n# c\n100\n#d\ndata\n#e\nmore\n", "100 [data] 0"},
      {" 1x\n 3 \n100s\ndata\n", "100 [data] 0"},  // numbers as strtol reads them
      {"1\n3\n100\n\n", "100 [] 0"},
      {"1\n4\n100\ndata\n", "NULL"},     // another data version
      {"2\n3\n100\ndata\n", "NULL"},     // another format
      {"1\n3\n" + future + "\ndata\n", "NULL"},
      {"1\n3\n100\n", "NULL"},           // ends before the data
      {"1\n3\n100\n#data\n", "NULL"},    // data that reads as a comment
      {"x\n3\n100\ndata\n", "NULL"},
      {"1\n3\n100\n" + long_text + "\n", "100 [" + long_text.substr(0, 1023) + "] 0"},
      {"", "NULL"},
      // Up to the cap a file is read; one byte more and it is no state.
      {sample + blanks, "100 [data] 0"},
      {sample + blanks + "\n", "NULL"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file.substr(0, 40));
    std::string path = StatePath(dir.path(), "k");
    ASSERT_EQ(system(("mkdir -p " + path.substr(0, path.rfind('/'))).c_str()), 0);
    std::ofstream(path) << c.file;
    RunResult r = RunInChild([&] {
      EnableState(dir.path(), "k");
      PrintRead();
    });
    EXPECT_EQ(r.out, c.read + "\n");
  }
}

TEST(StateRetention, KeyNames) {
  ScopedTempDir dir;
  const struct {
    const char* key;
    std::vector<std::string> args;
    std::string out;
    int code;
  } cases[] = {
      {"abc_123", {"chk"}, "abc_123\n", 0},
      {"", {"chk"}, "\n", 0},
      {"a-b", {"chk"}, "Invalid character for keyname - only alphanumerics or '_'\n", 3},
      {"a b", {"chk"}, "Invalid character for keyname - only alphanumerics or '_'\n", 3},
      // The arguments joined without separators: SHA-1 of "abc".
      {nullptr, {"a", "bc"}, "a9993e364706816aba3e25717850c26c9cd0d89d\n", 0},
      {nullptr, {"ab", "c"}, "a9993e364706816aba3e25717850c26c9cd0d89d\n", 0},
  };
  for (const auto& c : cases) {
    RunResult r = RunInChild([&] {
      EnableState(dir.path(), c.key, c.args);
      printf("%s\n", this_kivrel_plugin->state->name);
    });
    EXPECT_EQ(r.out, c.out) << (c.key ? c.key : "default");
    EXPECT_EQ(r.exit_code, c.code);
  }
}

TEST(StateRetention, StateDirectory) {
  const struct {
    const char* value;  // null: unset
    bool set_gid;       // real and effective group differ
    std::string prefix;
  } cases[] = {
      {"/srv/st", false, "/srv/st"},
      {"", false, KIVREL_STATE_DIR},
      {nullptr, false, KIVREL_STATE_DIR},
      // A set-gid program is not steered by its caller's environment.
      {"/srv/st", true, KIVREL_STATE_DIR},
  };
  for (const auto& c : cases) {
    if (c.set_gid && geteuid() != 0) GTEST_SKIP() << "needs root to make a set-gid process";
    RunResult r = RunInChild([&] {
      if (c.value)
        setenv("KIVREL_PLUGIN_STATE_DIRECTORY", c.value, 1);
      else
        unsetenv("KIVREL_PLUGIN_STATE_DIRECTORY");
      if (c.set_gid && setresgid(65534, 0, 0) != 0) printf("setresgid failed\n");
      printf("%s\n", _kr_state_calculate_location_prefix());
    });
    EXPECT_EQ(r.out, c.prefix + "\n") << (c.value ? c.value : "unset");
  }
  EXPECT_EQ(std::string(KIVREL_STATE_DIR).find("/lib/kivrel-plugins"),
            std::string(KIVREL_STATE_DIR).size() - 19);
}

// The shell commands \a script with the variables \a env, as root or, with
// \a nobody, as another user.
const std::vector<std::string> kAsNobody = {"/usr/bin/setpriv", "--reuid=65534",
                                            "--regid=65534", "--clear-groups"};
void Shell(const std::string& script, const std::map<std::string, std::string>& env,
           bool nobody = false) {
  std::vector<std::string> argv = {"/bin/sh", "-ec", script};
  if (nobody) argv.insert(argv.begin(), kAsNobody.begin(), kAsNobody.end());
  RunResult r = RunProgram(argv, env);
  EXPECT_EQ(r.exit_code, 0) << script << ": " << r.err;
}

// Started set-id, a program ignores the variable whatever it does with its
// ids later; started plainly by the same user, it follows it.
TEST(StateRetention, SetIdStartIgnoresTheVariable) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a set-uid program";
  ScopedTempDir dir;
  const std::map<std::string, std::string> env = {{"D", dir.path()}};
  const struct {
    const char *mode, *how;
    std::string prefix;
  } cases[] = {{"4755", "drop", KIVREL_STATE_DIR}, {"4755", "root", KIVREL_STATE_DIR},
               {"755", "drop", "/srv/st"}};
  for (const auto& c : cases) {
    Shell(std::string("chmod 755 $D; cp ") + STATE_PREFIX_PROBE_PATH + " $D/p; chmod " + c.mode +
          " $D/p", env);
    std::vector<std::string> argv = kAsNobody;
    argv.insert(argv.end(), {dir.path() + "/p", c.how});
    RunResult r = RunProgram(argv, {{"KIVREL_PLUGIN_STATE_DIRECTORY", "/srv/st"}});
    EXPECT_EQ(r.out, c.prefix + "\n") << c.mode << " " << c.how;
  }
}

// Root keeps state under a prefix that everybody may write. Whatever another
// user plants there, or is wrong below it, root's read finds no state and
// root's write ends the run naming the directory or replaces the planted
// file; nothing lands where a link points.
TEST(StateRetention, UnsafePathsAreRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root and a second user";
  const std::string dirs = "mkdir -m 700 $P/0 $P/0/chk; ", state = "echo 1 3 100 x | tr ' ' '\\n' >$P/0/chk/k";
  const std::string link = "NULL\nState directory is a symbolic link or not a directory: $P/0";
  const struct {
    bool nobody;
    std::string plant, out;
  } cases[] = {
      {true, "ln -s $O $P/0", link + "\n"},
      {true, "umask 0; mkdir -p $P/0/chk; " + state, "NULL\nState directory is owned by another user: $P/0\n"},
      {false, dirs + state + "; chmod 777 $P/0/chk", "NULL\nState directory is writable by group or others: $P/0/chk\n"},
      {false, dirs + state + "; chmod 770 $P/0/chk", "NULL\nState directory is writable by group or others: $P/0/chk\n"},
      {false, "mkdir -m 700 $P/0; touch $P/0/chk", link + "/chk\n"},
      {false, dirs + "ln -s $O/file $P/0/chk/k", "NULL\n100 [new] 0\n"},
      {false, dirs + state + "; chown 65534 $P/0/chk/k", "NULL\n100 [new] 0\n"},
      {false, dirs + "mkfifo $P/0/chk/k", "NULL\n100 [new] 0\n"},
  };
  for (const auto& c : cases) {
    ScopedTempDir dir;
    const std::map<std::string, std::string> env = {{"P", dir.path() + "/shared"},
                                                    {"O", dir.path() + "/outside"}};
    chmod(dir.path().c_str(), 0755);
    Shell("mkdir -m 777 $P; mkdir -m 700 $O; echo 1 3 100 out >$O/file", env);
    Shell(c.plant, env, c.nobody);
    RunResult r = RunInChild([&] {
      alarm(10);
      EnableState(env.at("P"), "k");
      PrintRead();
      kr_state_write_string(100, "new");
      PrintRead();
    });
    std::string out = c.out;
    for (size_t at; (at = out.find("$P")) != std::string::npos;) out.replace(at, 2, env.at("P"));
    EXPECT_EQ(r.out, out) << c.plant;
    EXPECT_EQ(RunProgram({"/bin/sh", "-c", "ls -A $O; cat $O/file"}, env).out, "file\n1 3 100 out\n");
  }
  for (const char* plugin : {"..", ".", "", "a/b"}) {
    RunResult r = RunInChild([&] {
      std::string name = plugin;
      char* argv[] = {name.data(), nullptr};
      kr_init(name.data(), 1, argv);
      kr_enable_state("k", 3);
    });
    EXPECT_EQ(r.out, "Invalid plugin name for state retention - not empty, '.' or '..', and no '/'\n");
  }
}

// A writer killed before its rename leaves its temporary file; the next
// write of the key removes this user's ones older than a minute, only those.
TEST(StateRetention, StaleTemporaryFilesGo) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give a file to another user";
  ScopedTempDir dir;
  auto write = [&] { RunInChild([&] { EnableState(dir.path(), "k"); kr_state_write_string(1, "x"); }); };
  write();
  const std::map<std::string, std::string> env = {{"D", StatePath(dir.path(), "")}};
  Shell("cd $D; touch k.fresh1; touch -d '61 seconds ago' k.Ab3dE9 k.ZZZZZZ k.nobody kx.Ab3dE9 "
        "k.short k.Ab-dE9; chown 65534 k.nobody", env);
  write();
  EXPECT_EQ(RunProgram({"/bin/ls", "-A", env.at("D")}).out,
            "k\nk.Ab-dE9\nk.fresh1\nk.nobody\nk.short\nkx.Ab3dE9\n");
}

// Writers that race to create the same directories all write; the
// temporary files of writers killed before their rename go with the next
// write once stale, whatever names they drew, and only then.
TEST(StateRetention, RacingAndKilledWriters) {
  ScopedTempDir dir;
  RunResult raced = RunInChild([&] {
    racing_writer = true;
    EnableState(dir.path() + "/new/deeper", "k");
    kr_state_write_string(7, "raced");
    PrintRead();
  });
  EXPECT_EQ(raced.out, "7 [raced] 0\n");
  EXPECT_EQ(raced.exit_code, 0);

  auto killed = [&] {
    RunInChild([&] {
      killed_before_rename = true;
      EnableState(dir.path(), "k");
      kr_state_write_string(1, "x");
    });
  };
  for (int i = 0; i < 20; ++i) killed();
  const std::map<std::string, std::string> env = {{"D", StatePath(dir.path(), "")}};
  EXPECT_EQ(RunProgram({"/bin/sh", "-c", "ls -A $D | grep -c '^k\\.[A-Za-z0-9]\\{6\\}$'"}, env).out,
            "20\n");
  Shell("touch -d '61 seconds ago' $D/k.*", env);
  killed();
  RunInChild([&] {
    EnableState(dir.path(), "k");
    kr_state_write_string(2, "y");
  });
  EXPECT_EQ(RunProgram({"/bin/sh", "-c", "ls -A $D | sed 's/^k\\.[A-Za-z0-9]\\{6\\}$/fresh/'"}, env).out,
            "k\nfresh\n");
}

TEST(StateRetention, FailuresEndTheRun) {
  ScopedTempDir dir;
  std::string file = dir.WriteFile("plain", "not a directory");
  RunResult no_context = RunInChild([] { kr_enable_state("k", 1); });
  EXPECT_EQ(no_context.out, "This requires kr_init to be called\n");
  EXPECT_EQ(no_context.exit_code, 3);

  // The directory that cannot be made is named, not one below it.
  for (const std::string& prefix : {file, file + "/sub/deeper"}) {
    RunResult no_dir = RunInChild([&] {
      EnableState(prefix, "k");
      kr_state_write_string(0, "x");
    });
    EXPECT_EQ(no_dir.out, "Cannot create directory: " + file + "\n") << prefix;
    EXPECT_EQ(no_dir.exit_code, 3);
  }

  // A directory where the state file should be: the rename fails, and the
  // temporary file goes again.
  std::string path = StatePath(dir.path(), "k");
  ASSERT_EQ(system(("mkdir -p " + path).c_str()), 0);
  RunResult no_rename = RunInChild([&] {
    EnableState(dir.path(), "k");
    kr_state_write_string(0, "x");
  });
  EXPECT_EQ(no_rename.out, "Cannot rename state temp file\n");
  EXPECT_EQ(no_rename.exit_code, 3);
  RunResult listing = RunProgram({"/bin/ls", "-A", path.substr(0, path.rfind('/'))});
  EXPECT_EQ(listing.out, "k\n");

  // A write that fails (a file size limit here, a full disk in life) keeps
  // the previous state and leaves no temporary file.
  RunResult full = RunInChild([&] {
    EnableState(dir.path(), "k2");
    kr_state_write_string(5, "old");
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit = {64, 64};
    setrlimit(RLIMIT_FSIZE, &limit);
    kr_state_write_string(6, std::string(200, 'n').c_str());
  });
  EXPECT_EQ(full.out, "Error writing temp file\n");
  EXPECT_EQ(full.exit_code, 3);
  EXPECT_EQ(ReadAll(StatePath(dir.path(), "k2")), "# KR State file\n1\n3\n5\nold\n");
  listing = RunProgram({"/bin/ls", "-A", path.substr(0, path.rfind('/'))});
  EXPECT_EQ(listing.out, "k\nk2\n");
}

// Many runs of one plugin write one key at once, from a first run that
// finds no directory, while another run reads: every read is nothing or a
// whole record, and no temporary file is left.
TEST(StateRetention, ConcurrentWriters) {
  ScopedTempDir temp;
  const std::string prefix = temp.path() + "/state";
  const int writers = 16, writes = 300;
  const std::string payload(200, 'p');

  std::vector<pid_t> pids;
  for (int w = 0; w < writers; ++w) {
    pid_t pid = fork();
    if (pid == 0) {
      EnableState(prefix, "shared");
      for (int i = 0; i < writes; ++i)
        kr_state_write_string(1000 + i, ("w" + std::to_string(w) + "-" + payload).c_str());
      _exit(0);
    }
    pids.push_back(pid);
  }
  RunResult reader = RunInChild([&] {
    EnableState(prefix, "shared");
    int reads = 0, whole = 0, bad = 0;
    for (int i = 0; i < 2000; ++i, ++reads) {
      state_data* d = kr_state_read();
      if (!d) continue;
      std::string data = static_cast<char*>(d->data);
      size_t dash = data.find('-');
      bool ok = d->time >= 1000 && d->time < 1000 + writes && data[0] == 'w' &&
                dash != std::string::npos && data.substr(dash + 1) == payload;
      ok ? ++whole : ++bad;
    }
    printf("%d bad, %s\n", bad, whole > 0 ? "some whole" : "none whole");
  });
  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  EXPECT_EQ(reader.out.substr(0, 6), "0 bad,") << reader.out;

  std::string dir = StatePath(prefix, "shared");
  dir.resize(dir.rfind('/'));
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(d);
  }
  EXPECT_EQ(names, std::vector<std::string>{"shared"});
  EXPECT_NE(ReadAll(dir + "/shared").find("\n1299\nw"), std::string::npos);
}

}  // namespace
