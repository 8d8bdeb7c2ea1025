/* SPDX-License-Identifier: MIT */
/* The least a status check can do, as a floor to count and time
 * check_dbstatus -m connections -m buffer-pool-hit -m long-query against:
 * connect, run the same three queries, print what they return, close.
 * Linked as the check is, with the client library built in.
 *
 * Usage: status_floor HOST PORT USER PASSWORD
 *        status_floor --queries   (print the queries, for the stock client) */
#include <mysql.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "status_queries.h"

static const char *const queries[] = {
	"SHOW GLOBAL STATUS WHERE Variable_name IN ('innodb_buffer_pool_read_requests',"
	"'innodb_buffer_pool_reads','threads_connected','uptime')",
	"SHOW GLOBAL VARIABLES WHERE Variable_name IN ('max_connections')",
	STATUS_LONGEST_QUERY_SQL,
};

int main(int argc, char **argv) {
	if (argc == 2 && strcmp(argv[1], "--queries") == 0) {
		for (size_t i = 0; i < sizeof queries / sizeof queries[0]; i++)
			printf("%s%s", i ? "; " : "", queries[i]);
		printf("\n");
		return 0;
	}
	if (argc != 5) {
		fprintf(stderr, "usage: status_floor HOST PORT USER PASSWORD | --queries\n");
		return 3;
	}
	MYSQL mysql;
	mysql_init(&mysql);
	if (!mysql_real_connect(&mysql, argv[1], argv[3], argv[4], NULL,
	                        (unsigned int)atoi(argv[2]), NULL, 0)) {
		puts(mysql_error(&mysql));
		return 2;
	}
	for (size_t i = 0; i < sizeof queries / sizeof queries[0]; i++) {
		MYSQL_RES *res;
		if (mysql_query(&mysql, queries[i]) != 0 || !(res = mysql_store_result(&mysql))) {
			puts(mysql_error(&mysql));
			mysql_close(&mysql);
			return 2;
		}
		MYSQL_ROW row;
		while ((row = mysql_fetch_row(res)) != NULL)
			printf("%s %s\n", row[0] ? row[0] : "NULL", row[1] ? row[1] : "NULL");
		mysql_free_result(res);
	}
	mysql_close(&mysql);
	return 0;
}
