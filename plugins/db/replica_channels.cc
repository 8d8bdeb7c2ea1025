// SPDX-License-Identifier: MIT
// replica_channels: reading and judging replication channels.
#include "replica_channels.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "common.h"
#include "db_failure.h"
#include "plugin_routines.h"
#include "state_queries.h"
#include "status_text.h"

namespace {

std::string shown(const db_field &field) {
	return field ? status_shown(*field) : "NULL";
}

bool is_yes(const db_field &field) {
	return field && *field == "Yes";
}

std::optional<double> number(const db_field &field) {
	double value = 0;
	if (!field || !kr_read_number(field->c_str(), &value))
		return std::nullopt;
	return value;
}

std::optional<unsigned long> server_id(const db_field &field) {
	if (!field || field->empty() || field->find_first_not_of("0123456789") != std::string::npos)
		return std::nullopt;
	return strtoul(field->c_str(), nullptr, 10);
}

// Seconds to the millisecond, without trailing zeros: "3", "0.523".
std::string seconds(double value) {
	return status_decimal(value, 3);
}

// ", last IO error 2003: ..." when the thread has an error.
std::string last_error(const char *fmt, const db_field &errno_field, const db_field &text) {
	if (!errno_field || *errno_field == "0" || errno_field->empty())
		return "";
	return ", " + status_printf(fmt, shown(errno_field).c_str(), shown(text).c_str());
}

bool is_mariadb(const char *server_info) {
	return server_info && strstr(server_info, "MariaDB");
}

}  // namespace

const char *replica_status_statement(const char *server_info, unsigned long version) {
	if (is_mariadb(server_info))
		return version >= 100501 ? REPLICA_STATUS_MARIADB : REPLICA_STATUS_MARIADB_OLD;
	return version >= 80022 ? REPLICA_STATUS_MYSQL : REPLICA_STATUS_MYSQL_OLD;
}

const char *replica_status_privilege(const char *server_info, unsigned long version) {
	if (is_mariadb(server_info) && version >= 100502)
		return version >= 100509 ? "SLAVE MONITOR" : "REPLICATION SLAVE ADMIN";
	return "REPLICATION CLIENT";
}

bool read_channels(const db_rows &status, std::vector<channel_row> *channels) {
	const int io = status.column({"Slave_IO_Running", "Replica_IO_Running"});
	const int sql = status.column({"Slave_SQL_Running", "Replica_SQL_Running"});
	if (io < 0 || sql < 0)
		return false;
	const int name = status.column({"Connection_name", "Channel_Name", "Channel_name"});
	const int lag = status.column({"Seconds_Behind_Master", "Seconds_Behind_Source"});
	const int id = status.column({"Master_Server_Id", "Source_Server_Id"});
	const int host = status.column({"Master_Host", "Source_Host"});
	const int port = status.column({"Master_Port", "Source_Port"});
	const int delay = status.column({"SQL_Delay"});
	const int io_errno = status.column({"Last_IO_Errno"});
	const int io_error = status.column({"Last_IO_Error"});
	const int sql_errno = status.column({"Last_SQL_Errno"});
	const int sql_error = status.column({"Last_SQL_Error"});
	// MariaDB says Using_Gtid and Gtid_IO_Pos; MySQL Auto_Position and
	// Executed_Gtid_Set.
	const int using_gtid = status.column({"Using_Gtid"});
	const int gtid_io_pos = status.column({"Gtid_IO_Pos"});
	const int auto_position = status.column({"Auto_Position"});
	const int executed = status.column({"Executed_Gtid_Set"});

	for (const std::vector<db_field> &row : status.rows) {
		auto at = [&row](int i) { return i < 0 ? db_field() : row[i]; };
		channel_row c;
		c.name = at(name).value_or("");
		c.io_running = at(io);
		c.sql_running = at(sql);
		c.lag = at(lag);
		c.source_server_id = at(id);
		c.source_host = at(host);
		c.source_port = at(port);
		c.sql_delay = at(delay);
		c.io_errno = at(io_errno);
		c.io_error = at(io_error);
		c.sql_errno = at(sql_errno);
		c.sql_error = at(sql_error);
		if (at(using_gtid) && *at(using_gtid) != "No")
			c.gtid_position = at(gtid_io_pos);
		else if (at(auto_position) == "1")
			c.gtid_position = at(executed);
		channels->push_back(std::move(c));
	}
	return true;
}

