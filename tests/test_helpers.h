/* SPDX-License-Identifier: MIT */
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
/// variable), and wait for it. A run whose LC_ALL is not C sees the staged
/// install's message catalogues as installed. Fails the test on a spawn
/// error.
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

/// A fresh directory below the build folder, removed with its contents.
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

/// Connection settings of the private test servers (a primary with TLS and
/// a replica of it), read from the file that the server script writes
/// (TEST_SERVER_DIR/server.env, KEY=VALUE lines).
struct TestServer {
  std::string host;      // "127.0.0.1", for both servers
  std::string port;      // the primary's TCP port on the loopback
  std::string socket;    // the primary's unix socket path
  std::string user;      // a user with a password, on both servers
  std::string password;
  std::string database;  // a small database the tests may read
  std::string replica_port;    // the replica's TCP port
  std::string replica_socket;  // the replica's unix socket path
  std::string tls_ca;           // CA certificate that signed the others
  std::string tls_client_cert;  // client certificate and its key
  std::string tls_client_key;
  std::string ssl_user;  // a user that must connect over TLS (primary only)
  std::string ssl_password;
  std::string x509_user;  // a user that must show tls_client_cert
  std::string x509_password;
  std::string empty_user;  // a user without password and without PROCESS
  std::string east_port;    // the second primary, which the replica copies
  std::string east_socket;  // through its connection 'east'
  /// Load the settings; fails the test when the server is not running.
  static TestServer Load();
};

/// The KEY=VALUE lines of \a path; fails the test when it cannot be read.
std::map<std::string, std::string> ReadEnvFile(const std::string& path);

/// Run \a sql as the administrator of the test server \a which ("primary",
/// "replica", "east"; "node1" to "node3" of the cluster in \a dir) and return
/// what it printed: tab-separated rows without column names, each ending in
/// a newline. Fails the test (and returns what was printed) when the
/// statement fails.
std::string ServerSql(const std::string& which, const std::string& sql,
                      const std::string& dir = TEST_SERVER_DIR);

/// Wait up to \a timeout_seconds until the replica has applied everything
/// the primary has logged. Returns false on timeout, e.g. while the
/// replica's SQL thread is stopped.
bool ServerSync(int timeout_seconds = 30);

/// The plain C locale (untranslated texts) and German, for runs of the
/// programs; neither reads the build-time extra-options file.
extern const std::map<std::string, std::string> kPlainLocale;
extern const std::map<std::string, std::string> kGermanLocale;

/// \a text cut at every \a sep; no empty last piece after a final \a sep.
std::vector<std::string> Split(const std::string& text, char sep);

/// A loopback TCP port that nothing listens on.
std::string ClosedPort();

/// A server of the test's own on the loopback that takes connections into
/// its backlog and never answers them. With \a fill, it first fills a
/// backlog of 0 with connections, so that new ones are not even accepted.
class SilentListener {
 public:
  explicit SilentListener(bool fill = false);
  ~SilentListener();
  SilentListener(const SilentListener&) = delete;
  SilentListener& operator=(const SilentListener&) = delete;
  const std::string& port() const { return port_; }

 private:
  int fd_ = -1;
  std::vector<int> clients_;
  std::string port_;
};

/// Start \a argv, read its command line from /proc until it contains
/// \a wanted (for up to 2 s), then wait for it to end. Returns the last
/// command line read, its arguments separated by NUL bytes; the run's
/// result goes to \a result when given.
std::string CommandLineWhileRunning(const std::vector<std::string>& argv,
                                    const std::string& wanted, RunResult* result = nullptr);

#endif  // KIVREL_TEST_HELPERS_H
