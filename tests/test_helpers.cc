// SPDX-License-Identifier: MIT
#include "test_helpers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

extern char** environ;

namespace {

std::vector<std::string> MergedEnvironment(
    const std::map<std::string, std::string>& changes) {
  std::map<std::string, std::string> vars;
  for (char** e = environ; *e; ++e) {
    std::string entry(*e);
    size_t eq = entry.find('=');
    if (eq != std::string::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& [key, value] : changes) {
    if (value.empty())
      vars.erase(key);
    else
      vars[key] = value;
  }
  std::vector<std::string> out;
  for (const auto& [key, value] : vars) out.push_back(key + "=" + value);
  return out;
}

std::vector<char*> CStrings(std::vector<std::string>& texts) {
  std::vector<char*> out;
  for (auto& t : texts) out.push_back(t.data());
  out.push_back(nullptr);
  return out;
}

// A run in a locale other than C, or with LANGUAGE, whose messages come from
// the catalogue.
bool TranslatedRun(const std::map<std::string, std::string>& env) {
  auto named = [&env](const char* name) {
    auto found = env.find(name);
    return found != env.end() && !found->second.empty() && found->second != "C";
  };
  return named("LC_ALL") || named("LANGUAGE");
}

// \a argv run where the programs find the staged install's catalogues in
// place of the installed ones: in a mount namespace of its own, as root in
// a user namespace of its own when the tests do not run as root.
std::vector<std::string> WithStagedCatalogue(const std::vector<std::string>& argv) {
  std::vector<std::string> wrapped = {"/usr/bin/unshare", "--mount", "--propagation", "private"};
  if (geteuid() != 0) wrapped.push_back("--map-root-user");
  wrapped.insert(wrapped.end(),
                 {"/bin/sh", STAGED_CATALOGUE_SCRIPT, TEST_BUILD_TOP, TEST_STAGE_DIR, TEST_LOCALEDIR});
  wrapped.insert(wrapped.end(), argv.begin(), argv.end());
  return wrapped;
}

}  // namespace

Spawned StartProgram(const std::vector<std::string>& argv,
                     const std::map<std::string, std::string>& env) {
  Spawned child;
  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << strerror(errno);
    return child;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);

  std::vector<std::string> args = TranslatedRun(env) ? WithStagedCatalogue(argv) : argv;
  std::vector<std::string> envs = MergedEnvironment(env);
  std::vector<char*> cargs = CStrings(args);
  std::vector<char*> cenv = CStrings(envs);
  int rc = posix_spawn(&child.pid, cargs[0], &actions, nullptr, cargs.data(),
                       cenv.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (rc != 0) {
    ADD_FAILURE() << "spawn " << argv[0] << ": " << strerror(rc);
    close(out_pipe[0]);
    close(err_pipe[0]);
    child.pid = -1;
    return child;
  }
  child.out_fd = out_pipe[0];
  child.err_fd = err_pipe[0];
  return child;
}

RunResult FinishProgram(const Spawned& child) {
  RunResult result;
  if (child.pid < 0) return result;
  // Drain both pipes together so that neither can fill up and stall the child.
  struct pollfd fds[2] = {{child.out_fd, POLLIN, 0}, {child.err_fd, POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_fds = 2;
  char buf[4096];
  while (open_fds > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_fds;
      }
    }
  }
  int status = 0;
  while (waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status))
    result.exit_code = WEXITSTATUS(status);
  else if (WIFSIGNALED(status))
    result.exit_code = 128 + WTERMSIG(status);
  return result;
}

RunResult RunInChild(const std::function<void()>& body) {
  int out_pipe[2], err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) {
    ADD_FAILURE() << "pipe: " << strerror(errno);
    return {};
  }
  fflush(stdout);
  fflush(stderr);
  Spawned child;
  child.pid = fork();
  if (child.pid == 0) {
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    close(out_pipe[0]);
    close(err_pipe[0]);
    body();
    fflush(stdout);
    _exit(0);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  child.out_fd = out_pipe[0];
  child.err_fd = err_pipe[0];
  if (child.pid < 0) {
    ADD_FAILURE() << "fork: " << strerror(errno);
    close(out_pipe[0]);
    close(err_pipe[0]);
    return {};
  }
  return FinishProgram(child);
}

RunResult RunProgram(const std::vector<std::string>& argv,
                     const std::map<std::string, std::string>& env) {
  return FinishProgram(StartProgram(argv, env));
}

ScopedTempDir::ScopedTempDir() {
  // Below the build folder, whatever TMPDIR says.
  std::string templ = std::string(TEST_TMP_DIR) + "/kivrel-test-XXXXXX";
  std::error_code ec;
  std::filesystem::create_directories(TEST_TMP_DIR, ec);
  if (!mkdtemp(templ.data())) ADD_FAILURE() << "mkdtemp: " << strerror(errno);
  path_ = templ;
}

