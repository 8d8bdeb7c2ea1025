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
 * It is linked as the checks are (bench/CMakeLists.txt). */
#include "floor_common.h"
#include "state_queries.h"

int main(int argc, char **argv) {
	int heartbeat = argc == 7 && strcmp(argv[1], "heartbeat") == 0;
	if ((argc != 6 && !heartbeat) ||
	    (strcmp(argv[1], "replica") != 0 && strcmp(argv[1], "cluster") != 0 && !heartbeat)) {
		fprintf(stderr, "usage: state_floor replica|cluster HOST PORT USER PASSWORD\n"
		                "       state_floor heartbeat HOST PORT USER PASSWORD DB.TABLE\n");
		return 3;
	}
	MYSQL mysql;
	if (!floor_connect(&mysql, argv[2], argv[3], argv[4], argv[5], NULL))
		return 2;
	char last[256] = "";
	long rows;
	if (strcmp(argv[1], "cluster") == 0) {
		rows = floor_rows(&mysql, CLUSTER_WSREP_ON, NULL, last, sizeof last);
		if (rows >= 0 && strcmp(last, "ON") == 0)
			rows = floor_rows(&mysql, CLUSTER_STATUS, NULL, last, sizeof last);
	} else {
		rows = floor_rows(&mysql, REPLICA_STATUS_MARIADB, NULL, NULL, 0);
		if (rows >= 0 && heartbeat) {
			char sql[512];
			const char *dot = strchr(argv[6], '.');
			snprintf(sql, sizeof sql,
			         HEARTBEAT_SELECT HEARTBEAT_CLOCK_UTC HEARTBEAT_FROM "`%.*s`.`%s`",
			         (int)(dot - argv[6]), argv[6], dot + 1);
			floor_rows(&mysql, sql, NULL, last, sizeof last);
		}
	}
	printf("%ld %s\n", rows, last);
	mysql_close(&mysql);
	return rows < 0 ? 2 : 0;
}
