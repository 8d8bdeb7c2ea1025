// SPDX-License-Identifier: MIT
// db_login: our own client side of caching_sha2_password and sha256_password.
#include "db_login.h"

#include <mysql/plugin_auth.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "common.h"
#include "plugin_routines.h"
#include "status_text.h"

namespace {

// The client library's record of an authentication method; mysql.h has its
// header, and the library's own header of it cannot be included on its own.
struct auth_method {
	MYSQL_CLIENT_PLUGIN_HEADER
	int (*authenticate_user)(MYSQL_PLUGIN_VIO *vio, MYSQL *mysql);
};
const int kAuthenticationMethod = 2;       // MYSQL_CLIENT_AUTHENTICATION_PLUGIN
const unsigned int kMethodInterface = 0x0100;

// What the method returns to the library.
const int kError = 0;             // failed; the library tells why, or switches method
const int kOk = -1;               // our part is done; the library reads the verdict
const int kOkHandshakeDone = -2;  // the verdict is the packet read last

const int kScrambleLength = 20;
const int kSha256Length = 32;
// caching_sha2_password's answers after the scramble.
const unsigned char kFastAuthSuccess = 3;
const unsigned char kPerformFullAuthentication = 4;

db_login_policy policy = {};
EVP_PKEY *pinned_key = nullptr;
std::string refusal;
bool refused = false;

int refuse(const std::string &why) {
	refusal = why;
	refused = true;
	return kError;
}

EVP_PKEY *read_key(const char *path, std::string *why) {
	FILE *f = fopen(path, "re");
	if (!f) {
		*why = strerror(errno);
		return nullptr;
	}
	struct stat st = {};
	if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
		*why = S_ISDIR(st.st_mode) ? strerror(EISDIR) : _("not a regular file");
		fclose(f);
		return nullptr;
	}
	EVP_PKEY *key = PEM_read_PUBKEY(f, nullptr, nullptr, nullptr);
	fclose(f);
	if (!key || EVP_PKEY_base_id(key) != EVP_PKEY_RSA) {
		EVP_PKEY_free(key);
		*why = _("not an RSA public key in PEM form");
		return nullptr;
	}
	return key;
}

bool sha256(const std::vector<unsigned char> &a, const unsigned char *b, size_t b_len,
            unsigned char out[kSha256Length]) {
	EVP_MD_CTX *ctx = EVP_MD_CTX_new();
	unsigned int len = 0;
	bool ok = ctx && EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) == 1 &&
	          EVP_DigestUpdate(ctx, a.data(), a.size()) == 1 &&
	          (b_len == 0 || EVP_DigestUpdate(ctx, b, b_len) == 1) &&
	          EVP_DigestFinal_ex(ctx, out, &len) == 1;
	EVP_MD_CTX_free(ctx);
	return ok && len == kSha256Length;
}

// SHA256(password) XOR SHA256(SHA256(SHA256(password)), nonce): proves the
// password to a server that knows its double hash, and reveals nothing else.
bool scramble(const char *password, const unsigned char *nonce, unsigned char out[kSha256Length]) {
	std::vector<unsigned char> pw(password, password + strlen(password));
	unsigned char stage1[kSha256Length], stage2[kSha256Length], mix[kSha256Length];
	if (!sha256(pw, nullptr, 0, stage1) ||
	    !sha256(std::vector<unsigned char>(stage1, stage1 + kSha256Length), nullptr, 0, stage2) ||
	    !sha256(std::vector<unsigned char>(stage2, stage2 + kSha256Length), nonce, kScrambleLength,
	            mix))
		return false;
	for (int i = 0; i < kSha256Length; i++)
		out[i] = stage1[i] ^ mix[i];
	return true;
}

// The password with its terminating NUL, XORed with the nonce and encrypted
// to the pinned key with OAEP, as the server decrypts it.
bool encrypt_password(const char *password, const unsigned char *nonce,
                      std::vector<unsigned char> *out) {
	std::vector<unsigned char> plain(password, password + strlen(password) + 1);
	for (size_t i = 0; i < plain.size(); i++)
		plain[i] ^= nonce[i % kScrambleLength];
	EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(pinned_key, nullptr);
	size_t len = 0;
	bool ok = ctx && EVP_PKEY_encrypt_init(ctx) == 1 &&
	          EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING) == 1 &&
	          EVP_PKEY_encrypt(ctx, nullptr, &len, plain.data(), plain.size()) == 1;
	if (ok) {
		out->resize(len);
		ok = EVP_PKEY_encrypt(ctx, out->data(), &len, plain.data(), plain.size()) == 1;
		out->resize(len);
	}
	EVP_PKEY_CTX_free(ctx);
	OPENSSL_cleanse(plain.data(), plain.size());
	return ok;
}