ScopedTempDir::~ScopedTempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string ScopedTempDir::WriteFile(const std::string& name,
                                     const std::string& contents) const {
  std::string file = path_ + "/" + name;
  std::ofstream(file, std::ios::binary) << contents;
  return file;
}

std::map<std::string, std::string> ReadEnvFile(const std::string& path) {
  std::map<std::string, std::string> vars;
  std::ifstream in(path);
  if (!in) {
    ADD_FAILURE() << "the test servers are not running (no " << path
                  << "); run the tests through ctest";
    return vars;
  }
  std::string line;
  while (std::getline(in, line)) {
    size_t eq = line.find('=');
    if (eq != std::string::npos) vars[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return vars;
}

TestServer TestServer::Load() {
  TestServer server;
  std::map<std::string, std::string> vars =
      ReadEnvFile(std::string(TEST_SERVER_DIR) + "/server.env");
  server.host = vars["HOST"];
  server.port = vars["PORT"];
  server.socket = vars["SOCKET"];
  server.user = vars["USER"];
  server.password = vars["PASSWORD"];
  server.database = vars["DATABASE"];
  server.replica_port = vars["REPLICA_PORT"];
  server.replica_socket = vars["REPLICA_SOCKET"];
  server.tls_ca = vars["TLS_CA"];
  server.tls_client_cert = vars["TLS_CLIENT_CERT"];
  server.tls_client_key = vars["TLS_CLIENT_KEY"];
  server.ssl_user = vars["SSL_USER"];
  server.ssl_password = vars["SSL_PASSWORD"];
  server.x509_user = vars["X509_USER"];
  server.x509_password = vars["X509_PASSWORD"];
  server.empty_user = vars["EMPTY_USER"];
  server.east_port = vars["EAST_PORT"];
  server.east_socket = vars["EAST_SOCKET"];
  return server;
}

std::string ServerSql(const std::string& which, const std::string& sql, const std::string& dir) {
  RunResult r = RunProgram({TEST_SERVER_SCRIPT, "sql", dir, which, sql});
  if (r.exit_code != 0)
    ADD_FAILURE() << "on the " << which << ": " << sql << "\nexit " << r.exit_code
                  << ": " << r.err;
  return r.out;
}

bool ServerSync(int timeout_seconds) {
  RunResult r = RunProgram({TEST_SERVER_SCRIPT, "sync", TEST_SERVER_DIR,
                            std::to_string(timeout_seconds)});
  return r.exit_code == 0;
}

const std::map<std::string, std::string> kPlainLocale = {
    {"LC_ALL", "C"}, {"LANG", ""}, {"LANGUAGE", ""}, {"KIVREL_PLUGIN_CONFIG_FILE", ""}};
const std::map<std::string, std::string> kGermanLocale = {
    {"LC_ALL", "de_DE.UTF-8"}, {"LANG", ""}, {"LANGUAGE", ""}, {"KIVREL_PLUGIN_CONFIG_FILE", ""}};

std::vector<std::string> Split(const std::string& text, char sep) {
  std::vector<std::string> pieces;
  std::string piece;
  std::istringstream in(text);
  while (std::getline(in, piece, sep)) pieces.push_back(piece);
  return pieces;
}

namespace {

// A TCP socket bound to a free loopback port; stores the port.
int BoundSocket(std::string* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    ADD_FAILURE() << "loopback socket: " << strerror(errno);
  *port = std::to_string(ntohs(addr.sin_port));
  return fd;
}

}  // namespace

std::string ClosedPort() {
  std::string port;
  close(BoundSocket(&port));
  return port;
}

SilentListener::SilentListener(bool fill) {
  fd_ = BoundSocket(&port_);
  if (listen(fd_, fill ? 0 : 16) != 0) ADD_FAILURE() << "listen: " << strerror(errno);
  if (!fill) return;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(std::stoi(port_)));
  // A backlog of 0 holds one connection; the rest wait for a SYN answer
  // that never comes.
  for (int i = 0; i < 4; ++i) {
    int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    connect(c, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    clients_.push_back(c);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

SilentListener::~SilentListener() {
  for (int c : clients_) close(c);
  close(fd_);
}

std::string CommandLineWhileRunning(const std::vector<std::string>& argv,
                                    const std::string& wanted, RunResult* result) {
  Spawned child = StartProgram(argv, kPlainLocale);
  std::string cmdline;
  for (int i = 0; i < 200 && cmdline.find(wanted) == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::ifstream in("/proc/" + std::to_string(child.pid) + "/cmdline");
    std::stringstream ss;
    ss << in.rdbuf();
    cmdline = ss.str();
  }
  RunResult r = FinishProgram(child);
  if (result) *result = r;
  return cmdline;
}
