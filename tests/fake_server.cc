// SPDX-License-Identifier: MIT
#include "fake_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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

// A protocol-10 greeting, naming the login plugin \a plugin, with or
// without TLS.
std::string Greeting(const std::string& plugin, bool tls = false) {
  std::string g("\x0a", 1);
  g += std::string("5.5.5-10.11.99-fake") + '\0';
  g += std::string("\x01\x00\x00\x00", 4);  // connection id
  g += "abcdefgh";                          // first 8 bytes of the scramble
  g += '\0';
  // long password, found rows, long flag, connect with db, protocol 4.1,
  // transactions, secure connection; TLS when offered.
  g += std::string(tls ? "\x0f\xaa" : "\x0f\xa2", 2);
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

std::string Error(unsigned char seq, const std::string& state, int code, const std::string& text) {
  std::string e("\xff", 1);
  e += static_cast<char>(code & 0xff);
  e += static_cast<char>(code >> 8);
  return Packet(seq, e + "#" + state + text);
}

// The nonce of the switch to a full-exchange method.
const char kNonce[] = "0123456789abcdefghij";

const char* MethodOf(FakeServer::Mode mode) {
  return mode == FakeServer::Mode::sha256_full ? "sha256_password" : "caching_sha2_password";
}

std::string Sha256(const std::string& data) {
  unsigned char out[32];
  unsigned int len = 0;
  EVP_Digest(data.data(), data.size(), out, &len, EVP_sha256(), nullptr);
  return std::string(reinterpret_cast<char*>(out), len);
}

// What the client must send on caching_sha2_password's quick path.
std::string Scramble(const std::string& password, const std::string& nonce) {
  std::string stage1 = Sha256(password);
  std::string mix = Sha256(Sha256(stage1) + nonce);
  for (size_t i = 0; i < stage1.size(); ++i) stage1[i] ^= mix[i];
  return stage1;
}

// The password in a full-exchange packet: encrypted to \a key when it
// decrypts, else as it stands; without its NUL.
std::string PasswordIn(const std::string& packet, EVP_PKEY* key) {
  std::string plain = packet;
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
  size_t len = 0;
  const unsigned char* in = reinterpret_cast<const unsigned char*>(packet.data());
  if (packet.size() == static_cast<size_t>(EVP_PKEY_get_size(key)) && ctx &&
      EVP_PKEY_decrypt_init(ctx) == 1 &&
      EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING) == 1 &&
      EVP_PKEY_decrypt(ctx, nullptr, &len, in, packet.size()) == 1) {
    std::string out(len, '\0');
    if (EVP_PKEY_decrypt(ctx, reinterpret_cast<unsigned char*>(out.data()), &len, in,
                         packet.size()) == 1) {
      out.resize(len);
      for (size_t i = 0; i < out.size(); ++i) out[i] ^= kNonce[i % 20];
      plain = out;
    }
  }
  EVP_PKEY_CTX_free(ctx);
  if (!plain.empty() && plain.back() == '\0') plain.pop_back();
  return plain;
}

