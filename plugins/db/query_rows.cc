// SPDX-License-Identifier: MIT
// query_rows: the row count, the expected text and the columns of
// check_dbquery.
#include "query_rows.h"

#include <strings.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <set>

#include "common.h"
#include "db_connect.h"
#include "plugin_routines.h"
#include "status_text.h"

namespace {

[[noreturn]] void close_and_die(MYSQL *mysql, int state, const std::string &message) {
	mysql_close(mysql);
	db_die(state, "%s\n", message.c_str());
}

// "returned 3 rows", or the floor that reading stopped at.
std::string returned_rows(const query_rows &rows) {
	unsigned long n = static_cast<unsigned long>(std::min<unsigned long long>(rows.count, ULONG_MAX));
	if (rows.capped)
		return status_printf(ngettext("returned at least %llu row (stopped reading at --max-rows)",
		                              "returned at least %llu rows (stopped reading at --max-rows)", n),
		                     rows.count);
	return status_printf(ngettext("returned %llu row", "returned %llu rows", n), rows.count);
}

// A field as the message shows it.
std::string shown_field(const db_field &field) {
	return field ? "'" + status_shown(*field) + "'" : "NULL";
}

}  // namespace

query_rows read_query_rows(MYSQL *mysql, unsigned long long max_rows,
                           const std::vector<std::string> &columns, bool first_field) {
	// Row by row: a result of millions of rows is neither buffered nor, past
	// the limit, read.
	MYSQL_RES *res = mysql_use_result(mysql);
	if (!res) {
		char *error = status_shown_text(mysql_error(mysql));
		close_and_die(mysql, STATE_CRITICAL, std::string("Error with store_result - ") + error);
	}
	std::vector<unsigned int> kept;
	unsigned int count = mysql_num_fields(res);
	MYSQL_FIELD *fields = mysql_fetch_fields(res);
	for (const std::string &name : columns) {
		unsigned int i = 0;
		while (i < count && strcasecmp(fields[i].name, name.c_str()) != 0)
			i++;
		// The rest of the result is not read: closing drops it.
		if (i == count)
			close_and_die(mysql, STATE_UNKNOWN,
			              status_printf(_("no column '%s' in the result"), status_shown(name).c_str()));
		kept.push_back(i);
	}
	if (first_field)
		kept.push_back(0);

	query_rows out;
	MYSQL_ROW row = nullptr;
	while (out.count < max_rows && (row = mysql_fetch_row(res))) {
		out.count++;
		if (kept.empty() || (first_field && out.count > 1))
			continue;
		unsigned long *lengths = mysql_fetch_lengths(res);
		std::vector<db_field> &fields_out = out.rows.emplace_back(kept.size());
		for (size_t k = 0; k < kept.size(); k++)
			if (row[kept[k]])
				fields_out[k].emplace(row[kept[k]], lengths[kept[k]]);
	}
	if (out.count == max_rows) {
		// Releasing the result would read every row left; closing sends the
		// server a quit and drops them unread. The process ends soon after.
		out.capped = true;
		mysql_close(mysql);
		return out;
	}
	if (mysql_errno(mysql) != 0) {
		char *error = status_shown_text(mysql_error(mysql));
		mysql_free_result(res);
		close_and_die(mysql, STATE_CRITICAL, std::string("Fetch row error - ") + error);
	}
	mysql_free_result(res);
	mysql_close(mysql);
	return out;
}

int rows_verdict(const query_rows &rows, thresholds *limits, std::string *text, std::string *perf) {
	double count = static_cast<double>(rows.count);
	int state = get_status(count, limits);
	if (rows.capped) {
		// Any count from here up is possible: each stretch between the
		// range ends gives one state, so its first value and infinity tell.
		std::vector<double> probes = {INFINITY};
		for (const range *r : {limits->warning, limits->critical})
			if (r)
				for (double end : {r->start, r->end})
					if (end >= count)
						probes.insert(probes.end(), {end, std::nextafter(end, INFINITY)});
		for (double probe : probes)
			if (get_status(probe, limits) != state)
				state = STATE_UNKNOWN;
	}
	*text = returned_rows(rows);
	*perf = status_taken(rperfdata("rows", count, "", limits->warning, limits->critical, TRUE, 0.0,
	                               FALSE, 0.0));
	return state;
}

int columns_verdict(const query_rows &rows, const std::vector<query_column> &columns,
                    bool labelled, std::string *text, std::string *perf) {
	int worst = STATE_OK;
	std::string list;
	std::set<std::string> labels;
	for (size_t r = 0; r < rows.rows.size(); r++) {
		const std::vector<db_field> &fields = rows.rows[r];
		std::string label = std::to_string(r + 1);
		if (labelled)
			label = fields.back().value_or("NULL");
		// A name that came before would merge two rows in the graphs.
		if (!labels.insert(label).second)
			label += "_" + std::to_string(r + 1);
		std::string shown_label = status_shown(label);
		list += (list.empty() ? "" : "; ") + shown_label;
		for (size_t c = 0; c < columns.size(); c++) {
			const query_column &column = columns[c];
			double value = 0;
			if (!fields[c] || !kr_read_number(fields[c]->c_str(), &value) ||
			    fields[c]->find('\0') != std::string::npos)
				db_die(STATE_UNKNOWN, "%s\n",
				       status_printf(_("row %s, column %s is not a number: %s"), shown_label.c_str(),
				                     status_shown(column.name).c_str(), shown_field(fields[c]).c_str())
				           .c_str());
			int state = get_status(value, column.limits);
			worst = std::max(worst, state);
			list += (c ? ", " : " ") + status_shown(column.name) + " " + status_shown(*fields[c]);
			if (state != STATE_OK)
				list += std::string(" (") + db_state_word(state) + ")";
			// The label writer makes a name from the server safe.
			std::string item = label + "_" + column.name;
			*perf += (perf->empty() ? "" : " ") +
			         status_taken(rperfdata(item.c_str(), value, "", column.limits->warning,
			                                column.limits->critical, FALSE, 0.0, FALSE, 0.0));
		}
	}
	// Rows that were not read may hold an alert.
	if (rows.capped && worst == STATE_OK)
		worst = STATE_UNKNOWN;
	*text = returned_rows(rows) + (list.empty() ? "" : ": " + list);
	return worst;
}

int expect_verdict(const query_rows &rows, const query_expect &expect, std::string *text) {
	const db_field *field = rows.rows.empty() ? nullptr : &rows.rows.front().front();
	bool match = false;
	if (field && *field && !expect.is_regex) {
		match = **field == expect.text;
	} else if (field && *field) {
		const std::string &value = **field;
#ifdef REG_STARTEND
		// The whole field, NUL bytes included, is matched.
		regmatch_t span[1];
		span[0].rm_so = 0;
		span[0].rm_eo = static_cast<regoff_t>(value.size());
		match = regexec(&expect.regex, value.c_str(), 1, span, REG_STARTEND) == 0;
#else
		match = value.find('\0') == std::string::npos &&
		        regexec(&expect.regex, value.c_str(), 0, nullptr, 0) == 0;
#endif
	}
	std::string got = field ? shown_field(*field) : _("no rows");
	if (match) {
		*text = status_printf(_("returned %s"), got.c_str());
		return STATE_OK;
	}
	std::string wanted = "'" + status_shown(expect.text) + "'";
	if (expect.is_regex)
		wanted = status_printf(_("a match for %s"), wanted.c_str());
	*text = status_printf(_("returned %s, expected %s"), got.c_str(), wanted.c_str());
	return STATE_CRITICAL;
}
