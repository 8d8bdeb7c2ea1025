// SPDX-License-Identifier: MIT
// db_connect: connecting the database checks to their server.
#include "db_connect.h"

#include <dirent.h>
#include <errmsg.h>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "argmerge.h"
#include "build_config.h"
#include "db_login.h"
#include "db_option_file.h"
#include "kitcore.h"
#include "plugin_routines.h"
#include "status_text.h"

namespace {

// The locale the environment names for the category of the variable
// \a variable: LC_ALL, else that variable, else LANG; "" for none.
const char *environment_locale(const char *variable) {
	for (const char *name : {"LC_ALL", variable, "LANG"})
		if (const char *value = getenv(name); value && *value)
			return value;
	return "";
}

// The C locale by any of its names, which has no translations.
bool is_c_locale(const char *name) {
	return !*name || strcmp(name, "C") == 0 || strcmp(name, "POSIX") == 0 || strncmp(name, "C.", 2) == 0;
}

}  // namespace

char **db_plugin_start(int *argc, char **argv, const char *name) {
	// Only the messages and their characters follow the operator's locale:
	// numbers from the server, in the status line and in performance data
	// keep the C form, with its dot. A C locale translates nothing (unless
	// LANGUAGE names languages), so it need not be loaded; the character
	// type is loaded only when something depends on it: translated messages
	// now, a regular expression or a character set of "auto" later.
	const char *language = getenv("LANGUAGE");
	if (!is_c_locale(environment_locale("LC_MESSAGES")) || (language && *language))
		setlocale(LC_MESSAGES, "");
	bindtextdomain(PACKAGE, LOCALEDIR);
	textdomain(PACKAGE);
	kr_note_catalog();
	if (!kr_untranslated)
		kr_ctype_from_locale();
	return kr_argmerge(argc, argv, name);
}

void db_plugin_finish(int state) {
	// The run is over; a late alarm must not add a second line.
	alarm(0);
	int code = fflush(stdout) == 0 && !ferror(stdout) ? state : STATE_UNKNOWN;
	kr_cleanup();
	// Nothing is left to write and the kernel closes any connection: the
	// exit-time clean-up of the client library and of OpenSSL would only
	// release memory.
	_exit(code);
}

const char *db_state_word(int state) {
	switch (state) {
	case STATE_OK:
		return _("OK");
	case STATE_WARNING:
		return _("WARNING");
	case STATE_CRITICAL:
		return _("CRITICAL");
	default:
		return _("UNKNOWN");
	}
}

namespace {

const char *status_prefix = nullptr;

// The line that the run bound prints, formatted before it is armed: the
// signal handler may only write it.
char timeout_line[512];
size_t timeout_line_length = 0;

void on_timeout(int) {
	ssize_t ignored = write(STDOUT_FILENO, timeout_line, timeout_line_length);
	(void)ignored;
	_exit(STATE_CRITICAL);
}

// "<prefix> <state word>: " when the program has a prefix, else "".
std::string line_start(int state) {
	if (!status_prefix)
		return "";
	return std::string(status_prefix) + " " + db_state_word(state) + ": ";
}

// End the run when it has taken \a seconds, whatever it is waiting for.
void arm_run_bound(unsigned int seconds) {
	char *message = nullptr;
	xasprintf(&message, _("Timeout after %u seconds"), seconds);
	std::string line = line_start(STATE_CRITICAL) + message + "\n";
	free(message);
	timeout_line_length = std::min(line.size(), sizeof timeout_line);
	memcpy(timeout_line, line.data(), timeout_line_length);
	struct sigaction sa = {};
	sa.sa_handler = on_timeout;
	sigemptyset(&sa.sa_mask);
	sigaction(SIGALRM, &sa, nullptr);
	alarm(seconds);
}

// The login plugins that never send the password as it stands; the others
// (cleartext, dialog) are allowed only towards a verified server.
const char safe_login_plugins[] =
	"mysql_native_password,mysql_old_password,client_ed25519,caching_sha2_password,"
	"sha256_password,auth_gssapi_client";

bool uses_tls(const db_settings *s) {
	return s->ssl || s->key || s->cert || s->ca_cert || s->ca_dir || s->ciphers;
}

// Whether the run may use OpenSSL for more than the digests of a login: TLS
// asked for on the command line or in an option file that the client
// library reads, a pinned server key, or a client library that tries TLS
// unasked (Connector/C 3.4 and later).
bool may_use_tls(const db_settings *s, const db_option_file_info &file) {
	return uses_tls(s) || s->ssl_chain_only || s->server_public_key || file.names_tls ||
	       file.server_public_key || mysql_get_client_version() >= 30400;
}

// Start OpenSSL before the client library does. A run that may use TLS
// leaves that to the library, which reads the system's OpenSSL
// configuration, so that its crypto policy holds for every TLS connection.
// Any other run needs neither the configuration nor the error texts, whose
// reading would be the larger part of its cost; once started without them,
// OpenSSL does not read them when the library starts it again. libssl's own
// error texts are read only on request, which the library does not make,
// so libcrypto, linked anyway, does it: linking libssl too would cost its
// binding at every start.
void start_openssl(bool tls) {
	if (!tls)
		OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG | OPENSSL_INIT_NO_LOAD_CRYPTO_STRINGS,
		                    nullptr);
}

