// SPDX-License-Identifier: MIT
// db_rows: the rows of one statement, copied out of the client library and
// read by column name; a failed statement ends the run.
#ifndef KIVREL_DB_ROWS_H
#define KIVREL_DB_ROWS_H

#include <mysql.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

/// One field: absent for SQL NULL.
using db_field = std::optional<std::string>;

/// The columns and rows of a result, in the server's order.
struct db_rows {
	std::vector<std::string> names;
	std::vector<std::vector<db_field>> rows;

	/// The index of the first column called one of \a names (spellings of
	/// one column, tried in turn), or -1.
	int column(std::initializer_list<const char *> names) const;
};

/// Run \a sql and copy its whole result. When the statement, its result or
/// a row fails: end the run through db_statement_failed with \a failure
/// and the \a privilege the statement needs (or null).
db_rows db_query_rows(MYSQL *mysql, const char *sql, const char *failure,
                      const char *privilege = nullptr);

/// The rows of \a sql as name and value (its first two columns), as SHOW
/// STATUS and SHOW VARIABLES give them; a NULL value reads as "". Fails as
/// db_query_rows does.
std::map<std::string, std::string> db_query_pairs(MYSQL *mysql, const char *sql,
                                                  const char *failure);

#endif  // KIVREL_DB_ROWS_H
