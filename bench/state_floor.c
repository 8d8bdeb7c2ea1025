/* SPDX-License-Identifier: MIT */
/* The least the replica and cluster checks can do, as a floor to count
 * check_dbreplica's and check_dbcluster's instructions against: connect,
 * send the same statements, read every row, print one line, close.
 *
 *   state_floor replica HOST PORT USER PASSWORD
 *       SHOW ALL REPLICAS STATUS; prints the row count
 *   state_floor heartbeat HOST PORT USER PASSWORD DB.TABLE
 *       the same, and the heartbeat table's ages, as check_dbreplica
 *       --heartbeat=DB.TABLE --heartbeat-utc reads them
 *   state_floor cluster HOST PORT USER PASSWORD
 *       wsrep_on and the seven wsrep status variables; prints the last value
 *
 * It is linked as the checks are, with the client library built in. */
#include <mysql.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "state_queries.h"

/* Run sql and read its rows; the first field of the last row goes to *last. */
static long run(MYSQL *mysql, const char *sql, char *last, size_t size) {
	if (mysql_query(mysql, sql) != 0)
		return -1;
	MYSQL_RES *res = mysql_store_result(mysql);
	if (!res)
		return -1;
	long rows = 0;
	MYSQL_ROW row;
	unsigned int fields = mysql_num_fields(res);
	while ((row = mysql_fetch_row(res)) != NULL) {
		rows++;
		if (last && row[fields - 1])
			snprintf(last, size, "%s", row[fields - 1]);
	}
	mysql_free_result(res);
	return rows;
}

int main(int argc, char **argv) {
	int heartbeat = argc == 7 && strcmp(argv[1], "heartbeat") == 0;
	if ((argc != 6 && !heartbeat) ||
	    (strcmp(argv[1], "replica") != 0 && strcmp(argv[1], "cluster") != 0 && !heartbeat)) {
		fprintf(stderr, "usage: state_floor replica|cluster HOST PORT USER PASSWORD\n"
		                "       state_floor heartbeat HOST PORT USER PASSWORD DB.TABLE\n");
		return 3;
	}
	MYSQL mysql;
	mysql_init(&mysql);
	if (!mysql_real_connect(&mysql, argv[2], argv[4], argv[5], NULL,
	                        (unsigned int)atoi(argv[3]), NULL, 0)) {
		puts(mysql_error(&mysql));
		return 2;
	}
	char last[256] = "";
	long rows;
	if (strcmp(argv[1], "cluster") == 0) {
		rows = run(&mysql, CLUSTER_WSREP_ON, last, sizeof last);
		if (rows >= 0 && strcmp(last, "ON") == 0)
			rows = run(&mysql, CLUSTER_STATUS, last, sizeof last);
	} else {
		rows = run(&mysql, REPLICA_STATUS_MARIADB, NULL, 0);
		if (rows >= 0 && heartbeat) {
			char sql[512];
			const char *dot = strchr(argv[6], '.');
			snprintf(sql, sizeof sql,
			         HEARTBEAT_SELECT HEARTBEAT_CLOCK_UTC HEARTBEAT_FROM "`%.*s`.`%s`",
			         (int)(dot - argv[6]), argv[6], dot + 1);
			run(&mysql, sql, last, sizeof last);
		}
	}
	printf("%ld %s\n", rows, last);
	mysql_close(&mysql);
	return rows < 0 ? 2 : 0;
}