// Read the -f file before the client library does: it would skip a file it
// cannot read, and wait forever on a FIFO.
db_option_file_info check_option_file(const db_settings *s) {
	db_option_file_info info = {FALSE, -1, -1, nullptr, FALSE, FALSE};
	// With -f the client library reads that file alone; without it, those
	// it reads by itself may still ask for TLS or a character set of "auto".
	if (!s->opt_file) {
		db_default_option_files_read(s->opt_group, &info);
		return info;
	}
	char *error = nullptr;
	if (!db_read_option_file(s->opt_file, s->opt_group, &info, &error))
		db_die(STATE_UNKNOWN, "%s\n", error);
	// A file that gives the check nothing would leave it to log in as the
	// system user without a password.
	if (!info.group_found)
		db_die(STATE_UNKNOWN, _("The option file %s has no group [%s]\n"),
		       status_shown_text(s->opt_file), status_shown_text(s->opt_group ? s->opt_group : "client"));
	return info;
}

// A TLS file that is missing or cannot be read would only be noticed by the
// client library, if at all, after it has connected.
void check_tls_file(const char *option, const char *path) {
	if (!path)
		return;
	int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
	struct stat st;
	const char *why = nullptr;
	if (fd < 0 || fstat(fd, &st) != 0)
		why = strerror(errno);
	else if (S_ISDIR(st.st_mode))
		why = strerror(EISDIR);
	else if (!S_ISREG(st.st_mode))
		why = _("not a regular file");
	if (fd >= 0)
		close(fd);
	if (why)
		db_die(STATE_UNKNOWN, _("Cannot read the %s file %s: %s\n"), option, status_shown_text(path), why);
}

void check_tls_folder(const char *option, const char *path) {
	if (!path)
		return;
	DIR *d = opendir(path);
	if (!d) {
		const char *why = strerror(errno);
		db_die(STATE_UNKNOWN, _("Cannot read the %s folder %s: %s\n"), option,
		       status_shown_text(path), why);
	}
	closedir(d);
}

// Every file that the options name, before anything connects.
void check_login_files(const db_settings *s, const db_option_file_info &file) {
	check_tls_file("--ca-cert", s->ca_cert);
	check_tls_file("--key", s->key);
	check_tls_file("--cert", s->cert);
	check_tls_folder("--ca-dir", s->ca_dir);
	const char *key = s->server_public_key ? s->server_public_key : file.server_public_key;
	char *error = nullptr;
	if (key && !db_login_pin_key(key, &error))
		db_die(STATE_UNKNOWN, "%s\n", error);
}

}  // namespace

