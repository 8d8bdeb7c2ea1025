// SPDX-License-Identifier: MIT
// query_rows: what check_dbquery judges beyond the first number: the number
// of rows, an expected text in the first field, and named columns of every
// row. The rows are read one by one, up to a limit, never buffered whole.
#ifndef KIVREL_QUERY_ROWS_H
#define KIVREL_QUERY_ROWS_H

#include <mysql.h>
#include <regex.h>

#include <string>
#include <vector>

#include "db_rows.h"
#include "kitcore.h"

/// The rows of a query as read_query_rows kept them.
struct query_rows {
	unsigned long long count = 0;            // rows read
	bool capped = false;                     // reading stopped at the limit
	std::vector<std::vector<db_field>> rows;  // the kept fields of each row
};

/// Read the result of the query just run on \a mysql row by row, at most
/// \a max_rows rows, keeping of each row the fields of \a columns (names in
/// any letter case, in that order), or, when \a first_field is set, only
/// the first field of the first row. Closes \a mysql; at the limit it does
/// so without reading the rest (the server counts an aborted client). Ends the run with STATE_CRITICAL when the statement
/// gives no result or a row fails, and with STATE_UNKNOWN naming a column
/// of \a columns that the result lacks.
query_rows read_query_rows(MYSQL *mysql, unsigned long long max_rows,
                           const std::vector<std::string> &columns, bool first_field);

/// The state of \a count rows against \a limits. When reading stopped at
/// the limit, the count is only a floor: a state that a larger count could
/// change is STATE_UNKNOWN. \a text gets the message after the query and
/// \a perf the performance data.
int rows_verdict(const query_rows &rows, thresholds *limits, std::string *text, std::string *perf);

/// One --column with its own ranges.
struct query_column {
	std::string name;
	char *warning = nullptr;  // range texts until the thresholds are built
	char *critical = nullptr;
	thresholds *limits = nullptr;
};

/// The worst state of the columns of every row (fields in the order of
/// \a columns, then the label when \a labelled), each row named by its
/// label (a repeated one with "_" and the row's number added) or its number
/// from 1; \a text gets the message after the query and
/// \a perf the performance data. A field that is no number ends the run with
/// STATE_UNKNOWN naming the row and the column. When reading stopped at the
/// limit, an OK verdict on the rows read is STATE_UNKNOWN.
int columns_verdict(const query_rows &rows, const std::vector<query_column> &columns,
                    bool labelled, std::string *text, std::string *perf);

/// What the first field must be: the text, or a match of the compiled
/// extended regular expression.
struct query_expect {
	std::string text;
	bool is_regex = false;
	regex_t regex;
};

/// STATE_OK when the first field of the first row equals or matches
/// \a expect, else STATE_CRITICAL; NULL and no row never match. \a text
/// gets the message after the query.
int expect_verdict(const query_rows &rows, const query_expect &expect, std::string *text);

#endif  // KIVREL_QUERY_ROWS_H
