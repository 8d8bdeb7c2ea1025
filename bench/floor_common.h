/* SPDX-License-Identifier: MIT */
/* floor_common: the connect of every bench/ floor, made as the database
 * checks make theirs: the client library started by mysql_init, the
 * [client] group of the option files read, the session in utf8mb4.
 *
 * Built with FLOOR_TLS_FREE, a floor first starts OpenSSL without reading
 * its configuration and without loading its error texts, as a check does
 * when no TLS is asked for; the client library then finds it started. */
#ifndef KIVREL_FLOOR_COMMON_H
#define KIVREL_FLOOR_COMMON_H

#include <mysql.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#ifdef FLOOR_TLS_FREE
#include <openssl/ssl.h>
#endif

/* Connect to HOST:PORT as USER with PASSWORD (db may be NULL); on a failure
 * print the client library's error and return 0. */
static inline int floor_connect(MYSQL *mysql, const char *host, const char *port, const char *user,
                                const char *password, const char *db) {
#ifdef FLOOR_TLS_FREE
	OPENSSL_init_ssl(OPENSSL_INIT_NO_LOAD_CONFIG | OPENSSL_INIT_NO_LOAD_SSL_STRINGS |
	                     OPENSSL_INIT_NO_LOAD_CRYPTO_STRINGS,
	                 NULL);
#endif
	mysql_init(mysql);
	mysql_options(mysql, MYSQL_READ_DEFAULT_GROUP, "client");
	if (!mysql_real_connect(mysql, host, user, password, db, (unsigned int)atoi(port), NULL, 0) ||
	    (strcmp(mysql_character_set_name(mysql), "utf8mb4") != 0 &&
	     mysql_set_character_set(mysql, "utf8mb4") != 0)) {
		puts(mysql_error(mysql));
		return 0;
	}
	return 1;
}

/* Run sql and read every row of its result; the rows' count, or -1 on an
 * error. The first field of the first row goes to first (size bytes), the
 * last field of the last row to last; either may be NULL. */
static inline long floor_rows(MYSQL *mysql, const char *sql, char *first, char *last, size_t size) {
	MYSQL_RES *res;
	if (mysql_query(mysql, sql) != 0 || !(res = mysql_store_result(mysql)))
		return -1;
	long rows = 0;
	unsigned int fields = mysql_num_fields(res);
	MYSQL_ROW row;
	while ((row = mysql_fetch_row(res)) != NULL) {
		if (first && rows == 0)
			snprintf(first, size, "%s", row[0] ? row[0] : "NULL");
		if (last)
			snprintf(last, size, "%s", row[fields - 1] ? row[fields - 1] : "NULL");
		rows++;
	}
	mysql_free_result(res);
	return rows;
}

#endif /* KIVREL_FLOOR_COMMON_H */
