/* SPDX-License-Identifier: MIT */
/* The least a query check can do, as the floor of check_dbquery: connect to
 * the database, run the query, read the first field of the first row,
 * print one line with its value, close.
 *
 * Usage: query_floor HOST PORT USER PASSWORD DATABASE QUERY */
#include "floor_common.h"

int main(int argc, char **argv) {
	if (argc != 7) {
		fprintf(stderr, "usage: query_floor HOST PORT USER PASSWORD DATABASE QUERY\n");
		return 3;
	}
	MYSQL mysql;
	if (!floor_connect(&mysql, argv[1], argv[2], argv[3], argv[4], argv[5]))
		return 2;
	char first[256] = "";
	long rows = floor_rows(&mysql, argv[6], first, NULL, sizeof first);
	if (rows < 0)
		puts(mysql_error(&mysql));
	mysql_close(&mysql);
	if (rows <= 0)
		return 2;
	double value = strtod(first, NULL);
	printf("QUERY OK: '%s' returned %f|result=%f\n", argv[6], value, value);
	return 0;
}
