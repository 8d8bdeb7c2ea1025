/* SPDX-License-Identifier: MIT */
/* The least a health check can do, as the floor of check_dbhealth: connect,
 * fetch the server's statistics text, read the whole result of
 * "show global status", print one line, close. --replica also reads the
 * replica status, as check_dbhealth -S does; --stat-only leaves the status
 * statement out, which tells how much of a health check's time the server
 * spends on it.
 *
 * Usage: stat_floor [--stat-only | --replica] HOST PORT USER PASSWORD */
#include "floor_common.h"

int main(int argc, char **argv) {
	int stat_only = argc > 1 && strcmp(argv[1], "--stat-only") == 0;
	int replica = argc > 1 && strcmp(argv[1], "--replica") == 0;
	argv += stat_only || replica;
	argc -= stat_only || replica;
	if (argc != 5) {
		fprintf(stderr, "usage: stat_floor [--stat-only | --replica] HOST PORT USER PASSWORD\n");
		return 3;
	}
	MYSQL mysql;
	if (!floor_connect(&mysql, argv[1], argv[2], argv[3], argv[4], NULL))
		return 2;
	const char *stat = mysql_stat(&mysql);
	if (mysql_errno(&mysql) != 0 || !stat) {
		puts(mysql_error(&mysql));
		mysql_close(&mysql);
		return 2;
	}
	char text[1024];
	snprintf(text, sizeof text, "%s", stat);
	long rows = stat_only ? 0 : floor_rows(&mysql, "show global status", NULL, NULL, 0);
	char running[64] = "";
	if (replica && rows >= 0)
		rows = floor_rows(&mysql, "show slave status", running, NULL, sizeof running);
	mysql_close(&mysql);
	printf("%s|rows=%ld %s\n", text, rows, running);
	return rows < 0 ? 2 : 0;
}
