/* SPDX-License-Identifier: MIT */
/* db_option_file: what the database checks need to know of a client option
 * file given with -f before they connect: that it can be read, that it has
 * the -g group, and the settings that the client library would miss or that
 * bound the run.
 *
 * Syntax, as the client library reads it: "[group]" headers; "key",
 * "key=value" or "key = value" entries, values optionally quoted; "#" and
 * ";" comment lines; "!include FILE" and "!includedir DIR" (of DIR, only the
 * file my.cnf, when it can be read). Dashes and underscores in keys
 * are the same; a "loose-" prefix is ignored; "skip-" and "disable-" turn a
 * switch off, "enable-" on.
 *
 * The entries read are those of the groups that the client library reads
 * for the option group: "client", "client-server", "client-mariadb" and the
 * option group itself; a later entry overrides an earlier one.
 *
 * Without -f the client library reads, each when it can: /etc/my.cnf,
 * /etc/mysql/my.cnf, my.cnf in the folder $MARIADB_HOME names (or, when that
 * is not set, $MYSQL_HOME), and $HOME/.my.cnf. */
#ifndef KIVREL_DB_OPTION_FILE_H
#define KIVREL_DB_OPTION_FILE_H

#ifdef __cplusplus
extern "C" {
#endif

/* Files larger than this, and include chains deeper than this, are refused. */
#define DB_OPTION_FILE_MAX_SIZE (1024 * 1024)
#define DB_OPTION_FILE_MAX_DEPTH 10

/* What db_read_option_file found. */
typedef struct db_option_file_info {
	int group_found;         /* TRUE: a header names the option group or,
	                            without one, a group read for "client" */
	long connect_timeout;    /* connect-timeout in seconds; -1 when not set */
	int verify_server_cert;  /* ssl-verify-server-cert: 1 on, 0 off, -1 not set */
	char *server_public_key; /* server-public-key: a new text naming the
	                            server's key file, or null when not set */
	int names_tls;           /* TRUE: an entry names TLS (a key that begins
	                            with "ssl" or "tls"), even to turn it off */
	int charset_auto;        /* TRUE: default-character-set = auto, which the
	                            client library takes from the locale */
} db_option_file_info;

/// Read the option file \a path and the files it includes for the option
/// group \a group (null: "client"). Only regular files are read, without
/// blocking on a FIFO or a device. Returns TRUE and fills \a info; returns
/// FALSE when a file is missing, unreadable, not a regular file or too large,
/// or includes too deeply, and stores a new text naming the file and the
/// reason through \a error, safe for a status line (see status_shown).
/// Never ends the process.
int db_read_option_file(const char *path, const char *group, db_option_file_info *info,
                        char **error);

/// What the option files that the client library reads without -f hold for
/// the option group \a group (null: "client"), into \a info: names_tls and
/// charset_auto are TRUE when one of them says so or exists and cannot be
/// read whole, FALSE when none does; the other fields are left alone. Never
/// ends the process.
void db_default_option_files_read(const char *group, db_option_file_info *info);

#ifdef __cplusplus
}
#endif

#endif /* KIVREL_DB_OPTION_FILE_H */
