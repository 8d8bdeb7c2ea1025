// SPDX-License-Identifier: MIT
#include "fake_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

namespace {

// One packet: a 3-byte length, the sequence number, the payload.
std::string Packet(unsigned char seq, const std::string& payload) {
  std::string p;
  p += static_cast<char>(payload.size() & 0xff);
  p += static_cast<char>((payload.size() >> 8) & 0xff);
  p += static_cast<char>((payload.size() >> 16) & 0xff);
  p += static_cast<char>(seq);
  return p + payload;
}

// A protocol-10 greeting without TLS, naming the login plugin \a plugin.
std::string Greeting(const std::string& plugin) {
  std::string g("\x0a", 1);
  g += std::string("5.5.5-10.11.99-fake") + '\0';
  g += std::string("\x01\x00\x00\x00", 4);  // connection id
  g += "abcdefgh";                          // first 8 bytes of the scramble
  g += '\0';
  // long password, found rows, long flag, connect with db, protocol 4.1,
  // transactions, secure connection; no TLS.
  g += std::string("\x0f\xa2", 2);
  g += '\x21';                     // utf8
  g += std::string("\x02\x00", 2);  // autocommit
  g += std::string("\x08\x00", 2);  // plugin auth
  g += '\x15';                     // scramble length 21
  g += std::string(10, '\0');
  g += std::string("ijklmnopqrst") + '\0';  // the other 12 bytes
  return Packet(0, g + plugin + '\0');
}

std::string Ok(unsigned char seq) {
  return Packet(seq, std::string("\x00\x00\x00\x02\x00\x00\x00", 7));
}

// A length-encoded string, shorter than 251 bytes.
std::string Lenenc(const std::string& text) { return static_cast<char>(text.size()) + text; }

std::string Eof(unsigned char seq) { return Packet(seq, std::string("\xfe\x00\x00\x02\x00", 5)); }

// A text-protocol result set of one row: every column a string, "NULL"
// as SQL NULL.
std::string ResultSet(const std::vector<std::string>& row) {
  unsigned char seq = 1;
  std::string out = Packet(seq++, std::string(1, static_cast<char>(row.size())));
  for (size_t i = 0; i < row.size(); ++i) {
    std::string def = Lenenc("def") + Lenenc("") + Lenenc("") + Lenenc("") +
                      Lenenc("c" + std::to_string(i)) + Lenenc("") + '\x0c';
    def += std::string("\x21\x00\xff\x00\x00\x00\xfd\x00\x00\x00\x00\x00", 12);
    out += Packet(seq++, def);
  }
  out += Eof(seq++);
  std::string fields;
  for (const std::string& field : row) fields += field == "NULL" ? std::string("\xfb") : Lenenc(field);
  out += Packet(seq++, fields);
  return out + Eof(seq);
}

bool WaitReadable(int fd, const std::atomic<bool>& stop) {
  while (!stop) {
    pollfd p{fd, POLLIN, 0};
    int n = poll(&p, 1, 50);
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
  return false;
}

}  // namespace

FakeServer::FakeServer(Mode mode) : mode_(mode) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0 || listen(fd_, 8) != 0)
    ADD_FAILURE() << "fake server: " << strerror(errno);
  port_ = std::to_string(ntohs(addr.sin_port));
  thread_ = std::thread(&FakeServer::Serve, this);
}

FakeServer::~FakeServer() {
  stop_ = true;
  thread_.join();
  close(fd_);
}

std::string FakeServer::received() {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

void FakeServer::Serve() {
  while (WaitReadable(fd_, stop_)) {
    int client = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    Session(client);
    close(client);
  }
}

// Serve one client until it hangs up or the server is stopped.
void FakeServer::Session(int client) {
  auto send_all = [client](const std::string& bytes) {
    return send(client, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  };
  // The next packet the client sends (its sequence number in \a seq); empty
  // when it hung up.
  auto next_packet = [&](unsigned char* seq) {
    std::string packet;
    size_t wanted = 4;
    while (packet.size() < wanted && WaitReadable(client, stop_)) {
      char buf[4096];
      ssize_t n = recv(client, buf, std::min(sizeof buf, wanted - packet.size()), 0);
      if (n <= 0) return std::string();
      packet.append(buf, static_cast<size_t>(n));
      {
        std::lock_guard<std::mutex> lock(mutex_);
        received_.append(buf, static_cast<size_t>(n));
      }
      if (packet.size() == 4)
        wanted = 4 + (static_cast<unsigned char>(packet[0]) |
                      static_cast<unsigned char>(packet[1]) << 8 |
                      static_cast<unsigned char>(packet[2]) << 16);
    }
    if (packet.size() < wanted) return std::string();
    *seq = static_cast<unsigned char>(packet[3]);
    return packet.substr(4);
  };

  bool cleartext = mode_ == Mode::cleartext_greeting;
  std::string greeting = Greeting(cleartext ? "mysql_clear_password" : "mysql_native_password");
  if (mode_ == Mode::trickled_greeting) {
    for (char c : greeting) {
      if (stop_ || !send_all(std::string(1, c))) return;
      for (int i = 0; i < 40 && !stop_; ++i) usleep(50 * 1000);
    }
  } else if (!send_all(greeting)) {
    return;
  }
  unsigned char seq = 0;
  if (next_packet(&seq).empty()) return;
  if (mode_ == Mode::cleartext_switch || mode_ == Mode::dialog_switch) {
    // Ask for the password again, as it stands.
    std::string plugin = mode_ == Mode::dialog_switch ? "dialog" : "mysql_clear_password";
    std::string request = "\xfe" + plugin + '\0';
    if (mode_ == Mode::dialog_switch) request += "\x04Password: ";
    request += '\0';
    if (!send_all(Packet(++seq, request)) || next_packet(&seq).empty()) return;
  }
  if (!send_all(Ok(++seq))) return;
  for (;;) {
    std::string command = next_packet(&seq);
    if (command.empty() || command[0] == '\x01') return;  // gone, or quit
    if (mode_ == Mode::silent_after_login) continue;
    if (mode_ == Mode::server_texts) {
      if (command[0] == '\x09')
        send_all(Packet(1, "Uptime: 5|x\nThreads: 1"));
      else if (command.find("PROCESSLIST") != std::string::npos)
        send_all(ResultSet({"1e400", "7", "u", "d", "q"}));
      else
        send_all(Packet(1, std::string("\xff\x7a\x04#42S02", 9) + "Table 'x.a|b\nc' doesn't exist"));
      continue;
    }
    if (command[0] == '\x09') {  // statistics
      std::string error("\xff\x80\x04#08S01", 9);
      send_all(Packet(1, error + "Aborted connection: injected statistics error"));
    }
  }
}
