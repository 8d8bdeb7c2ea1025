/* SPDX-License-Identifier: MIT */
/* db_connect: what the database checks share to reach a server: client
 * option files, TLS that is enforced and verified, a bound on the whole run,
 * the plugin state of a failed connect, the connection options and their
 * checks, and the status-line ending of every check. */
#ifndef KIVREL_DB_CONNECT_H
#define KIVREL_DB_CONNECT_H

#include <getopt.h>
#include <mysql.h>

#include "common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Seconds the run may take, and each connect, read and write within it,
 * unless -t gives another bound or, without -t, the -f option file sets
 * connect-timeout. A server that accepts and never answers, trickles its
 * greeting, or freezes mid-query then ends the check. */
#define DB_DEFAULT_TIMEOUT 10

/* Where and how to connect, as the command line gave it; absent texts are
 * null. Texts point into the argument vector, except the password, which is
 * a private copy. */
typedef struct db_settings {
	char *db_host;          /* host name, IP address, or an absolute socket path */
	char *db_user;
	char *db_pass;          /* null: the option files' password; "": none */
	char *db;
	unsigned int db_port;   /* 3306 unless given */
	int port_given;         /* FALSE: the option files may name the port */
	char *db_socket;        /* used when db_host names no socket of its own */
	char *opt_file;         /* client option file (-f), or null */
	char *opt_group;        /* option group (-g); null reads "client" */
	int ssl;                /* TRUE: TLS, with the five files below */
	char *key;
	char *cert;
	char *ca_cert;          /* a CA (or ca_dir): the server must chain to it */
	char *ca_dir;
	char *ciphers;
	int ssl_chain_only;     /* TRUE: a CA checks the chain, not the host name */
	char *server_public_key; /* the server's RSA key (PEM) for the full login
	                            exchange, or null */
	char *socket_owner;     /* the user a unix socket must belong to, or null */
	unsigned int timeout;   /* -t in seconds; 0 when not given */
} db_settings;

/// Take the messages from the environment's locale, and its character type
/// when the messages are translated (else when first needed, see
/// kr_ctype_from_locale), while numbers keep the C form with its dot; make
/// the text domain current; and merge the --extra-opts options into \a argv
/// (see kr_argmerge). Returns the vector to parse; \a argc is updated.
char **db_plugin_start(int *argc, char **argv, const char *name);

/// End the run: flush standard output and exit with \a state when the
/// status line reached it, else with STATE_UNKNOWN (a check that printed
/// half a line has not reported). Releases the plugin context (kr_cleanup)
/// first; the client library and OpenSSL are left without their exit-time
/// clean-up.
void db_plugin_finish(int state) __attribute__((noreturn));

/// The word a status line shows for \a state ("OK", "WARNING", "CRITICAL",
/// "UNKNOWN"), translated.
const char *db_state_word(int state);

/// Set the word that starts this program's status lines ("QUERY", "STATUS");
/// null, the initial value, for none. db_die and the run bound use it.
void db_set_status_prefix(const char *prefix);

/// As db_set_status_prefix, and every other line that ends the run starts
/// with "<prefix> <state word>: " too: usage errors, a malformed range, and
/// the library's fatal exits (state files, --extra-opts, memory). Call it
/// before db_plugin_start, which may already end the run.
void db_prefix_every_line(const char *prefix);

/// End the run: print "<prefix> <state word>: " when a prefix is set, then
/// the formatted message, and end as db_plugin_finish does.
void db_die(int state, const char *fmt, ...)
	__attribute__((noreturn, format(printf, 2, 3)));

/// Check the -f option file and the -g group, and the files that the TLS
/// options and the server's public key name, start the bound on the run,
/// start OpenSSL without the system's configuration and error texts when
/// neither the options nor an option file that the client library reads
/// name TLS or a server key (else the client library starts it with them),
/// initialise \a mysql in place, apply the option files, the timeouts, TLS
/// and the allowed login plugins, and connect; caching_sha2_password and
/// sha256_password log in through db_login. A host that is an absolute
/// path connects through that unix socket. An option file, TLS file or key
/// that cannot be used ends the run with STATE_UNKNOWN through db_die. Returns TRUE when
/// connected; FALSE when not, with mysql_errno and mysql_error of \a mysql
/// telling why.
int db_connect(MYSQL *mysql, const db_settings *settings);

/// The message of a failed connect: why db_login refused the login, or the
/// client's error text, with the reason added when a login plugin that
/// would send the password in cleartext was refused.
const char *db_connect_error(MYSQL *mysql);

/// The plugin state of a failed connect: STATE_WARNING when the check could
/// not try the server at all (unknown host, protocol mismatch, client out of
/// memory, no socket could be created), else STATE_CRITICAL.
int db_connect_failure_state(unsigned int err);

