// SPDX-License-Identifier: MIT
// db_rows: copying a statement's result.
#include "db_rows.h"

#include <cstring>

#include "db_failure.h"

int db_rows::column(std::initializer_list<const char *> wanted) const {
	for (const char *name : wanted)
		for (size_t i = 0; i < names.size(); i++)
			if (names[i] == name)
				return static_cast<int>(i);
	return -1;
}

db_rows db_query_rows(MYSQL *mysql, const char *sql, const char *failure, const char *privilege) {
	if (mysql_query(mysql, sql) != 0)
		db_statement_failed(mysql, failure, privilege);
	MYSQL_RES *res = mysql_store_result(mysql);
	if (!res)
		db_statement_failed(mysql, failure, privilege);

	db_rows result;
	unsigned int count = mysql_num_fields(res);
	MYSQL_FIELD *fields = mysql_fetch_fields(res);
	for (unsigned int i = 0; i < count; i++)
		result.names.emplace_back(fields[i].name);
	result.rows.reserve(mysql_num_rows(res));
	while (MYSQL_ROW row = mysql_fetch_row(res)) {
		unsigned long *lengths = mysql_fetch_lengths(res);
		std::vector<db_field> &fields_out = result.rows.emplace_back(count);
		for (unsigned int i = 0; i < count; i++)
			if (row[i])
				fields_out[i].emplace(row[i], lengths[i]);
	}
	bool fetch_failed = mysql_errno(mysql) != 0;
	mysql_free_result(res);
	if (fetch_failed)
		db_statement_failed(mysql, failure, privilege);
	return result;
}

std::map<std::string, std::string> db_query_pairs(MYSQL *mysql, const char *sql,
                                                  const char *failure) {
	db_rows result = db_query_rows(mysql, sql, failure);
	std::map<std::string, std::string> pairs;
	if (result.names.size() < 2)
		return pairs;
	for (const auto &row : result.rows)
		if (row[0])
			pairs[*row[0]] = row[1].value_or("");
	return pairs;
}
