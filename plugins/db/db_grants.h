// SPDX-License-Identifier: MIT
// db_grants: --check-grants of the database checks. A program lists the
// statements its options would run and the privilege each one needs; the
// server itself answers whether the user may run them.
#ifndef KIVREL_DB_GRANTS_H
#define KIVREL_DB_GRANTS_H

#include <mysql.h>

#include <string>
#include <vector>

/* The option --check-grants, for a program's option table. */
#define DB_OPT_CHECK_GRANTS 0x182
#define DB_GRANTS_LONGOPTS {"check-grants", no_argument, nullptr, DB_OPT_CHECK_GRANTS}

/// One statement of a run and what it needs.
struct db_grant_need {
	std::string sql;        // a statement that changes nothing
	std::string privilege;  // "PROCESS", "SELECT"; empty: the server's refusal names it
	std::string on = "*.*"; // what the privilege is granted on, as SQL
	unsigned int proves_grant = 0;  // an error that comes only after the privilege check
};

/// Run each of \a needs on \a mysql as its logged-in user, close the
/// connection and end the run: STATE_OK with "all grants present", or
/// STATE_UNKNOWN with, for each privilege refused, the GRANT statement that
/// gives it to the current user (or, for a need without a privilege, the
/// server's refusal), joined by "; ". A lost connection ends the run as a
/// failed statement does.
[[noreturn]] void db_check_grants(MYSQL *mysql, const std::vector<db_grant_need> &needs);

/// The GRANT statement that gives \a privilege on \a on to \a account, the
/// current user as the server shows it ("user@host"); empty when the
/// account cannot be quoted.
std::string db_grant_statement(const std::string &privilege, const std::string &on,
                               const std::string &account);

#endif  // KIVREL_DB_GRANTS_H