// A self-signed certificate of \a key for 127.0.0.1 and localhost, usable
// as its own CA.
X509* Certificate(EVP_PKEY* key) {
  X509* x = X509_new();
  X509_set_version(x, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
  X509_gmtime_adj(X509_getm_notBefore(x), -3600);
  X509_gmtime_adj(X509_getm_notAfter(x), 86400);
  X509_set_pubkey(x, key);
  X509_NAME* name = X509_get_subject_name(x);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
  X509_set_issuer_name(x, name);
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, x, x, nullptr, nullptr, 0);
  for (auto [nid, value] : {std::pair<int, const char*>{NID_subject_alt_name,
                                                          "IP:127.0.0.1,DNS:localhost"},
                            {NID_basic_constraints, "critical,CA:TRUE"}}) {
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    X509_add_ext(x, ext, -1);
    X509_EXTENSION_free(ext);
  }
  X509_sign(x, key, EVP_sha256());
  return x;
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

FakeServer::FakeServer(Mode mode) : FakeServer(mode, Options()) {}

FakeServer::FakeServer(Mode mode, const Options& options) : mode_(mode), options_(options) {
  static int count = 0;
  if (!options_.key_dir.empty()) {
    EVP_PKEY* key = EVP_RSA_gen(2048);
    X509* cert = Certificate(key);
    std::string stem = options_.key_dir + "/fake-" + std::to_string(getpid()) + "-" +
                       std::to_string(++count);
    public_key_file_ = stem + "-key.pem";
    certificate_file_ = stem + "-cert.pem";
    FILE* f = fopen(public_key_file_.c_str(), "w");
    if (!f || PEM_write_PUBKEY(f, key) != 1) ADD_FAILURE() << public_key_file_;
    if (f) fclose(f);
    f = fopen(certificate_file_.c_str(), "w");
    if (!f || PEM_write_X509(f, cert) != 1) ADD_FAILURE() << certificate_file_;
    if (f) fclose(f);
    if (options_.tls) {
      SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
      SSL_CTX_use_certificate(ctx, cert);
      SSL_CTX_use_PrivateKey(ctx, key);
      tls_ctx_ = ctx;
    }
    X509_free(cert);
    key_ = key;
  }
  if (options_.socket_path.empty()) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0 || listen(fd_, 8) != 0)
      ADD_FAILURE() << "fake server: " << strerror(errno);
    port_ = std::to_string(ntohs(addr.sin_port));
  } else {
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", options_.socket_path.c_str());
    unlink(addr.sun_path);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(fd_, 8) != 0)
      ADD_FAILURE() << "fake server: " << options_.socket_path << ": " << strerror(errno);
  }
  thread_ = std::thread(&FakeServer::Serve, this);
}

FakeServer::~FakeServer() {
  stop_ = true;
  thread_.join();
  close(fd_);
  if (!options_.socket_path.empty()) unlink(options_.socket_path.c_str());
  SSL_CTX_free(static_cast<SSL_CTX*>(tls_ctx_));
  EVP_PKEY_free(static_cast<EVP_PKEY*>(key_));
}

std::string FakeServer::received() {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

std::vector<std::string> FakeServer::passwords() {
  std::lock_guard<std::mutex> lock(mutex_);
  return passwords_;
}

void FakeServer::WaitSessionsEnded(int count) {
  for (int i = 0; i < 1000 && sessions_ended_ < count; ++i) usleep(10 * 1000);
}

void FakeServer::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  received_.clear();
  passwords_.clear();
}

void FakeServer::Serve() {
  while (WaitReadable(fd_, stop_)) {
    int client = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    Session(client);
    close(client);
    ++sessions_ended_;
  }
}