// Whether the connection is TLS to a server whose certificate was verified.
bool verified_tls(MYSQL *mysql) {
	return policy.verified && mysql_get_ssl_cipher(mysql) != nullptr;
}

// Whether the connection is a unix socket that may have the password as it
// stands; else \a why tells why not. \a is_socket tells whether it is one.
bool trusted_socket(MYSQL_PLUGIN_VIO *vio, MYSQL *mysql, bool *is_socket, std::string *path,
                    std::string *why) {
	MYSQL_PLUGIN_VIO_INFO info = {};
	vio->info(vio, &info);
	struct sockaddr_storage addr = {};
	socklen_t len = sizeof addr;
	*is_socket = getsockname(info.socket, reinterpret_cast<sockaddr *>(&addr), &len) == 0 &&
	             addr.ss_family == AF_UNIX;
	if (!*is_socket)
		return false;
	// The path as the client took it, links and all: getpeername would give
	// the server's own, past any link that another user placed.
	*path = mysql->unix_socket ? mysql->unix_socket : "";
	struct ucred cred = {};
	socklen_t cred_len = sizeof cred;
	if (path->empty()) {
		*why = _("its path is not known");
		return false;
	}
	if (getsockopt(info.socket, SOL_SOCKET, SO_PEERCRED, &cred, &cred_len) != 0) {
		*why = _("the server's user cannot be told");
		return false;
	}
	char *reason = nullptr;
	if (db_socket_trusted(path->c_str(), cred.uid, policy.socket_owner, &reason))
		return true;
	*why = reason;
	free(reason);
	return false;
}

// Read the nonce that the server sent first (or in its switch request) into
// \a nonce and return kOk; otherwise return what the method returns, and the
// library acts on the packet read (an error, a switch, an OK).
int read_nonce(MYSQL_PLUGIN_VIO *vio, MYSQL *mysql, unsigned char nonce[kScrambleLength]) {
	// No byte of the login leaves before this check: the first read sends
	// the handshake answer, after TLS when the server offers it.
	if (policy.tls_required && !(mysql->server_capabilities & CLIENT_SSL))
		return refuse(_("TLS/SSL error: SSL is required, but the server does not support it"));
	unsigned char *packet = nullptr;
	int n = vio->read_packet(vio, &packet);
	if (n < 0)
		return kError;
	if (n == kScrambleLength || (n == kScrambleLength + 1 && packet[kScrambleLength] == 0)) {
		memcpy(nonce, packet, kScrambleLength);
		return kOk;
	}
	// An OK packet: the account needs no password.
	return n > 0 && packet[0] == 0 ? kOkHandshakeDone : kError;
}

// Hand the password over for a full exchange: as it stands over a verified
// channel, else encrypted to the pinned key, else not at all.
int send_password(MYSQL_PLUGIN_VIO *vio, MYSQL *mysql, const char *method,
                  const unsigned char nonce[kScrambleLength]) {
	const char *password = mysql->passwd ? mysql->passwd : "";
	bool is_socket = false;
	std::string path, why;
	if (verified_tls(mysql) || trusted_socket(vio, mysql, &is_socket, &path, &why)) {
		return vio->write_packet(vio, reinterpret_cast<const unsigned char *>(password),
		                         static_cast<int>(strlen(password) + 1)) == 0
		           ? kOk
		           : kError;
	}
	if (pinned_key) {
		std::vector<unsigned char> sealed;
		if (!encrypt_password(password, nonce, &sealed))
			return refuse(status_printf(_("%s login refused: the password cannot be encrypted to the "
			                       "key of --server-public-key (too long for the key?)"),
			                     method));
		return vio->write_packet(vio, sealed.data(), static_cast<int>(sealed.size())) == 0 ? kOk
		                                                                                : kError;
	}
	if (is_socket)
		return refuse(status_printf(_("%s login refused: the server asks for the password itself, and "
		                       "the socket %s is not trusted (%s); give the server's key with "
		                       "--server-public-key, or the socket's user with --socket-owner"),
		                     method, path.c_str(), why.c_str()));
	return refuse(status_printf(_("%s login refused: the server asks for the password itself, which is "
	                       "sent only encrypted to a key given with --server-public-key, or over "
	                       "TLS to a server verified with -C"),
	                     method));
}