std::map<unsigned long, double> read_heartbeats(const db_rows &rows) {
	std::map<unsigned long, double> lags;
	if (rows.names.size() < 2)
		return lags;
	for (const std::vector<db_field> &row : rows.rows) {
		std::optional<unsigned long> id = server_id(row[0]);
		std::optional<double> microseconds = number(row[1]);
		if (id && microseconds)
			lags[*id] = *microseconds / 1e6;
	}
	return lags;
}

channel_verdict judge_channel(const channel_row &row, const std::map<unsigned long, double> &heartbeats,
                              const channel_settings &settings) {
	channel_verdict v;
	const double delay = settings.subtract_delay ? number(row.sql_delay).value_or(0.0) : 0.0;
	// A delayed replica is behind by design; what it lags beyond that counts.
	auto less_delay = [delay](double lag) { return std::max(0.0, lag - delay); };

	const std::optional<double> raw_lag = number(row.lag);
	std::optional<double> lag;
	if (raw_lag)
		lag = less_delay(*raw_lag);
	const bool running = is_yes(row.io_running) && is_yes(row.sql_running);
	std::string problems;
	if (!running || !lag) {
		v.state = STATE_CRITICAL;
		problems += last_error(_("last IO error %s: %s"), row.io_errno, row.io_error);
		problems += last_error(_("last SQL error %s: %s"), row.sql_errno, row.sql_error);
	}
	// A lag (or a delay to subtract) that is text but no number is not a
	// lag of NULL: the server said something this program cannot judge.
	if ((row.lag && !lag) || (settings.subtract_delay && row.sql_delay && !number(row.sql_delay))) {
		v.state = db_unreadable_state;
		problems += ", " + status_printf(_("%s is not a number: %s"), row.lag && !lag ? "lag" : "SQL_Delay",
		                                 shown(row.lag && !lag ? row.lag : row.sql_delay).c_str());
	}

	// Worse than v.state so far, where a thread or the lag has not made it
	// CRITICAL or UNKNOWN already.
	auto at_least = [&v](int state) {
		if (v.state == STATE_OK || v.state == STATE_WARNING)
			v.state = std::max(v.state, state);
	};
	std::optional<double> heartbeat, raw_heartbeat;
	bool future = false;
	std::string heartbeat_text;
	if (settings.heartbeat) {
		std::optional<unsigned long> id = settings.heartbeat_server_id;
		if (!id)
			id = server_id(row.source_server_id);
		auto found = id ? heartbeats.find(*id) : heartbeats.end();
		if (found == heartbeats.end()) {
			v.state = std::max(v.state, static_cast<int>(STATE_CRITICAL));
			problems += ", " + status_printf(_("no heartbeat row for server id %s"),
			                      id ? std::to_string(*id).c_str() : "NULL");
		} else if (found->second < -settings.heartbeat_skew) {
			// A heartbeat from the future hides any lag behind it.
			future = true;
			at_least(STATE_WARNING);
			heartbeat_text = ", " + status_printf(_("heartbeat %s s in the future: the clocks or time zones disagree"),
			                                      seconds(std::round(-found->second)).c_str());
		} else {
			// Within the skew, a source clock a little ahead reads as no lag.
			raw_heartbeat = std::max(0.0, found->second);
			heartbeat = less_delay(found->second);
			heartbeat_text = ", " + status_printf(_("heartbeat lag %s s"), seconds(*heartbeat).c_str());
			const double apart = raw_lag ? std::fabs(*raw_lag - *raw_heartbeat) : 0.0;
			if (settings.lag_disagreement && raw_lag && apart > *settings.lag_disagreement) {
				at_least(STATE_WARNING);
				heartbeat_text += ", " + status_printf(_("lag and heartbeat lag differ by %s s"),
				                                       seconds(apart).c_str());
			}
		}
	}

	// The heartbeat lag where asked for; the server's lag where none was
	// asked for or the heartbeat cannot be trusted.
	const bool judge_heartbeat = settings.heartbeat && !future;
	std::optional<double> measured = judge_heartbeat ? heartbeat : lag;
	if (measured)
		at_least(get_status(*measured, settings.lag));

	const std::string name = shown(row.name);
	v.text = status_printf(_("'%s' IO %s, SQL %s, lag %s"), name.c_str(), shown(row.io_running).c_str(),
	                   shown(row.sql_running).c_str(),
	                   lag ? (seconds(*lag) + " s").c_str() : shown(row.lag).c_str());
	v.text += heartbeat_text;
	if (settings.verbose) {
		v.text += ", " + status_printf(_("source %s:%s"), shown(row.source_host).c_str(),
		                    shown(row.source_port).c_str());
		if (row.gtid_position && !row.gtid_position->empty())
			v.text += ", " + status_printf(_("GTID %s"), shown(row.gtid_position).c_str());
	}
	v.text += problems;

	// The label writer makes the name safe for performance data.
	const std::string suffix = row.name.empty() ? "" : "_" + row.name;
	// The ranges go with the lag they judge.
	auto item = [&settings](const std::string &label, double seconds, bool judged) {
		return status_taken(rperfdata(label.c_str(), std::round(seconds * 1000) / 1000, "s",
		                              judged ? settings.lag->warning : nullptr,
		                              judged ? settings.lag->critical : nullptr, TRUE, 0.0, FALSE,
		                              0.0));
	};
	// One name for the replication lag: the lag that is judged, and with
	// --subtract-delay beside it the same lag before the delay came off.
	// Where a heartbeat is judged, the server's own figure is seconds_behind.
	if (heartbeat)
		v.perf.push_back(item("lag" + suffix, *heartbeat, true));
	if (lag && !settings.heartbeat)
		v.perf.push_back(item("lag" + suffix, *lag, true));
	if (settings.subtract_delay && (heartbeat || (lag && !settings.heartbeat)))
		v.perf.push_back(item("lag_raw" + suffix, heartbeat ? *raw_heartbeat : std::max(0.0, *raw_lag), false));
	if (lag && settings.heartbeat)
		v.perf.push_back(item("seconds_behind" + suffix, *lag, future));
	return v;
}

