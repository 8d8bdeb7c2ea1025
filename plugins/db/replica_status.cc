// SPDX-License-Identifier: MIT
// replica_status: the verdict on a replica status row.
#include "replica_status.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common.h"
#include "plugin_routines.h"
#include "status_text.h"

namespace {

// The older layout has exactly this many columns; the seventh says whether
// replication runs.
const int old_layout_columns = 12;
const int old_layout_running = 6;

// SQL NULL has no text; the summary shows it as the server's own clients
// do, and any other text safe for the status line.
std::string shown(const char *value) {
	return value ? status_shown(value) : "NULL";
}

bool is_yes(const char *value) {
	return value && strcmp(value, "Yes") == 0;
}

}  // namespace

replica_verdict judge_replica_row(int num_fields, const char *const *names,
                                  const char *const *values, bool replica_names,
                                  thresholds *limits, double warning_time,
                                  double critical_time, int verbose) {
	replica_verdict v;
	if (num_fields == old_layout_columns) {
		const char *running = values[old_layout_running];
		snprintf(v.summary, sizeof v.summary, _("Slave running: %s"), shown(running).c_str());
		v.outcome = is_yes(running) ? replica_outcome::good : replica_outcome::not_running;
		return v;
	}
	if (num_fields <= 0)
		return v;

	// The fallback statement names its columns either way, depending on the
	// server; "show slave status" only the older way.
	auto is_column = [replica_names](const char *name, const char *slave_name,
	                                 const char *replica_name) {
		return strcmp(name, slave_name) == 0 || (replica_names && strcmp(name, replica_name) == 0);
	};
	int io_field = -1, sql_field = -1, lag_field = -1;
	for (int i = 0; i < num_fields; i++) {
		if (!names[i])
			continue;
		if (is_column(names[i], "Slave_IO_Running", "Replica_IO_Running"))
			io_field = i;
		else if (is_column(names[i], "Slave_SQL_Running", "Replica_SQL_Running"))
			sql_field = i;
		else if (is_column(names[i], "Seconds_Behind_Master", "Seconds_Behind_Source"))
			lag_field = i;
	}
	if (io_field == -1 || sql_field == -1)
		return v;

	const char *lag = lag_field == -1 ? nullptr : values[lag_field];
	snprintf(v.summary, sizeof v.summary, "Slave IO: %s Slave SQL: %s Seconds Behind Master: %s",
	         shown(values[io_field]).c_str(), shown(values[sql_field]).c_str(),
	         lag_field == -1 ? "Unknown" : shown(lag).c_str());
	if (!is_yes(values[io_field]) || !is_yes(values[sql_field])) {
		v.outcome = replica_outcome::not_running;
		return v;
	}
	v.outcome = replica_outcome::good;

	if (verbose > 2) {
		if (lag_field == -1) {
			v.trace = "seconds_behind_field not found\n";
		} else {
			char *line = nullptr;
			xasprintf(&line, "seconds_behind_field(index %d)=%s\n", lag_field, shown(lag).c_str());
			v.trace = line;
			free(line);
		}
	}
	// No lag column, or a lag the server cannot tell: nothing to classify.
	if (lag_field == -1 || !lag || strcmp(lag, "NULL") == 0)
		return v;

	double value = 0;
	if (!kr_read_number(lag, &value)) {
		// A verdict on a lag the server did not give would be a guess.
		v.outcome = replica_outcome::not_a_number;
		return v;
	}
	int status = get_status(value, limits);
	char *item = fperfdata("seconds behind master", value, "s", TRUE, warning_time,
	                       TRUE, critical_time, FALSE, 0.0, FALSE, 0.0);
	v.lag_item = item;
	free(item);
	if (status == STATE_WARNING)
		v.outcome = replica_outcome::slow_warning;
	else if (status == STATE_CRITICAL)
		v.outcome = replica_outcome::slow_critical;
	return v;
}