// What both methods do first: read the nonce and answer an empty password
// by one zero byte, which reveals nothing. Returns kMore with \a password
// set when the password's own exchange is still to come, else what the
// method returns.
const int kMore = 1;
int start_login(MYSQL_PLUGIN_VIO *vio, MYSQL *mysql, unsigned char nonce[kScrambleLength],
                const char **password) {
	int got = read_nonce(vio, mysql, nonce);
	if (got != kOk)
		return got;
	*password = mysql->passwd ? mysql->passwd : "";
	if (**password)
		return kMore;
	static const unsigned char none = 0;
	return vio->write_packet(vio, &none, 1) == 0 ? kOk : kError;
}

int caching_sha2_login(MYSQL_PLUGIN_VIO *vio, MYSQL *mysql) {
	unsigned char nonce[kScrambleLength];
	const char *password = nullptr;
	int started = start_login(vio, mysql, nonce, &password);
	if (started != kMore)
		return started;
	unsigned char proof[kSha256Length];
	if (!scramble(password, nonce, proof) || vio->write_packet(vio, proof, kSha256Length) != 0)
		return kError;
	unsigned char *packet = nullptr;
	int n = vio->read_packet(vio, &packet);
	if (n < 0)
		return kError;
	// The library strips the 0x01 that marks more login data; older ones
	// may not.
	if (n == 2 && packet[0] == 1) {
		packet++;
		n--;
	}
	if (n == 1 && packet[0] == kFastAuthSuccess)
		return kOk;
	if (n == 1 && packet[0] == kPerformFullAuthentication)
		return send_password(vio, mysql, "caching_sha2_password", nonce);
	return n > 0 && packet[0] == 0 ? kOkHandshakeDone : kError;
}

int sha256_login(MYSQL_PLUGIN_VIO *vio, MYSQL *mysql) {
	unsigned char nonce[kScrambleLength];
	const char *password = nullptr;
	int started = start_login(vio, mysql, nonce, &password);
	return started == kMore ? send_password(vio, mysql, "sha256_password", nonce) : started;
}

auth_method caching_sha2_method = {
	kAuthenticationMethod, kMethodInterface, "caching_sha2_password", "kivrel-plugins",
	"caching_sha2_password without the server's own key", {1, 0, 0}, "MIT", nullptr,
	nullptr, nullptr, nullptr, caching_sha2_login,
};
auth_method sha256_method = {
	kAuthenticationMethod, kMethodInterface, "sha256_password", "kivrel-plugins",
	"sha256_password without the server's own key", {1, 0, 0}, "MIT", nullptr,
	nullptr, nullptr, nullptr, sha256_login,
};

// One directory on the way to the socket, as found.
struct seen_dir {
	std::string path;
	uid_t uid;
	mode_t mode;
};

std::string parent_of(const std::string &dir) {
	size_t slash = dir.find_last_of('/');
	return slash == 0 || slash == std::string::npos ? "/" : dir.substr(0, slash);
}

// Resolve \a path name by name, following links, into the socket it names;
// every directory searched on the way goes to \a dirs.
bool walk_to_socket(const std::string &path, std::vector<seen_dir> *dirs, struct stat *sock,
                    std::string *why) {
	std::deque<std::string> todo;
	auto push_front_parts = [&todo](const std::string &p) {
		std::vector<std::string> parts;
		size_t start = 0;
		while (start <= p.size()) {
			size_t end = p.find('/', start);
			if (end == std::string::npos)
				end = p.size();
			if (end > start)
				parts.push_back(p.substr(start, end - start));
			start = end + 1;
		}
		todo.insert(todo.begin(), parts.begin(), parts.end());
	};
	std::string start = path;
	if (start.empty() || start[0] != '/') {
		char cwd[PATH_MAX];
		if (!getcwd(cwd, sizeof cwd)) {
			*why = strerror(errno);
			return false;
		}
		start = std::string(cwd) + "/" + start;
	}
	push_front_parts(start);
	std::string here = "/";
	auto note_dir = [&](const std::string &dir) {
		struct stat st;
		if (stat(dir.c_str(), &st) != 0) {
			*why = status_printf("%s: %s", dir.c_str(), strerror(errno));
			return false;
		}
		dirs->push_back({dir, st.st_uid, st.st_mode});
		return true;
	};
	if (!note_dir("/"))
		return false;
	int links = 0;
	while (!todo.empty()) {
		std::string name = todo.front();
		todo.pop_front();
		if (name == ".")
			continue;
		if (name == "..") {
			// Every folder above here was noted on the way down.
			here = parent_of(here);
			continue;
		}
		std::string next = here == "/" ? "/" + name : here + "/" + name;
		struct stat st;
		if (lstat(next.c_str(), &st) != 0) {
			*why = status_printf("%s: %s", next.c_str(), strerror(errno));
			return false;
		}
		if (S_ISLNK(st.st_mode)) {
			char target[PATH_MAX];
			ssize_t n = readlink(next.c_str(), target, sizeof target - 1);
			if (n < 0 || ++links > 40) {
				*why = status_printf("%s: %s", next.c_str(), strerror(n < 0 ? errno : ELOOP));
				return false;
			}
			target[n] = '\0';
			if (target[0] == '/')
				here = "/";
			push_front_parts(target);
			continue;
		}
		if (todo.empty()) {
			if (!S_ISSOCK(st.st_mode)) {
				*why = status_printf(_("%s is not a socket"), next.c_str());
				return false;
			}
			*sock = st;
			return true;
		}
		if (!S_ISDIR(st.st_mode)) {
			*why = status_printf("%s: %s", next.c_str(), strerror(ENOTDIR));
			return false;
		}
		if (!note_dir(next))
			return false;
		here = next;
	}
	*why = status_printf(_("%s is not a socket"), path.c_str());
	return false;
}