channel_verdict missing_channel(const std::string &name) {
	channel_verdict v;
	v.state = STATE_CRITICAL;
	v.text = status_printf(_("'%s' not found"), shown(name).c_str());
	return v;
}

int report_channels(std::vector<channel_verdict> verdicts, std::string *line) {
	// CRITICAL before WARNING before OK, each in the server's order.
	std::stable_sort(verdicts.begin(), verdicts.end(),
	                 [](const channel_verdict &a, const channel_verdict &b) { return a.state > b.state; });
	const int count = static_cast<int>(verdicts.size());
	std::string texts, perf;
	for (const channel_verdict &v : verdicts) {
		texts += (texts.empty() ? "" : "; ") + v.text;
		for (const std::string &item : v.perf)
			perf += (perf.empty() ? "" : " ") + item;
	}
	*line = status_printf(ngettext("%d channel", "%d channels", count), count) + ": " + texts;
	if (!perf.empty())
		*line += " | " + perf;
	return verdicts.empty() ? STATE_OK : verdicts.front().state;
}

namespace {

bool is_on(const std::string &value) {
	return strcasecmp(value.c_str(), "OFF") != 0 && value != "0";
}

}  // namespace

int judge_read_only(read_only_rule rule, bool replica, const std::string &read_only,
                    const db_field &super, std::string *text) {
	const bool want_on = rule == read_only_rule::on || (rule == read_only_rule::automatic && replica);
	const std::string ro = "read_only " + status_shown(read_only);
	const std::string sro = super ? "super_read_only " + status_shown(*super) : "";
	std::string wrong;
	const char *expected = want_on ? "ON" : "OFF";
	if (want_on && !is_on(read_only))
		wrong = ro;
	else if (!want_on && is_on(read_only))
		wrong = ro;
	else if (!want_on && super && is_on(*super))
		wrong = sro;
	if (wrong.empty()) {
		*text = ro + (super ? ", " + sro : "");
		return STATE_OK;
	}
	if (rule != read_only_rule::automatic)
		*text = status_printf(_("%s, expected %s"), wrong.c_str(), expected);
	else if (replica)
		*text = status_printf(_("%s on a replica"), wrong.c_str());
	else
		*text = status_printf(_("%s on a server that is not a replica"), wrong.c_str());
	return STATE_CRITICAL;
}
