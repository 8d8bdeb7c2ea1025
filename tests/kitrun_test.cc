// SPDX-License-Identifier: MIT
#include "kitrun.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_helpers.h"

namespace {

std::vector<char*> Argv(std::vector<std::string>& words) {
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  return argv;
}

void Release(output& rec, int flags) {
  if ((flags & CMD_KEEP_BUFFER) && rec.line) free(rec.line[0]);
  free(rec.buf);
  free(rec.line);
  free(rec.lens);
}

// Runs \a body in a child that a watchdog ends after \a seconds, so that a
// stalled runner fails the test instead of hanging it. Returns what the
// body printed.
std::string Guarded(const std::function<void()>& body, unsigned seconds = 300) {
  RunResult r = RunInChild([&] {
    alarm(seconds);
    body();
  });
  EXPECT_EQ(r.exit_code, 0) << "the child stalled or crashed; it printed: " << r.out;
  return r.out;
}

size_t OpenDescriptors() {
  size_t count = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (readdir(dir)) ++count;
  closedir(dir);
  return count;
}

// The runner sets LC_ALL for the whole process; later tests must not see it.
class CmdRun : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* v = getenv("LC_ALL");
    had_lc_all_ = v != nullptr;
    if (v) lc_all_ = v;
  }
  void TearDown() override {
    if (had_lc_all_)
      setenv("LC_ALL", lc_all_.c_str(), 1);
    else
      unsetenv("LC_ALL");
  }

 private:
  bool had_lc_all_ = false;
  std::string lc_all_;
};
using CmdRunStress = CmdRun;

struct split_case {
  const char* cmd;
  std::vector<std::string> args;  // empty: refused
};

TEST(Kitrun, SplitTable) {
  const split_case cases[] = {
      {"/bin/echo a b", {"/bin/echo", "a", "b"}},
      {"  /bin/echo\ta  ", {"/bin/echo", "a"}},
      {"/bin/echo 'a b' c", {"/bin/echo", "a b", "c"}},
      {"/bin/echo 'a'b", {"/bin/echo", "a", "b"}},
      {"/bin/echo a'b c", {"/bin/echo", "a'b", "c"}},
      {"/bin/echo ''", {"/bin/echo", ""}},
      {"/bin/echo\r\na\n", {"/bin/echo", "a"}},
      {"", {""}},
      {" \t\r\n", {""}},
      {"'a''b'", {"a", "b"}},
      {"/bin/echo 'a", {}},
      {"/bin/echo ' a'", {}},
      {"/bin/echo '''", {}},
      {"/bin/echo \"a\"", {}},
      {"/bin/echo a\"", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("command «") + c.cmd + "»");
    std::string copy = c.cmd;
    std::vector<char*> argv(copy.size() / 2 + 2, reinterpret_cast<char*>(1));
    long n = _cmd_split(copy.data(), argv.data());
    if (c.args.empty()) {
      EXPECT_EQ(n, -1);
      continue;
    }
    ASSERT_EQ(n, static_cast<long>(c.args.size()));
    for (long i = 0; i < n; ++i) EXPECT_EQ(argv[i], c.args[i]) << "argument " << i;
    EXPECT_EQ(argv[n], nullptr);
  }
}

TEST(Kitrun, PidTableSizedFromDescriptorLimit) {
  const long cases[][2] = {{100000, 8192}, {8193, 8192}, {8192, 8192},
                           {100, 100},     {-1, 256}};
  for (const auto& c : cases) EXPECT_EQ(_cmd_table_size(c[0]), c[1]) << "limit " << c[0];
  cmd_init();
  cmd_init();
  EXPECT_EQ(_cmd_maxfd(), _cmd_table_size(sysconf(_SC_OPEN_MAX)));
}

struct capture_case {
  std::string content;
  int flags;
  std::vector<std::string> lines;  // unused with CMD_BUFFER_ONLY
};

enum Source { kStdout, kStderr, kFile };

// Captures \a content written by a child to one stream, or read from a file.
int Capture(Source source, const std::string& content, int flags, output* rec) {
  if (source == kFile) {
    ScopedTempDir dir;
    return cmd_file_read(dir.WriteFile("f", content).c_str(), rec, flags);
  }
  std::vector<std::string> words = {"/bin/sh", "-c", "printf %s \"$1\" >&2", "sh", content};
  if (source == kStdout) words = {"/usr/bin/printf", "%s", content};
  return cmd_run_array(Argv(words).data(), source == kStdout ? rec : nullptr,
                       source == kStderr ? rec : nullptr, flags);
}

