/* SPDX-License-Identifier: MIT */
// A loopback listener that speaks just enough of the server protocol to
// produce what a real server cannot: a login plugin that asks for the
// password in cleartext, the full exchange of caching_sha2_password and
// sha256_password with a key of its own, TLS with a certificate of its own,
// an error in answer to the statistics command, a greeting that trickles, a
// server that goes quiet or away after the login, texts that would break a status
// line, a number no double holds.
#ifndef KIVREL_FAKE_SERVER_H
#define KIVREL_FAKE_SERVER_H

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class FakeServer {
 public:
  enum class Mode {
    cleartext_greeting,  // the greeting names mysql_clear_password
    cleartext_switch,    // an authentication switch to mysql_clear_password
    dialog_switch,       // an authentication switch to dialog
    statistics_error,    // log in, then answer the statistics command with error 1152
    silent_after_login,  // log in, then never answer
    closed_after_login,  // log in, then close the connection at the first statement
    trickled_greeting,   // send the greeting one byte every 2 s
    server_texts,        // log in; statistics and errors with "|" and line breaks, and a
                         // process list whose TIME is 1e400
    // A switch to the method, which then asks for the password itself.
    // The password it gets,
    // as it stands or decrypted with its key, logs in when it is the one
    // given to the listener; every command after the login fails with
    // "logged in to the fake server".
    caching_sha2_full,
    sha256_full,
    caching_sha2_fast,   // the scramble alone, checked against the password
  };
  /// Where the listener is, and what more it offers.
  struct Options {
    bool tls = false;         // offer TLS with its own certificate (CN and IP 127.0.0.1)
    std::string socket_path;  // listen on this unix socket instead of TCP
    std::string password;     // the password that logs in
    std::string key_dir;      // where to write its key and certificate (PEM)
  };
  explicit FakeServer(Mode mode);
  FakeServer(Mode mode, const Options& options);
  ~FakeServer();
  FakeServer(const FakeServer&) = delete;
  FakeServer& operator=(const FakeServer&) = delete;
  const std::string& port() const { return port_; }
  /// Its public key and its self-signed certificate, as files in key_dir.
  const std::string& public_key_file() const { return public_key_file_; }
  const std::string& certificate_file() const { return certificate_file_; }
  /// Every byte that clients sent so far (inside TLS: what it decrypted).
  std::string received();
  /// The passwords it got in full exchanges, as it stands or decrypted.
  std::vector<std::string> passwords();
  /// Forget what was received and the passwords.
  void Reset();
  /// Wait (up to 10 s) until the sessions of the clients so far have ended.
  void WaitSessionsEnded(int count);
  /// How many sessions have ended.
  int sessions_ended() const { return sessions_ended_; }

 private:
  void Serve();
  void Session(int client);
  Mode mode_;
  Options options_;
  int fd_ = -1;
  std::string port_;
  std::string public_key_file_;
  std::string certificate_file_;
  void* key_ = nullptr;       // EVP_PKEY
  void* tls_ctx_ = nullptr;   // SSL_CTX
  std::atomic<bool> stop_{false};
  std::atomic<int> sessions_ended_{0};
  std::mutex mutex_;
  std::string received_;
  std::vector<std::string> passwords_;
  std::thread thread_;
};

#endif  // KIVREL_FAKE_SERVER_H