void db_set_status_prefix(const char *prefix) {
	status_prefix = prefix;
}

void db_prefix_every_line(const char *prefix) {
	status_prefix = prefix;
	kr_set_line_start([](int state) {
		static std::string start;
		start = line_start(state);
		return start.c_str();
	});
}

void db_die(int state, const char *fmt, ...) {
	alarm(0);
	fputs(line_start(state).c_str(), stdout);
	va_list ap;
	va_start(ap, fmt);
	vprintf(fmt, ap);
	va_end(ap);
	db_plugin_finish(state);
}

int db_connect(MYSQL *mysql, const db_settings *s) {
	db_option_file_info file = check_option_file(s);
	start_openssl(may_use_tls(s, file));
	// "auto" is the locale's character set.
	if (file.charset_auto)
		kr_ctype_from_locale();
	check_login_files(s, file);
	unsigned int bound = s->timeout;
	if (bound == 0) {
		bound = DB_DEFAULT_TIMEOUT;
		// The option file's connect timeout still holds without -t.
		if (file.connect_timeout > static_cast<long>(bound))
			bound = static_cast<unsigned int>(std::min(file.connect_timeout, 86400L));
	}
	arm_run_bound(bound);

	mysql_init(mysql);
	// One second more than the run bound, so that the bound speaks first;
	// an option file's connect-timeout, read at connect time, overrides the
	// connect limit.
	unsigned int limit = bound + 1;
	mysql_options(mysql, MYSQL_OPT_CONNECT_TIMEOUT, &limit);
	mysql_options(mysql, MYSQL_OPT_READ_TIMEOUT, &limit);
	mysql_options(mysql, MYSQL_OPT_WRITE_TIMEOUT, &limit);
	if (s->opt_file)
		mysql_options(mysql, MYSQL_READ_DEFAULT_FILE, s->opt_file);
	mysql_options(mysql, MYSQL_READ_DEFAULT_GROUP, s->opt_group ? s->opt_group : "client");

	// A CA means a verified server: one that chains to it and, unless
	// --ssl-chain-only says otherwise, names the host connected to. The
	// client library then refuses a server without TLS before it logs in.
	bool verify_host = !s->ssl_chain_only &&
	                   (file.verify_server_cert == 1 || s->ca_cert || s->ca_dir);
	bool tls = uses_tls(s) || verify_host;
	if (uses_tls(s))
		mysql_ssl_set(mysql, s->key, s->cert, s->ca_cert, s->ca_dir, s->ciphers);
	if (tls) {
		my_bool on = 1;
		mysql_options(mysql, MYSQL_OPT_SSL_ENFORCE, &on);
		if (verify_host)
			mysql_options(mysql, MYSQL_OPT_SSL_VERIFY_SERVER_CERT, &on);
	}
	// Anywhere else the password may meet a server that is not the one
	// meant, or travel without TLS: only logins that never send it as it
	// stands are allowed.
	if (!verify_host)
		mysql_optionsv(mysql, MARIADB_OPT_RESTRICTED_AUTH, safe_login_plugins);
	// caching_sha2_password and sha256_password are ours: they send the
	// password itself only where the peer has proven itself.
	db_login_policy policy = {tls, verify_host, s->socket_owner};
	char *error = nullptr;
	if (!db_login_prepare(mysql, &policy, &error))
		db_die(STATE_UNKNOWN, "%s\n", error);

	const char *host = s->db_host;
	const char *socket = s->db_socket;
	// The client library would take a path for a host name to resolve.
	if (host && host[0] == '/') {
		socket = host;
		host = "localhost";
	}
	// Without -P the option files may name the port; the library's own
	// default is 3306.
	unsigned int port = s->port_given ? s->db_port : 0;
	if (!mysql_real_connect(mysql, host, s->db_user, s->db_pass, s->db, port, socket, 0))
		return FALSE;
	// Our login methods refuse a server without TLS before the login; a
	// method that an option file named first may not have.
	if (tls && !mysql_get_ssl_cipher(mysql)) {
		mysql_close(mysql);
		db_die(STATE_CRITICAL, "%s\n", _("TLS/SSL error: SSL is required, but the server does not support it"));
	}
	// The session speaks utf8mb4, whatever an option file says: its
	// default-character-set is read at connect time and wins over anything
	// set before, and the quoting of names into SQL holds only there.
	if (strcmp(mysql_character_set_name(mysql), "utf8mb4") != 0 &&
	    mysql_set_character_set(mysql, "utf8mb4") != 0)
		return FALSE;
	return TRUE;
}