TEST_F(CmdRun, CaptureTable) {
  std::string big;
  for (int i = 0; big.size() < 100000; ++i) big += "line " + std::to_string(i) + "\n";
  std::string hundred;
  for (int i = 0; i < 25; ++i) hundred += "abc\n";
  const capture_case cases[] = {
      {"a\nb\n", 0, {"a", "b"}},
      {"a\nb", 0, {"a", "b"}},
      {"\n\n", 0, {"", ""}},
      {"", 0, {}},
      {"a\r\nb", 0, {"a\r", "b"}},
      {"a\nb\n", CMD_KEEP_BUFFER, {"a", "b"}},
      {"x", CMD_KEEP_BUFFER, {"x"}},
      {hundred, CMD_BUFFER_ONLY, {}},
      {hundred, CMD_BUFFER_ONLY | CMD_KEEP_BUFFER, {}},
      {big, 0, Split(big, '\n')},
  };
  char junk = 'j';
  for (Source source : {kStdout, kStderr, kFile}) {
    for (const auto& c : cases) {
      SCOPED_TRACE("source " + std::to_string(source) + ", flags " + std::to_string(c.flags) +
                   ", content «" + c.content.substr(0, 20) + "»");
      output rec = {&junk, 99, nullptr, nullptr, 99};
      ASSERT_EQ(Capture(source, c.content, c.flags, &rec), 0);
      // Without flags the newlines become terminators in buf itself.
      std::string as_read = c.content;
      for (char& ch : as_read)
        if (c.flags == 0 && ch == '\n') ch = '\0';
      EXPECT_EQ(rec.buf ? std::string(rec.buf, rec.buflen + 1) : "",
                c.content.empty() ? "" : as_read + '\0');
      EXPECT_EQ(rec.buflen, c.content.size());
      bool split = !c.content.empty() && !(c.flags & CMD_BUFFER_ONLY);
      EXPECT_EQ(rec.lines, split ? c.lines.size() : rec.buflen);
      ASSERT_EQ(rec.line != nullptr, split);
      ASSERT_EQ(rec.lens != nullptr, split);
      for (size_t i = 0; split && i < rec.lines; ++i) {
        EXPECT_EQ(rec.line[i], c.lines[i]) << "line " << i;
        EXPECT_EQ(rec.lens[i], c.lines[i].size()) << "line " << i;
      }
      if (split) {
        EXPECT_EQ(rec.line[0] == rec.buf, !(c.flags & CMD_KEEP_BUFFER));
      }
      Release(rec, c.flags);
    }
  }
}

std::vector<size_t> capacities;
void RecordCapacity(size_t entries) { capacities.push_back(entries); }

TEST_F(CmdRun, LineArraysGrowFromTheByteCount) {
  std::string forty;
  for (int i = 0; i < 40; ++i) forty += "a\n";
  const std::pair<std::string, std::vector<size_t>> cases[] = {
      {forty, {2, 5, 10, 20, 40}},
      {std::string(100, 'a'), {3}},
      {"\n\n", {1, 2}},
      {"", {}},
  };
  _cmd_line_capacity_hook = RecordCapacity;
  for (const auto& [content, sizes] : cases) {
    capacities.clear();
    output rec;
    ASSERT_EQ(Capture(kStdout, content, 0, &rec), 0);
    EXPECT_EQ(capacities, sizes) << "content «" << content << "»";
    Release(rec, 0);
  }
  _cmd_line_capacity_hook = nullptr;
}

TEST_F(CmdRun, ExitStatusTable) {
  const struct {
    const char* cmd;
    int status;
  } cases[] = {
      {"/bin/sh -c 'exit 0'", 0},       {"/bin/sh -c 'exit 7'", 7},
      {"/bin/sh -c 'exit 255'", 255},   {"/bin/sh -c 'kill -9 $$'", -1},
      {"/nonexistent/program a", 3},    {"", 3},
      {" \t ", 3},
  };
  for (const auto& c : cases) {
    output out, err;
    EXPECT_EQ(cmd_run(c.cmd, &out, &err, 0), c.status) << "command «" << c.cmd << "»";
    if (c.status == 3) {
      EXPECT_EQ(out.buflen + err.buflen, 0u) << c.cmd;
    }
    Release(out, 0);
    Release(err, 0);
  }
}

