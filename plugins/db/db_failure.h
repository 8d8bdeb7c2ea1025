// SPDX-License-Identifier: MIT
// db_failure: the one table of failure classes of the database checks:
// which plugin state a failed connect, a refused or broken statement, and
// an answer that cannot be read end with, and the message that names why.
#ifndef KIVREL_DB_FAILURE_H
#define KIVREL_DB_FAILURE_H

#include <mysql.h>

#include "common.h"

/// What went wrong, by the error number of a statement.
enum class db_failure {
	privilege,   // the server refused it for a missing privilege: UNKNOWN
	connection,  // the connection was lost or timed out: CRITICAL
	refused,     // the server refused it for another reason: UNKNOWN
};

/// The class of the error number \a err that a statement failed with.
db_failure db_failure_class(unsigned int err);

/// The plugin state of \a failure. A failed connect goes by
/// db_connect_failure_state; an answer that cannot be read is
/// db_unreadable_state.
int db_failure_state(db_failure failure);

/// The state of a server answer that cannot be read: rows without the
/// columns expected, or a text where a number belongs.
constexpr int db_unreadable_state = STATE_UNKNOWN;

/// End the run after a failed statement on \a mysql: close it and print
/// "<failure>: <client error>", with the state of its class. A missing
/// privilege reads "<failure>: the check needs the <privilege> privilege
/// (--check-grants lists each grant missing): <client error>" when
/// \a privilege names it (it may be null), else points to --check-grants
/// after the client error.
[[noreturn]] void db_statement_failed(MYSQL *mysql, const char *failure, const char *privilege);

#endif  // KIVREL_DB_FAILURE_H
