/* The least a health check can do, as a floor to time check_dbhealth
 * against: connect, fetch the server's statistics text, print it, close.
 *
 * Usage: stat_floor HOST PORT USER PASSWORD */
#include <mysql.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv) {
	if (argc != 5) {
		fprintf(stderr, "usage: stat_floor HOST PORT USER PASSWORD\n");
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
	mysql_close(&mysql);
	return stat ? 0 : 2;
}