TEST_F(CmdRun, RefusedCommandsStartNothing) {
  ScopedTempDir dir;
  const std::string touch = "/usr/bin/touch " + dir.path() + "/made";
  char junk = 'j';
  for (const std::string& cmd : {touch + " \"x\"", touch + " ' x'", touch + " '''",
                                 touch + " 'x"}) {
    output out = {&junk, 1, nullptr, nullptr, 1};
    EXPECT_EQ(cmd_run(cmd.c_str(), &out, nullptr, 0), -1) << cmd;
    EXPECT_EQ(out.buf, nullptr) << cmd;
    EXPECT_NE(access((dir.path() + "/made").c_str(), F_OK), 0) << cmd;
  }
  output out = {&junk, 1, nullptr, nullptr, 1};
  EXPECT_EQ(cmd_run(nullptr, &out, nullptr, 0), -1);
  EXPECT_EQ(out.buf, &junk) << "a null command leaves the record alone";
}

TEST_F(CmdRun, StreamsReachTheirRecordsAndLcAllIsC) {
  setenv("LC_ALL", "de_DE.UTF-8", 1);
  output out, err;
  EXPECT_EQ(cmd_run("/bin/sh -c 'echo LC_ALL=$LC_ALL; echo oops >&2; exit 1'", &out, &err, 0), 1);
  ASSERT_EQ(out.lines, 1u);
  EXPECT_STREQ(out.line[0], "LC_ALL=C");
  ASSERT_EQ(err.lines, 1u);
  EXPECT_STREQ(err.line[0], "oops");
  EXPECT_STREQ(getenv("LC_ALL"), "C");
  Release(out, 0);
  Release(err, 0);
  output both;
  EXPECT_EQ(cmd_run("/bin/sh -c 'echo out; echo err >&2'", &both, &both, 0), 0);
  ASSERT_EQ(both.lines, 1u) << "one record for both streams holds standard error";
  EXPECT_STREQ(both.line[0], "err");
  Release(both, 0);
}

// With its standard streams closed, the pipes land on descriptors 0 to 3,
// and the child must still get them as its own standard output and error.
TEST_F(CmdRun, CallerWithClosedStandardStreams) {
  std::string printed = Guarded([] {
    int saved = dup(1);
    close(0);
    close(1);
    close(2);
    output out, err;
    int status = cmd_run("/bin/sh -c 'echo o; echo e >&2'", &out, &err, 0);
    dup2(saved, 1);
    printf("%d %s %s", status, out.lines ? out.line[0] : "-", err.lines ? err.line[0] : "-");
  });
  EXPECT_EQ(printed, "0 o e");
}

TEST_F(CmdRun, UncapturedStreamIsDrained) {
  const char* writer = "/bin/sh -c 'head -c 1048576 /dev/zero >&%d; exit 7'";
  std::string printed = Guarded([writer] {
    char cmd[128];
    output rec;
    snprintf(cmd, sizeof cmd, writer, 1);
    printf("%d ", cmd_run(cmd, nullptr, &rec, 0));
    snprintf(cmd, sizeof cmd, writer, 2);
    printf("%d ", cmd_run(cmd, &rec, nullptr, 0));
    printf("%d", cmd_run(cmd, nullptr, nullptr, 0));
  });
  EXPECT_EQ(printed, "7 7 7");
}

// A background process that keeps an uncaptured stream of the child open
// does not hold the call: it is still running when the call returns.
TEST_F(CmdRun, UncapturedStreamCannotHoldTheCall) {
  ScopedTempDir dir;
  for (const char* redirect : {">/dev/null", "2>/dev/null", ""}) {
    const std::string cmd = std::string("/bin/sh -c 'sleep 30 ") + redirect + " & echo $! >" +
                            dir.path() + "/pid'";
    std::string printed = Guarded([&] {
      output rec;
      int status = cmd_run(cmd.c_str(), *redirect == '>' ? &rec : nullptr,
                           *redirect == '2' ? &rec : nullptr, 0);
      cmd_file_read((dir.path() + "/pid").c_str(), &rec, 0);
      printf("%d %d", status, kill(static_cast<pid_t>(atol(rec.buf)), SIGKILL) == 0);
    }, 10);
    EXPECT_EQ(printed, "0 1") << cmd;
  }
}

