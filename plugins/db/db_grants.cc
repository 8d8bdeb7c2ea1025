// SPDX-License-Identifier: MIT
// db_grants: asking the server which of a run's statements the user may run.
#include "db_grants.h"

#include <algorithm>

#include "common.h"
#include "db_connect.h"
#include "db_failure.h"
#include "db_sql.h"
#include "status_text.h"

namespace {

// The current user as the server matched the login: "user@host".
std::string current_account(MYSQL *mysql) {
	MYSQL_RES *res = nullptr;
	if (mysql_query(mysql, "SELECT CURRENT_USER()") != 0 || !(res = mysql_store_result(mysql)))
		db_statement_failed(mysql, _("Query failed"), nullptr);
	MYSQL_ROW row = mysql_fetch_row(res);
	std::string account = row && row[0] ? row[0] : "";
	mysql_free_result(res);
	return account;
}

// Run \a sql and read its whole result; the mysql_errno of the failure, or 0.
unsigned int try_statement(MYSQL *mysql, const std::string &sql) {
	if (mysql_query(mysql, sql.c_str()) != 0)
		return mysql_errno(mysql);
	// Every result of a multi-result statement, so that the next one runs.
	do {
		MYSQL_RES *res = mysql_store_result(mysql);
		if (!res && mysql_field_count(mysql) != 0)
			return mysql_errno(mysql);
		mysql_free_result(res);
	} while (mysql_next_result(mysql) == 0);
	return mysql_errno(mysql);
}

}  // namespace

std::string db_grant_statement(const std::string &privilege, const std::string &on,
                               const std::string &account) {
	// The host part follows the last "@": a user name may hold one.
	const size_t at = account.rfind('@');
	if (at == std::string::npos)
		return "";
	auto user = db_quote_literal(std::string_view(account).substr(0, at));
	auto host = db_quote_literal(std::string_view(account).substr(at + 1));
	if (!user || !host)
		return "";
	return "GRANT " + privilege + " ON " + on + " TO " + *user + "@" + *host;
}

void db_check_grants(MYSQL *mysql, const std::vector<db_grant_need> &needs) {
	const std::string account = current_account(mysql);
	std::vector<std::string> missing;
	for (const db_grant_need &need : needs) {
		const unsigned int err = try_statement(mysql, need.sql);
		if (err == 0 || err == need.proves_grant)
			continue;
		const db_failure why = db_failure_class(err);
		if (why == db_failure::connection)
			db_statement_failed(mysql, _("Query failed"), nullptr);
		std::string text;
		if (why == db_failure::privilege && !need.privilege.empty())
			text = db_grant_statement(need.privilege, need.on, account);
		if (text.empty() && why == db_failure::privilege)
			// The server's own words name what a query of the user's needs.
			text = status_shown(mysql_error(mysql));
		if (text.empty())
			// Not refused for a privilege: the grants cannot be told.
			text = status_printf(_("cannot tell: %s"), status_shown(mysql_error(mysql)).c_str());
		if (std::find(missing.begin(), missing.end(), text) == missing.end())
			missing.push_back(text);
	}
	mysql_close(mysql);
	if (missing.empty())
		db_die(STATE_OK, "%s\n", _("all grants present"));
	std::string line;
	for (const std::string &text : missing)
		line += (line.empty() ? "" : "; ") + text;
	db_die(STATE_UNKNOWN, "%s: %s\n", _("missing grants"), line.c_str());
}
