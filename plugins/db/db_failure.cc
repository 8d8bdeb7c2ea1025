// SPDX-License-Identifier: MIT
// db_failure: classifying the failures of a check's statements.
#include "db_failure.h"

#include <errmsg.h>
#include <mysqld_error.h>

#include "common.h"
#include "db_connect.h"
#include "status_text.h"

namespace {

// MariaDB's own numbers, which MySQL's header lacks, and MySQL's, which
// MariaDB's lacks.
const unsigned int mariadb_connection_killed = 1927;
const unsigned int mariadb_statement_timeout = 1969;
const unsigned int mysql_query_timeout = 3024;
const unsigned int mysql_client_interaction_timeout = 4031;

}  // namespace

db_failure db_failure_class(unsigned int err) {
	switch (err) {
	case ER_DBACCESS_DENIED_ERROR:
	case ER_ACCESS_DENIED_ERROR:
	case ER_TABLEACCESS_DENIED_ERROR:
	case ER_COLUMNACCESS_DENIED_ERROR:
	case ER_SPECIFIC_ACCESS_DENIED_ERROR:
	case ER_PROCACCESS_DENIED_ERROR:
		return db_failure::privilege;
	case ER_SERVER_SHUTDOWN:
	case ER_QUERY_INTERRUPTED:
	case mariadb_connection_killed:
	case mariadb_statement_timeout:
	case mysql_query_timeout:
	case mysql_client_interaction_timeout:
		return db_failure::connection;
	default:
		// The client's own errors mid-run (server gone, lost, timed out)
		// have the numbers from 2000 up.
		return err >= CR_MIN_ERROR && err <= CR_MAX_ERROR ? db_failure::connection
		                                                  : db_failure::refused;
	}
}

int db_failure_state(db_failure failure) {
	return failure == db_failure::connection ? STATE_CRITICAL : STATE_UNKNOWN;
}

void db_statement_failed(MYSQL *mysql, const char *failure, const char *privilege) {
	const db_failure why = db_failure_class(mysql_errno(mysql));
	const std::string error = status_shown(mysql_error(mysql));
	// The server would count a dropped connection as an aborted client.
	mysql_close(mysql);
	if (why == db_failure::privilege && privilege)
		db_die(db_failure_state(why),
		       _("%s: the check needs the %s privilege (--check-grants lists each grant missing): %s\n"),
		       failure, privilege, error.c_str());
	if (why == db_failure::privilege)
		db_die(db_failure_state(why), _("%s: %s (--check-grants lists each grant missing)\n"), failure,
		       error.c_str());
	db_die(db_failure_state(why), "%s: %s\n", failure, error.c_str());
}