// The table ends at _cmd_maxfd(): a read end on its last entry is tracked,
// one beyond it is not, yet the child is reaped and nothing stays open.
TEST_F(CmdRun, ReadEndBeyondThePidTable) {
  std::string printed = Guarded([] {
    cmd_init();
    long n = _cmd_maxfd();
    struct rlimit lim;
    getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_max < static_cast<rlim_t>(n + 8)) {
      printf("skip");
      return;
    }
    lim.rlim_cur = static_cast<rlim_t>(n + 8);
    setrlimit(RLIMIT_NOFILE, &lim);
    int null_fd = open("/dev/null", O_RDONLY);
    for (int round = 0; round < 2; ++round) {
      for (int fd = 0; fd < n - 1 + round; ++fd)
        if (fcntl(fd, F_GETFD) < 0) dup2(null_fd, fd);
      output out;
      int status = cmd_run("/bin/echo x", &out, nullptr, 0);
      bool reaped = waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD;
      bool closed = fcntl(static_cast<int>(n) - 1 + round, F_GETFD) < 0;
      printf("%d %s %d %d|", status, out.lines ? out.line[0] : "-", reaped, closed);
    }
  });
  if (printed == "skip") GTEST_SKIP() << "the descriptor limit is too low";
  EXPECT_EQ(printed, "0 x 1 1|-1 x 1 1|");
}

// What cannot be opened, or is no regular file, ends the run; a FIFO
// without a writer and a device that never ends are not waited for.
TEST(CmdFileRead, FailuresTable) {
  ScopedTempDir dir;
  const std::string fifo = dir.path() + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const struct {
    std::string path;
    std::string why;
  } cases[] = {
      {dir.path() + "/missing", "No such file or directory"},
      {dir.path(), "Is a directory"},
      {fifo, "Not a regular file"},
      {"/dev/zero", "Not a regular file"},
  };
  for (const auto& c : cases) {
    RunResult r = RunInChild([&] {
      alarm(10);
      output out;
      cmd_file_read(c.path.c_str(), &out, 0);
    });
    EXPECT_EQ(r.out, "Error opening " + c.path + ": " + c.why);
    EXPECT_EQ(r.exit_code, STATE_UNKNOWN) << c.path;
  }
  EXPECT_EQ(cmd_file_read(dir.WriteFile("f", "a\n").c_str(), nullptr, 0), 0);
}

TEST_F(CmdRunStress, SixtyFourMebibytesOnBothStreams) {
  std::string printed = Guarded([] {
    // Standard error first: a runner that read standard output to its end
    // before touching standard error would stall here.
    const char* cmd =
        "/bin/sh -c 'yes 0123456789abcde | head -c 67108864 >&2;"
        " yes fedcba987654321 | head -c 67108864'";
    output out, err;
    int status = cmd_run(cmd, &out, &err, CMD_BUFFER_ONLY);
    auto intact = [](const output& rec, const char* line) {
      for (size_t i = 0; i < rec.buflen; ++i)
        if (rec.buf[i] != line[i % 16]) return false;
      return rec.buflen == 67108864;
    };
    printf("%d %d %d", status, intact(out, "fedcba987654321\n"), intact(err, "0123456789abcde\n"));
  });
  EXPECT_EQ(printed, "0 1 1");
}

TEST_F(CmdRunStress, ThousandRunsLeaveNoDescriptorOrChild) {
  size_t before = OpenDescriptors();
  int wrong = 0;
  for (int i = 0; i < 1000; ++i) {
    output out = {}, err = {};
    if (i % 2 == 0)
      wrong += cmd_run("/bin/echo a b", &out, &err, 0) != 0 || out.lines != 1;
    else
      wrong += cmd_run("/nonexistent/program", nullptr, nullptr, 0) != 3;
    Release(out, 0);
    Release(err, 0);
  }
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(OpenDescriptors(), before);
  errno = 0;
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

}  // namespace
