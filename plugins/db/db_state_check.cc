// SPDX-License-Identifier: MIT
// db_state_check: the command line and connect of the state checks.
#include "db_state_check.h"

#include <getopt.h>

#include <cstdio>

#include "common.h"
#include "plugin_routines.h"
#include "status_text.h"

void db_state_usage_connection(void) {
	printf(" %s [-H host] [-P port] [-s socket] [-d database] [-u user] [-p password]\n",
	       progname);
	printf("       [-f optfile] [-g group] [-l] [-a cert] [-k key] [-C ca-cert]\n");
	printf("       [-D ca-dir] [-L ciphers] [--ssl-chain-only] [-t timeout]\n");
}

void db_state_connect(MYSQL *mysql, const db_settings *settings) {
	if (!db_connect(mysql, settings))
		db_die(db_connect_failure_state(mysql_errno(mysql)), "%s\n",
		       status_shown_text(db_connect_error(mysql)));
}

void db_state_no_positional(int argc, char **argv, db_settings *settings) {
	db_no_positional(argc, argv);
	db_settings_complete(settings);
}
