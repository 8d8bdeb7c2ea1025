// Helpers shared by the tests: running a built program and capturing what
// it prints, scoped temporary directories, and the private test server.
#ifndef KIVREL_TEST_HELPERS_H
#define KIVREL_TEST_HELPERS_H

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

/// What a finished child printed and how it ended.
struct RunResult {
  std::string out;     // standard output
  std::string err;     // standard error
  int exit_code = -1;  // exit status, or 128 + signal number
};

/// Run \a argv (argv[0] is the program path) without a shell, with the
/// current environment changed by \a env (an empty value removes the
/// variable), and wait for it. Fails the test on a spawn error.
RunResult RunProgram(const std::vector<std::string>& argv,
                     const std::map<std::string, std::string>& env = {});

/// Run \a body in a forked child whose standard output and standard error
/// are captured; the child exits with 0 if \a body returns. For code that
/// ends the process (die, the usage routines).
RunResult RunInChild(const std::function<void()>& body);

/// A child left running: its pid and the read ends of its output pipes.
struct Spawned {
  pid_t pid = -1;
  int out_fd = -1;
  int err_fd = -1;
};
/// Start \a argv as RunProgram does, but return at once.
Spawned StartProgram(const std::vector<std::string>& argv,
                     const std::map<std::string, std::string>& env = {});
/// Collect the output of a started child and reap it.
RunResult FinishProgram(const Spawned& child);

/// A fresh directory under TMPDIR (or /tmp), removed with its contents.
class ScopedTempDir {
 public:
  ScopedTempDir();
  ~ScopedTempDir();
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;
  const std::string& path() const { return path_; }
  /// Write \a contents to \a name inside the directory; returns the path.
  std::string WriteFile(const std::string& name, const std::string& contents) const;

 private:
  std::string path_;
};

/// Connection settings of the private test server, read from the file that
/// the server script writes (TEST_SERVER_DIR/server.env, KEY=VALUE lines).
struct TestServer {
  std::string host;      // "127.0.0.1"
  std::string port;      // TCP port on the loopback
  std::string socket;    // unix socket path
  std::string user;      // a user with a password
  std::string password;
  std::string database;  // a small database the tests may read
  /// Load the settings; fails the test when the server is not running.
  static TestServer Load();
};

#endif  // KIVREL_TEST_HELPERS_H
