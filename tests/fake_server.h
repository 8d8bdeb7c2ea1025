/* SPDX-License-Identifier: MIT */
// A loopback listener that speaks just enough of the server protocol to
// produce what a real server cannot: a login plugin that asks for the
// password in cleartext, an error in answer to the statistics command, a
// greeting that trickles, a server that goes quiet after the login, texts
// that would break a status line, a number no double holds.
#ifndef KIVREL_FAKE_SERVER_H
#define KIVREL_FAKE_SERVER_H

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

class FakeServer {
 public:
  enum class Mode {
    cleartext_greeting,  // the greeting names mysql_clear_password
    cleartext_switch,    // an authentication switch to mysql_clear_password
    dialog_switch,       // an authentication switch to dialog
    statistics_error,    // log in, then answer the statistics command with error 1152
    silent_after_login,  // log in, then never answer
    trickled_greeting,   // send the greeting one byte every 2 s
    server_texts,        // log in; statistics and errors with "|" and line breaks, and a
                         // process list whose TIME is 1e400
  };
  explicit FakeServer(Mode mode);
  ~FakeServer();
  FakeServer(const FakeServer&) = delete;
  FakeServer& operator=(const FakeServer&) = delete;
  const std::string& port() const { return port_; }
  /// Every byte that clients sent so far.
  std::string received();

 private:
  void Serve();
  void Session(int client);
  Mode mode_;
  int fd_ = -1;
  std::string port_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::string received_;
  std::thread thread_;
};

#endif  // KIVREL_FAKE_SERVER_H