const char *db_connect_error(MYSQL *mysql) {
	if (db_login_refusal())
		return db_login_refusal();
	if (mysql_errno(mysql) != CR_PLUGIN_NOT_ALLOWED)
		return mysql_error(mysql);
	char *text = nullptr;
	xasprintf(&text, "%s (%s)", mysql_error(mysql),
	          _("refused: this login would send the password in cleartext; it is allowed "
	            "only over TLS to a server verified with -C or -D"));
	return text;
}

int db_connect_failure_state(unsigned int err) {
	switch (err) {
	case CR_UNKNOWN_HOST:
	case CR_VERSION_ERROR:
	case CR_OUT_OF_MEMORY:
	case CR_IPSOCK_ERROR:
	case CR_SOCKET_CREATE_ERROR:
		return STATE_WARNING;
	default:
		return STATE_CRITICAL;
	}
}

db_settings db_settings_default(void) {
	db_settings s = {};
	s.db_port = MYSQL_PORT;
	return s;
}

int db_connection_option(int c, char *arg, db_settings *s) {
	switch (c) {
	case 'H':
		if (!is_host(arg))
			usage2(_("Invalid hostname/address"), arg);
		s->db_host = arg;
		return TRUE;
	case 'P':
		s->db_port = db_port_option(arg);
		s->port_given = TRUE;
		return TRUE;
	case 's':
		s->db_socket = arg;
		return TRUE;
	case 'd':
		s->db = arg;
		return TRUE;
	case 'u':
		s->db_user = arg;
		return TRUE;
	case 'p':
		s->db_pass = db_take_password(arg);
		return TRUE;
	case 'f':
		s->opt_file = arg;
		return TRUE;
	case 'g':
		s->opt_group = arg;
		return TRUE;
	case 't':
		s->timeout = db_timeout_option(arg);
		return TRUE;
	case 'l':
		s->ssl = TRUE;
		return TRUE;
	case 'C':
		s->ca_cert = arg;
		return TRUE;
	case 'k':
		s->key = arg;
		return TRUE;
	case 'a':
		s->cert = arg;
		return TRUE;
	case 'D':
		s->ca_dir = arg;
		return TRUE;
	case 'L':
		s->ciphers = arg;
		return TRUE;
	case DB_OPT_SSL_CHAIN_ONLY:
		s->ssl_chain_only = TRUE;
		return TRUE;
	case DB_OPT_SERVER_PUBLIC_KEY:
		s->server_public_key = arg;
		return TRUE;
	case DB_OPT_SOCKET_OWNER: {
		uid_t uid;
		if (!db_login_user_id(arg, &uid))
			usage2(_("Unknown user"), arg);
		s->socket_owner = arg;
		return TRUE;
	}
	default:
		return FALSE;
	}
}

