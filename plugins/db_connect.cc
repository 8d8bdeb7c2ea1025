// db_connect: connecting the database checks to their server.
#include "db_connect.h"

#include <errmsg.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "argmerge.h"
#include "build_config.h"
#include "kitcore.h"
#include "plugin_routines.h"

char **db_plugin_start(int *argc, char **argv, const char *name) {
	setlocale(LC_ALL, "");
	// Numbers from the server, in the status line and in performance data
	// always use the dot, whatever the operator's locale.
	setlocale(LC_NUMERIC, "C");
	bindtextdomain(PACKAGE, LOCALEDIR);
	textdomain(PACKAGE);
	return kr_argmerge(argc, argv, name);
}

int db_plugin_finish(int state) {
	return fflush(stdout) == 0 && !ferror(stdout) ? state : STATE_UNKNOWN;
}

int db_connect(MYSQL *mysql, const db_settings *s) {
	mysql_init(mysql);
	// The option file is read at connect time and so overrides this.
	unsigned int timeout = DB_CONNECT_TIMEOUT;
	mysql_options(mysql, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
	if (s->opt_file)
		mysql_options(mysql, MYSQL_READ_DEFAULT_FILE, s->opt_file);
	mysql_options(mysql, MYSQL_READ_DEFAULT_GROUP, s->opt_group ? s->opt_group : "client");
	if (s->ssl)
		mysql_ssl_set(mysql, s->key, s->cert, s->ca_cert, s->ca_dir, s->ciphers);

	const char *host = s->db_host;
	const char *socket = s->db_socket;
	// The client library would take a path for a host name to resolve.
	if (host && host[0] == '/') {
		socket = host;
		host = "localhost";
	}
	return mysql_real_connect(mysql, host, s->db_user, s->db_pass, s->db, s->db_port, socket, 0)
	           ? TRUE
	           : FALSE;
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
	default:
		return FALSE;
	}
}

int db_parse_options(int argc, char **argv, const char *short_options,
                     const struct option *longopts, db_settings *s,
                     void (*apply)(int c, char *arg), void (*help)(void)) {
	if (argc < 1)
		return ERROR;
	int c;
	int option = 0;
	while ((c = getopt_long(argc, argv, short_options, longopts, &option)) != -1) {
		if (c == '?')  // the parser has explained on standard error
			usage5();
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

void db_settings_complete(db_settings *s) {
	if (!s->db_user)
		s->db_user = db_empty_text();
	if (!s->db_host)
		s->db_host = db_empty_text();
	if (!s->db)
		s->db = db_empty_text();
}

unsigned int db_port_option(const char *text) {
	// A typo must not quietly check another port than the one asked for.
	size_t digits = strspn(text, "0123456789");
	if (digits == 0 || digits > 5 || text[digits] != '\0' || atol(text) > 65535)
		usage2(_("Invalid port number"), text);
	return static_cast<unsigned int>(atol(text));
}

char *db_error_copy(MYSQL *mysql) {
	char *error = nullptr;
	xasprintf(&error, "%s", mysql_error(mysql));
	return error;
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
