/* SPDX-License-Identifier: MIT */
/* The least a status check can do, as the floor of check_dbstatus: connect,
 * run the statements given (by default those of check_dbstatus
 * -m connections -m buffer-pool-hit -m long-query), print what they return
 * on one line, close.
 *
 * A STATEMENT @longest-query, @oldest-transaction or @lock-waits stands for
 * the query of that probe of check_dbstatus.
 *
 * Usage: status_floor HOST PORT USER PASSWORD [STATEMENT...]
 *        status_floor --queries   (print the default statements, for the stock client) */
#include "floor_common.h"
#include "status_queries.h"

static const char *const queries[] = {
	"SHOW GLOBAL STATUS WHERE Variable_name IN ('innodb_buffer_pool_read_requests',"
	"'innodb_buffer_pool_reads','threads_connected','uptime')",
	"SHOW GLOBAL VARIABLES WHERE Variable_name IN ('max_connections')",
	STATUS_LONGEST_QUERY_SQL,
};

static const char *const probes[][2] = {
	{"@longest-query", STATUS_LONGEST_QUERY_SQL},
	{"@oldest-transaction", STATUS_OLDEST_TRANSACTION_SQL},
	{"@lock-waits", STATUS_LOCK_WAITS_SQL},
};

/* The statement text, or that of the probe it names. */
static const char *statement(const char *text) {
	for (size_t i = 0; i < sizeof probes / sizeof probes[0]; i++)
		if (strcmp(text, probes[i][0]) == 0)
			return probes[i][1];
	return text;
}

int main(int argc, char **argv) {
	size_t count = sizeof queries / sizeof queries[0];
	if (argc == 2 && strcmp(argv[1], "--queries") == 0) {
		for (size_t i = 0; i < count; i++)
			printf("%s%s", i ? "; " : "", queries[i]);
		printf("\n");
		return 0;
	}
	if (argc < 5) {
		fprintf(stderr, "usage: status_floor HOST PORT USER PASSWORD [STATEMENT...] | --queries\n");
		return 3;
	}
	const char *const *sql = queries;
	if (argc > 5) {
		sql = (const char *const *)argv + 5;
		count = (size_t)argc - 5;
	}
	MYSQL mysql;
	if (!floor_connect(&mysql, argv[1], argv[2], argv[3], argv[4], NULL))
		return 2;
	for (size_t i = 0; i < count; i++) {
		MYSQL_RES *res;
		if (mysql_query(&mysql, statement(sql[i])) != 0 || !(res = mysql_store_result(&mysql))) {
			puts(mysql_error(&mysql));
			mysql_close(&mysql);
			return 2;
		}
		MYSQL_ROW row;
		unsigned int fields = mysql_num_fields(res);
		while ((row = mysql_fetch_row(res)) != NULL)
			printf("%s=%s ", row[0] ? row[0] : "NULL",
			       fields > 1 && row[1] ? row[1] : "NULL");
		mysql_free_result(res);
	}
	printf("\n");
	mysql_close(&mysql);
	return 0;
}