namespace {

// The name of a long option word, without "--" and without what follows its
// '=': that may be a password given to a mistyped option.
std::string long_option_name(const char *word) {
	std::string name = word + 2;
	return name.substr(0, name.find('='));
}

// Explain a rejected option on standard error, as the option parser would,
// but never with the value of a long option.
void explain_rejected(int c, const char *program, const char *word, const struct option *longopts) {
	// The word before optind is the rejected long option, unless a short
	// option inside a later word was rejected (the parser then names it in
	// optopt, and no long option of that prefix returns it).
	std::string name;
	int matches = 0;
	const struct option *found = nullptr;
	bool is_long = word && strncmp(word, "--", 2) == 0 && word[2] != '\0';
	if (is_long) {
		name = long_option_name(word);
		for (const struct option *o = longopts; o->name; o++) {
			if (name == o->name) {
				matches = 1;
				found = o;
				break;
			}
			if (strncmp(o->name, name.c_str(), name.size()) == 0) {
				matches++;
				found = o;
			}
		}
		is_long = optopt == 0 || (matches == 1 && found->val == optopt);
	}
	if (is_long) {
		if (matches == 0)
			fprintf(stderr, _("%s: unrecognized option '--%s'\n"), program, name.c_str());
		else if (matches > 1) {
			fprintf(stderr, _("%s: option '--%s' is ambiguous; possibilities:"), program,
			        name.c_str());
			for (const struct option *o = longopts; o->name; o++)
				if (strncmp(o->name, name.c_str(), name.size()) == 0)
					fprintf(stderr, " '--%s'", o->name);
			fputc('\n', stderr);
		}
		else if (c == ':')
			fprintf(stderr, _("%s: option '--%s' requires an argument\n"), program, found->name);
		else
			fprintf(stderr, _("%s: option '--%s' doesn't allow an argument\n"), program,
			        found->name);
		return;
	}
	if (c == ':')
		fprintf(stderr, _("%s: option requires an argument -- '%c'\n"), program, optopt);
	else
		fprintf(stderr, _("%s: invalid option -- '%c'\n"), program, optopt);
}

}  // namespace

int db_parse_options(int argc, char **argv, const char *short_options,
                     const struct option *longopts, db_settings *s,
                     void (*apply)(int c, char *arg), void (*help)(void)) {
	if (argc < 1)
		return ERROR;
	// The parser's own messages would echo a mistyped --passwd=SECRET whole.
	std::string options = std::string(":") + short_options;
	opterr = 0;
	int c;
	int option = 0;
	while ((c = getopt_long(argc, argv, options.c_str(), longopts, &option)) != -1) {
		if (c == '?' || c == ':') {
			const char *word = optind > 0 && optind <= argc ? argv[optind - 1] : nullptr;
			explain_rejected(c, argv[0], word, longopts);
			usage5();
		}
		if (c == 'h' || c == 'V') {
			if (c == 'h')
				help();
			else
				print_revision(progname, NP_VERSION);
			exit(STATE_OK);
		}
		if (!db_connection_option(c, optarg, s))
			apply(c, optarg);
	}
	return OK;
}

void db_no_positional(int argc, char **argv) {
	if (optind < argc)
		usage2(_("Unexpected argument"), argv[optind]);
}

void db_settings_complete(db_settings *s) {
	if (!s->db_user)
		s->db_user = db_empty_text();
	if (!s->db_host)
		s->db_host = db_empty_text();
	if (!s->db)
		s->db = db_empty_text();
}

unsigned int db_timeout_option(const char *text) {
	size_t digits = strspn(text, "0123456789");
	if (digits == 0 || digits > 5 || text[digits] != '\0' || atol(text) < 1 || atol(text) > 86400)
		usage2(_("Invalid timeout"), text);
	return static_cast<unsigned int>(atol(text));
}

unsigned int db_port_option(const char *text) {
	// A typo must not quietly check another port than the one asked for.
	size_t digits = strspn(text, "0123456789");
	if (digits == 0 || digits > 5 || text[digits] != '\0' || atol(text) > 65535)
		usage2(_("Invalid port number"), text);
	return static_cast<unsigned int>(atol(text));
}

char *db_take_password(char *arg) {
	char *copy = nullptr;
	xasprintf(&copy, "%s", arg);
	memset(arg, 'X', strlen(arg));
	return copy;
}

char *db_empty_text(void) {
	char *text = static_cast<char *>(calloc(1, 1));
	if (!text)
		die(STATE_UNKNOWN, "%s %s\n", _("Cannot allocate memory:"), strerror(errno));
	return text;
}
