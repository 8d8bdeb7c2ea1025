// SPDX-License-Identifier: MIT
// db_state_check: what check_dbreplica and check_dbcluster share beyond the
// connection code: the connection part of their synopsis, a connect that ends the run when it fails, and the end of their option
// parsing (they take no positional arguments).
#ifndef KIVREL_DB_STATE_CHECK_H
#define KIVREL_DB_STATE_CHECK_H

#include <mysql.h>

#include "db_connect.h"

/// Print the connection options' lines of the usage synopsis.
void db_state_usage_connection(void);

/// Connect \a mysql as \a settings say; a failed connect ends the run with
/// the state and message of db_connect_failure_state and db_connect_error.
void db_state_connect(MYSQL *mysql, const db_settings *settings);

/// After db_parse_options: an argument left over ends the run through
/// usage2; else complete \a settings.
void db_state_no_positional(int argc, char **argv, db_settings *settings);

#endif  // KIVREL_DB_STATE_CHECK_H