/* The short options of db_connection_option, for a program's option
 * string: host, port, socket, database, user, password, option file and
 * group, TLS, and the timeout. */
#define DB_CONNECTION_SHORTOPTS "H:P:s:d:u:p:f:g:la:k:C:D:L:t:"

/* The values of the long-only options --ssl-chain-only,
 * --server-public-key and --socket-owner. A program numbers its own
 * long-only options from 0x101 up to 0x17f, or from 0x200. */
#define DB_OPT_SSL_CHAIN_ONLY 0x100
#define DB_OPT_SERVER_PUBLIC_KEY 0x180
#define DB_OPT_SOCKET_OWNER 0x181

/* The long options of db_connection_option, for a program's option table;
 * each returns its short letter. */
#define DB_CONNECTION_LONGOPTS                          \
	{"hostname", required_argument, NULL, 'H'},     \
	{"socket", required_argument, NULL, 's'},       \
	{"database", required_argument, NULL, 'd'},     \
	{"username", required_argument, NULL, 'u'},     \
	{"password", required_argument, NULL, 'p'},     \
	{"file", required_argument, NULL, 'f'},         \
	{"group", required_argument, NULL, 'g'},        \
	{"port", required_argument, NULL, 'P'}

/* The TLS and login options of db_connection_option. */
#define DB_TLS_LONGOPTS                                             \
	{"ssl", no_argument, NULL, 'l'},                            \
	{"ca-cert", required_argument, NULL, 'C'},                  \
	{"key", required_argument, NULL, 'k'},                      \
	{"cert", required_argument, NULL, 'a'},                     \
	{"ca-dir", required_argument, NULL, 'D'},                   \
	{"ciphers", required_argument, NULL, 'L'},                  \
	{"ssl-chain-only", no_argument, NULL, DB_OPT_SSL_CHAIN_ONLY}, \
	{"server-public-key", required_argument, NULL, DB_OPT_SERVER_PUBLIC_KEY}, \
	{"socket-owner", required_argument, NULL, DB_OPT_SOCKET_OWNER}

/* The timeout option of db_connection_option. */
#define DB_TIMEOUT_LONGOPTS {"timeout", required_argument, NULL, 't'}

/* The long options every database check has. */
#define DB_STANDARD_LONGOPTS                            \
	{"verbose", no_argument, NULL, 'v'},            \
	{"version", no_argument, NULL, 'V'},            \
	{"help", no_argument, NULL, 'h'}

/// Settings with nothing given: every text absent, the port 3306.
db_settings db_settings_default(void);

/// Apply the connection option \a c (one of DB_CONNECTION_SHORTOPTS, or
/// DB_OPT_SSL_CHAIN_ONLY, DB_OPT_SERVER_PUBLIC_KEY, DB_OPT_SOCKET_OWNER)
/// with its argument \a arg to \a s. -p keeps a copy of the password and
/// masks the argument. A rejected -H, -P, -t or --socket-owner (no such
/// user) ends the process through usage2. Returns TRUE when \a c is one of these options,
/// else FALSE.
int db_connection_option(int c, char *arg, db_settings *s);

/// Read the options of \a argv with getopt_long and \a short_options and
/// \a longopts, in command-line order: the connection options go to
/// db_connection_option with \a s, -h calls \a help and -V prints the
/// revision banner of progname, each then exiting with STATE_OK; an unknown
/// or ambiguous option or a missing argument is explained on standard error
/// (a long option without the text after its '=', which may be a password)
/// and ends the process through usage5; every other result goes to \a apply
/// with its argument. Positional arguments start at optind after.
/// Returns ERROR when \a argc is less than 1 (nothing is read), else OK.
int db_parse_options(int argc, char **argv, const char *short_options,
                     const struct option *longopts, db_settings *s,
                     void (*apply)(int c, char *arg), void (*help)(void));

/// After db_parse_options: a word left over (a stray word, often a mistyped
/// option's value) ends the process through usage2 with "Unexpected
/// argument" and the word.
void db_no_positional(int argc, char **argv);

/// Give the user, host and database that are still absent an empty text.
void db_settings_complete(db_settings *s);

/// The port of a -P text: a whole number from 0 to 65535. Anything else ends
/// the process through usage2 with "Invalid port number" and the text.
unsigned int db_port_option(const char *text);

/// The seconds of a -t text: a whole number from 1 to 86400. Anything else
/// ends the process through usage2 with "Invalid timeout" and the text.
unsigned int db_timeout_option(const char *text);

/// Hide a password given on the command line from the process table by
/// overwriting it with 'X'; returns a private copy of it first.
char *db_take_password(char *arg);

/// A newly allocated empty text, for settings that must not stay absent.
char *db_empty_text(void);

#ifdef __cplusplus
}
#endif

#endif /* KIVREL_DB_CONNECT_H */