// Serve one client until it hangs up or the server is stopped.
void FakeServer::Session(int client) {
  SSL* ssl = nullptr;
  auto send_all = [&](const std::string& bytes) {
    if (ssl) return SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size())) ==
                    static_cast<int>(bytes.size());
    return send(client, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  };
  // The next packet the client sends (its sequence number in \a seq); empty
  // when it hung up.
  auto next_packet = [&](unsigned char* seq) {
    std::string packet;
    size_t wanted = 4;
    while (packet.size() < wanted && ((ssl && SSL_pending(ssl) > 0) || WaitReadable(client, stop_))) {
      char buf[4096];
      size_t room = std::min(sizeof buf, wanted - packet.size());
      ssize_t n = ssl ? SSL_read(ssl, buf, static_cast<int>(room)) : recv(client, buf, room, 0);
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
  struct ssl_free {
    SSL** ssl;
    ~ssl_free() { SSL_free(*ssl); }
  } free_ssl{&ssl};

  bool cleartext = mode_ == Mode::cleartext_greeting;
  std::string greeting = Greeting(cleartext ? "mysql_clear_password" : "mysql_native_password",
                                  tls_ctx_ != nullptr);
  if (mode_ == Mode::trickled_greeting) {
    for (char c : greeting) {
      if (stop_ || !send_all(std::string(1, c))) return;
      for (int i = 0; i < 40 && !stop_; ++i) usleep(50 * 1000);
    }
  } else if (!send_all(greeting)) {
    return;
  }
  unsigned char seq = 0;
  std::string answer = next_packet(&seq);
  if (answer.empty()) return;
  // A TLS request: the first 32 bytes of an answer, with CLIENT_SSL.
  if (tls_ctx_ && answer.size() == 32 && (static_cast<unsigned char>(answer[1]) & 0x08)) {
    ssl = SSL_new(static_cast<SSL_CTX*>(tls_ctx_));
    SSL_set_fd(ssl, client);
    if (SSL_accept(ssl) != 1 || next_packet(&seq).empty()) return;
  }
  if (mode_ == Mode::cleartext_switch || mode_ == Mode::dialog_switch) {
    // Ask for the password again, as it stands.
    std::string plugin = mode_ == Mode::dialog_switch ? "dialog" : "mysql_clear_password";
    std::string request = "\xfe" + plugin + '\0';
    if (mode_ == Mode::dialog_switch) request += "\x04Password: ";
    request += '\0';
    if (!send_all(Packet(++seq, request)) || next_packet(&seq).empty()) return;
  }
  bool logged_in = true;
  if (mode_ == Mode::caching_sha2_full || mode_ == Mode::sha256_full ||
      mode_ == Mode::caching_sha2_fast) {
    EVP_PKEY* key = static_cast<EVP_PKEY*>(key_);
    std::string request = std::string("\xfe") + MethodOf(mode_) + '\0' + kNonce + '\0';
    if (!send_all(Packet(++seq, request))) return;
    std::string reply = next_packet(&seq);
    if (reply.empty()) return;
    bool sha256 = mode_ == Mode::sha256_full;
    if (!sha256) {
      // The quick path; the full one follows when the scramble is not
      // taken.
      if (mode_ == Mode::caching_sha2_fast && reply == Scramble(options_.password, kNonce)) {
        if (!send_all(Packet(++seq, std::string("\x01\x03", 2)))) return;
      } else {
        if (!send_all(Packet(++seq, std::string("\x01\x04", 2)))) return;
        if ((reply = next_packet(&seq)).empty()) return;
        sha256 = true;
      }
    }
    if (sha256) {
      // A request for the key counts as a password that is not the one.
      std::string password = PasswordIn(reply, key);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        passwords_.push_back(password);
      }
      logged_in = password == options_.password;
    }
  }
  if (!logged_in) {
    send_all(Error(++seq, "28000", 1045, "Access denied for user (fake server)"));
    return;
  }
  if (!send_all(Ok(++seq))) return;
  for (;;) {
    std::string command = next_packet(&seq);
    if (command.empty() || command[0] == '\x01') return;  // gone, or quit
    if (mode_ == Mode::silent_after_login) continue;
    if (mode_ == Mode::closed_after_login && command[0] == '\x03') return;
    if (mode_ == Mode::server_texts) {
      if (command[0] == '\x09')
        send_all(Packet(1, "Uptime: 5|x\nThreads: 1"));
      else if (command.find("PROCESSLIST") != std::string::npos)
        send_all(ResultSet({"1e400", "7", "u", "d", "q"}));
      else
        send_all(Packet(1, std::string("\xff\x7a\x04#42S02", 9) + "Table 'x.a|b\nc' doesn't exist"));
      continue;
    }
    if (command[0] == '\x09' && mode_ == Mode::statistics_error) {
      std::string error("\xff\x80\x04#08S01", 9);
      send_all(Packet(1, error + "Aborted connection: injected statistics error"));
    } else if (mode_ != Mode::statistics_error) {
      send_all(Error(1, "HY000", 1105, "logged in to the fake server"));
    }
  }
}
