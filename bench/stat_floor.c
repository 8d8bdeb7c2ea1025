/* SPDX-License-Identifier: MIT */
/* The least a health check can do, as a floor to time check_dbhealth
 * against: connect, fetch the server's statistics text, print it, close.
 * With --status it also reads the whole result of "show global status",
 * which tells how much of a health check's time that query takes.
 *
 * Usage: stat_floor [--status] HOST PORT USER PASSWORD */
#include <mysql.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv) {
	int status = argc > 1 && strcmp(argv[1], "--status") == 0;
	argv += status;
	argc -= status;
	if (argc != 5) {
		fprintf(stderr, "usage: stat_floor [--status] HOST PORT USER PASSWORD\n");
		return 3;
	}
	MYSQL mysql;
	mysql_init(&mysql);
	if (!mysql_real_connect(&mysql, argv[1], argv[3], argv[4], NULL,
	                        (unsigned int)atoi(argv[2]), NULL, 0)) {
		puts(mysql_error(&mysql));
		return 2;
	}
	const char *stat = mysql_stat(&mysql);
	puts(stat ? stat : mysql_error(&mysql));
	if (status && mysql_query(&mysql, "show global status") == 0)
		mysql_free_result(mysql_store_result(&mysql));
	mysql_close(&mysql);
	return stat ? 0 : 2;
}