std::string user_name(uid_t uid) {
	struct passwd *pw = getpwuid(uid);
	return pw ? pw->pw_name : std::to_string(uid);
}

}  // namespace

int db_login_user_id(const char *name, uid_t *uid) {
	struct passwd *pw = getpwnam(name);
	if (pw) {
		*uid = pw->pw_uid;
		return TRUE;
	}
	size_t digits = strspn(name, "0123456789");
	if (digits == 0 || digits > 9 || name[digits] != '\0')
		return FALSE;
	*uid = static_cast<uid_t>(atol(name));
	return TRUE;
}

int db_socket_trusted(const char *path, uid_t peer_uid, const char *owner, char **reason) {
	std::vector<seen_dir> dirs;
	struct stat sock;
	std::string why;
	bool trusted = walk_to_socket(path, &dirs, &sock, &why);
	uid_t wanted = sock.st_uid;
	if (trusted && owner) {
		if (!db_login_user_id(owner, &wanted)) {
			why = status_printf(_("there is no user %s"), owner);
			trusted = false;
		} else if (sock.st_uid != wanted) {
			why = status_printf(_("it belongs to %s, not to %s"), user_name(sock.st_uid).c_str(), owner);
			trusted = false;
		}
	}
	if (trusted && !owner) {
		// Only root and the socket's owner may have placed anything on
		// the way to it.
		for (const seen_dir &d : dirs) {
			if ((d.uid != 0 && d.uid != sock.st_uid) || (d.mode & (S_IWGRP | S_IWOTH))) {
				why = sock.st_uid == 0
				          ? status_printf(_("others than root may write to the folder %s"), d.path.c_str())
				          : status_printf(_("others than root and %s may write to the folder %s"),
				                   user_name(sock.st_uid).c_str(), d.path.c_str());
				trusted = false;
				break;
			}
		}
	}
	if (trusted && peer_uid != 0 && peer_uid != wanted) {
		why = status_printf(_("the server listening at it runs as %s"), user_name(peer_uid).c_str());
		trusted = false;
	}
	if (!trusted)
		xasprintf(reason, "%s", why.c_str());
	return trusted ? TRUE : FALSE;
}

int db_login_pin_key(const char *path, char **error) {
	std::string why;
	EVP_PKEY *key = read_key(path, &why);
	if (!key) {
		xasprintf(error, _("Cannot read the --server-public-key file %s: %s"),
		          status_shown(path).c_str(), why.c_str());
		return FALSE;
	}
	EVP_PKEY_free(pinned_key);
	pinned_key = key;
	return TRUE;
}

int db_login_prepare(MYSQL *mysql, const db_login_policy *p, char **error) {
	static bool registered = false;
	if (!registered) {
		for (auth_method *m : {&caching_sha2_method, &sha256_method}) {
			if (!mysql_client_register_plugin(mysql, reinterpret_cast<st_mysql_client_plugin *>(m))) {
				xasprintf(error, _("Cannot register the login method %s: %s"), m->name,
				          mysql_error(mysql));
				return FALSE;
			}
		}
		registered = true;
	}
	policy = *p;
	refused = false;
	refusal.clear();
	// The library's first method otherwise answers the greeting at once,
	// with TLS or without; ours looks at the greeting first.
	if (policy.tls_required)
		mysql_options(mysql, MYSQL_DEFAULT_AUTH, "caching_sha2_password");
	return TRUE;
}

const char *db_login_refusal(void) {
	return refused ? refusal.c_str() : nullptr;
}
