// SPDX-License-Identifier: MIT
// check_dbstatus: a MySQL server's health as rates, ratios and headroom.
// Each metric is an expression over global status and system variables,
// their changes since the previous run and a few probes, classified against
// its own ranges; all metrics share one connection.
#include <getopt.h>
#include <mysql.h>

#include <algorithm>
#include <charconv>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <ctime>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "build_config.h"
#include "common.h"
#include "db_connect.h"
#include "db_failure.h"
#include "db_sql.h"
#include "db_help.h"
#include "db_state_key.h"
#include "kitcore.h"
#include "plugin_routines.h"
#include "status_expr.h"
#include "status_modes.h"
#include "status_probes.h"
#include "db_grants.h"
#include "status_queries.h"
#include "status_text.h"

const char *progname = "check_dbstatus";

// Where and how to connect: db_host, db_user, db_pass, db, db_port,
// db_socket, opt_file, opt_group, TLS and the run's timeout.
static db_settings conn = db_settings_default();
static int verbose = 0;

// One metric of the command line, in its order.
struct metric {
	status_expr expr;
	std::string label;       // in the message
	std::string perf_label;  // in the performance data
	std::string uom;
	std::string perf_uom;
	bool never_negative = false;  // a mode: counts, rates, seconds, percentages
	bool since_start = false;     // a mode of a value since the server's start
	char *warning = nullptr;  // range texts until the thresholds are built
	char *critical = nullptr;
	thresholds *limits = nullptr;
};
static std::vector<metric> metrics;

// The previous samples are one line of a state file, which keeps 1023
// characters; one sample of this many counters always fits.
static const size_t max_counters = 32;

// --warmup: while the server's Uptime is below it, the metrics of rates,
// deltas and values since start raise nothing; 0 for none.
static double warmup = 0;

// What the probes found, for -v.
static std::string probe_details[PROBE_COUNT];
// What a mode of one probe names in its message: the worst column.
static std::string probe_notes[PROBE_COUNT];

// --ignore-user: sessions that longest_query(), metadata_lock_waits() and
// idle_blocker() leave out.
static ignored_users ignore_users;

// --max-tables: the most tables with an auto-increment column that
// autoinc_used() reads.
static unsigned long max_tables = 10000;
static bool check_grants = false;  // --check-grants

static int process_arguments(int argc, char **argv, expr_needs *needs);
static void print_help(void);

// A field of the server's, NULL included, safe for a status line.
static std::string one_line(const char *text) {
	return status_shown(text ? text : "NULL");
}

// The result of \a sql, which needs \a privilege (or none, null); a failed
// query ends the run as the failure classes say.
static MYSQL_RES *run_query(MYSQL *mysql, const std::string &sql, const char *privilege = nullptr) {
	MYSQL_RES *res = nullptr;
	if (mysql_query(mysql, sql.c_str()) != 0 || !(res = mysql_store_result(mysql)))
		db_statement_failed(mysql, _("Query failed"), privilege);
	return res;
}

// Read the rows of "SHOW GLOBAL STATUS" or "SHOW GLOBAL VARIABLES" that
// \a names ask for, under either spelling, into \a values.
static void read_values(MYSQL *mysql, const char *show, const std::set<std::string> &names,
                        expr_values *values) {
	if (names.empty())
		return;
	std::string sql = std::string(show) + " WHERE Variable_name IN (";
	sql.reserve(sql.size() + 32 * names.size());
	const char *what = _("A variable name");
	const char *sep = "";
	for (const std::string &name : names) {
		sql += sep;
		sql += db_literal_or_die(name, what);
		sep = ",";
		std::string other = expr_other_spelling(name);
		if (!other.empty())
			sql += "," + db_literal_or_die(other, what);
	}
	MYSQL_RES *res = run_query(mysql, sql + ")");
	while (MYSQL_ROW row = mysql_fetch_row(res)) {
		if (!row[0])
			continue;
		std::string name = row[0];
		for (char &c : name)
			if (c >= 'A' && c <= 'Z')
				c = static_cast<char>(c - 'A' + 'a');
		server_value &v = (*values)[name];
		v.text = row[1] ? row[1] : "NULL";
		v.numeric = row[1] && expr_text_number(row[1], &v.number);
	}
	mysql_free_result(res);
}

// The first row of \a sql; \a row is null when there is none. The result
// is the caller's to free.
static MYSQL_RES *first_row(MYSQL *mysql, const std::string &sql, MYSQL_ROW *row) {
	// Only the probes ask for single rows, and they need PROCESS.
	MYSQL_RES *res = run_query(mysql, sql, "PROCESS");
	*row = mysql_fetch_row(res);
	return res;
}

// The number in the field of the probe \a what; NULL, where it found
// nothing, is 0. Any other text that is no finite number ends the run: the
// verdict would rest on a number the server did not give.
static double field_number(MYSQL *mysql, MYSQL_RES *res, const char *text, const char *what) {
	double value = 0;
	if (text && !kr_read_number(text, &value)) {
		// The text lives in the result: the message is made before it goes.
		std::string message = status_printf(_("%s is not a number: %s"), what, status_shown(text).c_str());
		mysql_free_result(res);
		mysql_close(mysql);
		db_die(db_unreadable_state, "%s\n", message.c_str());
	}
	return value;
}

// End the run with UNKNOWN and \a message, a probe's measure that the
// server does not have.
[[noreturn]] static void unavailable(MYSQL *mysql, MYSQL_RES *res, const std::string &message) {
	if (res)
		mysql_free_result(res);
	mysql_close(mysql);
	db_die(STATE_UNKNOWN, "%s\n", status_shown(message).c_str());
}

// The index of the column \a name of \a res, or -1.
static int column_index(MYSQL_RES *res, const char *name) {
	MYSQL_FIELD *fields = mysql_fetch_fields(res);
	for (unsigned int i = 0; i < mysql_num_fields(res); i++)
		if (strcasecmp(fields[i].name, name) == 0)
			return static_cast<int>(i);
	return -1;
}

static bool is_mariadb(MYSQL *mysql) {
	return strstr(mysql_get_server_info(mysql), "MariaDB") != nullptr;
}

// The first row of \a res, ordered by the probe, whose user (column \a user)
// --ignore-user does not leave out; null when there is none.
static MYSQL_ROW first_counted(MYSQL_RES *res, int user) {
	while (MYSQL_ROW row = mysql_fetch_row(res))
		if (!ignore_users.match(row[user]))
			return row;
	return nullptr;
}

static void probe_longest_query(MYSQL *mysql, expr_sample *sample) {
	// Without users to leave out, the server picks the one row.
	MYSQL_RES *res = run_query(
		mysql, ignore_users.empty() ? STATUS_LONGEST_QUERY_SQL : STATUS_LONGEST_QUERIES_SQL, "PROCESS");
	MYSQL_ROW row = first_counted(res, 2);
	sample->probes[PROBE_LONGEST_QUERY] =
		row ? field_number(mysql, res, row[0], "longest_query()") : 0;
	char *detail = nullptr;
	if (row && row[1])
		xasprintf(&detail, _("long query: id %s, user %s, database %s: %s"), one_line(row[1]).c_str(),
		          one_line(row[2]).c_str(), one_line(row[3]).c_str(), one_line(row[4]).c_str());
	probe_details[PROBE_LONGEST_QUERY] = detail ? detail : _("long query: none");
	mysql_free_result(res);
}

static void probe_metadata_lock_waits(MYSQL *mysql, expr_sample *sample) {
	MYSQL_RES *res = run_query(mysql, STATUS_METADATA_LOCK_WAITS_SQL, "PROCESS");
	double waiting = 0;
	while (MYSQL_ROW row = mysql_fetch_row(res))
		waiting += row[0] && !ignore_users.match(row[1]) ? 1 : 0;
	sample->probes[PROBE_METADATA_LOCK_WAITS] = waiting;
	mysql_free_result(res);
}

static void probe_idle_blocker(MYSQL *mysql, expr_sample *sample) {
	MYSQL_RES *res = run_query(mysql, STATUS_IDLE_BLOCKERS_SQL, "PROCESS");
	MYSQL_ROW row = first_counted(res, 2);
	sample->probes[PROBE_IDLE_BLOCKER] = row ? field_number(mysql, res, row[0], "idle_blocker()") : 0;
	char *detail = nullptr;
	if (row)
		xasprintf(&detail, _("idle blocker: id %s, user %s, host %s"), one_line(row[1]).c_str(),
		          one_line(row[2]).c_str(), one_line(row[3]).c_str());
	probe_details[PROBE_IDLE_BLOCKER] = detail ? detail : _("idle blocker: none");
	mysql_free_result(res);
}

// binlog_bytes() and binlog_files(), from one statement.
static void probe_binary_logs(MYSQL *mysql, expr_sample *sample) {
	const unsigned int no_binary_logging = 1381;  // ER_NO_BINARY_LOGGING
	MYSQL_RES *res = nullptr;
	if (mysql_query(mysql, STATUS_BINARY_LOGS_SQL) != 0 || !(res = mysql_store_result(mysql))) {
		if (mysql_errno(mysql) == no_binary_logging)
			unavailable(mysql, nullptr, _("binary logging is off"));
		db_statement_failed(mysql, _("Query failed"),
		                    is_mariadb(mysql) ? "BINLOG MONITOR" : "REPLICATION CLIENT");
	}
	int size = column_index(res, "File_size");
	if (size < 0)
		unavailable(mysql, res, status_printf(_("%s gave no column %s"), STATUS_BINARY_LOGS_SQL, "File_size"));
	double bytes = 0, files = 0;
	while (MYSQL_ROW row = mysql_fetch_row(res)) {
		bytes += field_number(mysql, res, row[size], "binlog_bytes()");
		files++;
	}
	sample->probes[PROBE_BINLOG_BYTES] = bytes;
	sample->probes[PROBE_BINLOG_FILES] = files;
	mysql_free_result(res);
}

// The seconds the catalogue may take: half the run's bound, so that a
// server that takes too long still answers within the run.
static double catalogue_seconds(void) {
	return (conn.timeout ? conn.timeout : DB_DEFAULT_TIMEOUT) / 2.0;
}

static void probe_autoinc_used(MYSQL *mysql, expr_sample *sample) {
	const unsigned int mariadb_statement_timeout = 1969, mysql_query_timeout = 3024;
	double limit = catalogue_seconds();
	char bound[64];
	std::string sql;
	if (is_mariadb(mysql)) {
		snprintf(bound, sizeof bound, "%.3f", limit);
		sql = std::string("SET STATEMENT max_statement_time=") + bound + " FOR SELECT";
	} else {
		snprintf(bound, sizeof bound, "%.0f", limit * 1000);
		sql = std::string("SELECT /*+ MAX_EXECUTION_TIME(") + bound + ") */";
	}
	// One row more than allowed tells that there are more.
	sql += STATUS_AUTOINC_COLUMNS_SQL " LIMIT " + std::to_string(max_tables + 1UL);
	MYSQL_RES *res = nullptr;
	if (mysql_query(mysql, sql.c_str()) != 0 || !(res = mysql_store_result(mysql))) {
		unsigned int err = mysql_errno(mysql);
		if (err == mariadb_statement_timeout || err == mysql_query_timeout)
			unavailable(mysql, nullptr,
			            status_printf(_("autoinc_used(): the catalogue gave no answer within %g s"), limit));
		db_statement_failed(mysql, _("Query failed"), nullptr);
	}
	if (mysql_num_rows(res) > max_tables)
		unavailable(mysql, res,
		            status_printf(_("autoinc_used(): more tables have an auto-increment column than "
		                            "--max-tables allows (%lu)"), max_tables));
	double worst = 0;
	std::string worst_column;
	while (MYSQL_ROW row = mysql_fetch_row(res)) {
		double used = autoinc_used_percent(row[3] ? row[3] : "", row[4] ? row[4] : "", row[5] ? row[5] : "");
		if (used < 0 || (used <= worst && !worst_column.empty()))
			continue;
		worst = used;
		worst_column = one_line(row[0]) + "." + one_line(row[1]) + "." + one_line(row[2]);
	}
	sample->probes[PROBE_AUTOINC_USED] = worst;
	probe_notes[PROBE_AUTOINC_USED] = worst_column;
	mysql_free_result(res);
}

static void probe_tls_cert_days(MYSQL *mysql, expr_sample *sample) {
	if (!mysql_get_ssl_cipher(mysql))
		unavailable(mysql, nullptr, _("tls_cert_days() needs a TLS connection (-l)"));
	MYSQL_RES *res = run_query(mysql, STATUS_CERT_NOT_AFTER_SQL);
	MYSQL_ROW row = mysql_fetch_row(res);
	const char *name = "Ssl_server_not_after";
	if (!row)
		unavailable(mysql, res, status_printf(_("No status variable %s on the server"), name));
	double days = 0;
	if (!row[1] || !cert_days_left(row[1], time(nullptr), &days))
		unavailable(mysql, res,
		            status_printf(_("The status variable %s holds '%s', which is no date"), name,
		                          row[1] ? row[1] : "NULL"));
	sample->probes[PROBE_TLS_CERT_DAYS] = days;
	mysql_free_result(res);
}

static void run_probes(MYSQL *mysql, const expr_needs &needs, expr_sample *sample) {
	MYSQL_ROW row;
	if (needs.probes[PROBE_LONGEST_QUERY])
		probe_longest_query(mysql, sample);
	if (needs.probes[PROBE_OLDEST_TRANSACTION]) {
		MYSQL_RES *res = first_row(mysql, STATUS_OLDEST_TRANSACTION_SQL, &row);
		sample->probes[PROBE_OLDEST_TRANSACTION] =
			row ? field_number(mysql, res, row[0], "oldest_transaction()") : 0;
		char *detail = nullptr;
		if (row)
			xasprintf(&detail, _("long transaction: thread %s"), one_line(row[1]).c_str());
		probe_details[PROBE_OLDEST_TRANSACTION] = detail ? detail : _("long transaction: none");
		mysql_free_result(res);
	}
	if (needs.probes[PROBE_LOCK_WAITS]) {
		MYSQL_RES *res = first_row(mysql, STATUS_LOCK_WAITS_SQL, &row);
		sample->probes[PROBE_LOCK_WAITS] =
			row ? field_number(mysql, res, row[0], "lock_waits()") : 0;
		mysql_free_result(res);
	}
	if (needs.probes[PROBE_METADATA_LOCK_WAITS])
		probe_metadata_lock_waits(mysql, sample);
	if (needs.probes[PROBE_IDLE_BLOCKER])
		probe_idle_blocker(mysql, sample);
	if (needs.probes[PROBE_BINLOG_BYTES] || needs.probes[PROBE_BINLOG_FILES])
		probe_binary_logs(mysql, sample);
	if (needs.probes[PROBE_AUTOINC_USED])
		probe_autoinc_used(mysql, sample);
	if (needs.probes[PROBE_TLS_CERT_DAYS])
		probe_tls_cert_days(mysql, sample);
}

// The statements of the probes that \a needs asks for, with the privilege
// each needs; the catalogue and the certificate need none.
static std::vector<db_grant_need> probe_grants(MYSQL *mysql, const expr_needs &needs) {
	const std::pair<int, const char *> process_probes[] = {
		{PROBE_LONGEST_QUERY, STATUS_LONGEST_QUERY_SQL},
		{PROBE_OLDEST_TRANSACTION, STATUS_OLDEST_TRANSACTION_SQL},
		{PROBE_LOCK_WAITS, STATUS_LOCK_WAITS_SQL},
		{PROBE_METADATA_LOCK_WAITS, STATUS_METADATA_LOCK_WAITS_SQL},
		{PROBE_IDLE_BLOCKER, STATUS_IDLE_BLOCKERS_SQL},
	};
	std::vector<db_grant_need> grants;
	for (const auto &[probe, sql] : process_probes)
		if (needs.probes[probe])
			grants.push_back({sql, "PROCESS"});
	const unsigned int no_binary_logging = 1381;  // ER_NO_BINARY_LOGGING, after the check
	if (needs.probes[PROBE_BINLOG_BYTES] || needs.probes[PROBE_BINLOG_FILES])
		grants.push_back({STATUS_BINARY_LOGS_SQL,
		                  is_mariadb(mysql) ? "BINLOG MONITOR" : "REPLICATION CLIENT", "*.*",
		                  no_binary_logging});
	return grants;
}

// The name of the state of this server and metric set: a hash of the
// server as connected to and of the expressions (sorted: their order does
// not matter), each with its length, so that no two sets run together.
// The library's default key would digest the command line, thresholds
// included, and its digest costs more than the rest of the run.
static std::string state_key_name(MYSQL *mysql) {
	std::vector<std::string_view> texts;
	texts.reserve(metrics.size());
	for (const metric &m : metrics)
		texts.push_back(m.expr.text);
	std::sort(texts.begin(), texts.end());
	texts.erase(std::unique(texts.begin(), texts.end()), texts.end());
	return db_server_state_key("server", mysql->host, mysql->port, mysql->unix_socket, texts);
}

// Take the previous samples from the state, when they follow on from this
// one, and keep this one with those the windows still need for the next
// run, unless the state holds a newer one (of a run that overlapped this
// one).
static void keep_counters(const std::string &key, const expr_needs &needs, double at,
                          expr_sample *sample) {
	const std::set<std::string> &counters = needs.counters;
	db_state_enable(progname, key);

	expr_kept now;
	now.uptime = expr_lookup(sample->status, "uptime")->number;
	now.at = at;
	for (const std::string &name : counters)
		now.values.push_back(expr_lookup(sample->status, name)->number);

	expr_previous previous = expr_previous::none;
	std::vector<expr_kept> kept;
	if (state_data *state = kr_state_read())
		previous = expr_take_ring(static_cast<const char *>(state->data), counters, needs.windows, at,
		                          expr_now(), sample, &kept);
	double longest = needs.windows.empty() ? 0 : *needs.windows.rbegin();
	if (previous != expr_previous::newer)
		kr_state_write_string(0, expr_next_ring(now, kept, longest).c_str());
}

// The value as the message shows it: two decimals, or six for a small one,
// without trailing zeros.
static std::string shown(double value) {
	return status_decimal(value, std::fabs(value) < 0.005 ? 6 : 2);
}

// " rate over 4m10s" (or delta) when a WINDOW of \a m covers another
// interval than its own; else empty.
static std::string window_note(const metric &m, const expr_sample &sample) {
	if (sample.since_start)
		return "";
	for (const auto &[window, base] : sample.windows) {
		if (!base.name_interval || !expr_uses_window(m.expr, window, false))
			continue;
		const char *note = expr_uses_window(m.expr, window, true) ? _("rate over %s") : _("delta over %s");
		return " " + status_printf(note, expr_duration_text(base.seconds).c_str());
	}
	return "";
}

// Print the status line and what -v adds; returns the worst state.
static int report(const expr_sample &sample, const expr_needs &needs) {
	int worst = STATE_OK;
	std::string message, perf;
	const char *since_start = _("since start");
	// --warmup: the seconds until the server is warm, 0 once it is.
	double warm_in = 0;
	if (warmup > 0) {
		const server_value *uptime = expr_lookup(sample.status, "uptime");
		if (!uptime || !uptime->numeric)
			db_die(STATE_UNKNOWN, "%s\n", status_printf(_("No status variable %s on the server"), "Uptime").c_str());
		warm_in = std::max(0.0, warmup - uptime->number);
	}
	bool held = false;
	for (const metric &m : metrics) {
		bool idle = false;
		double value = evaluate_status_expr(m.expr, sample, &idle);
		message += (message.empty() ? "" : ", ") + status_shown(m.label) + " ";
		if (std::isnan(value)) {
			message += idle ? _("no activity") : _("no data");
			continue;
		}
		int state = get_status(value, m.limits);
		if (warm_in > 0 && (m.since_start || expr_uses_counters(m.expr))) {
			held = true;
			state = STATE_OK;
		}
		worst = std::max(worst, state);
		message += shown(value) + m.uom;
		// A mode of one probe names what it found, e.g. the worst column.
		if (m.expr.code.size() == 1 && m.expr.code[0].op == expr_op::probe &&
		    !probe_notes[m.expr.code[0].probe].empty())
			message += " " + status_printf(_("in %s"), probe_notes[m.expr.code[0].probe].c_str());
		if (sample.since_start && expr_uses_counters(m.expr))
			message += std::string(" ") + since_start;
		message += window_note(m, sample);
		if (state != STATE_OK)
			message += std::string(" (") + db_state_word(state) + ")";
		// Six decimals are plenty for graphs, and keep 0.1 + 0.2 short.
		double rounded = std::fabs(value) < 1e9 ? std::round(value * 1e6) / 1e6 : value;
		// The minimum and maximum where they are known: 0 for every mode,
		// and 0 and 100 for a percentage.
		bool percent = m.uom == "%";
		perf += (perf.empty() ? "" : " ") +
		        status_taken(rperfdata(m.perf_label.c_str(), rounded, m.perf_uom.c_str(), m.limits->warning,
		                               m.limits->critical, percent || m.never_negative, 0, percent, 100));
	}
	if (held)
		message += ", " + status_printf(_("warming up, %s left"), expr_duration_text(warm_in).c_str());
	printf("STATUS %s: %s", db_state_word(worst), message.c_str());
	if (!perf.empty())
		printf(" | %s", perf.c_str());
	printf("\n");
	for (int p = 0; p < PROBE_COUNT && verbose; p++)
		if (needs.probes[p] && !probe_details[p].empty())
			printf("%s\n", probe_details[p].c_str());
	return worst;
}

int main(int argc, char **argv) {
	db_prefix_every_line("STATUS");
	argv = db_plugin_start(&argc, argv, progname);
	// Each metric takes at least one word: no metric is moved while they are read.
	metrics.reserve(static_cast<size_t>(argc));
	expr_needs needs;
	if (process_arguments(argc, argv, &needs) == ERROR)
		usage4(_("Could not parse arguments"));

	MYSQL mysql;
	if (!db_connect(&mysql, &conn))
		db_die(db_connect_failure_state(mysql_errno(&mysql)), "%s\n",
		       status_shown_text(db_connect_error(&mysql)));
	if (check_grants)
		db_check_grants(&mysql, probe_grants(&mysql, needs));
	expr_sample sample;
	double at = expr_now();
	read_values(&mysql, "SHOW GLOBAL STATUS", needs.status, &sample.status);
	read_values(&mysql, "SHOW GLOBAL VARIABLES", needs.variables, &sample.variables);
	run_probes(&mysql, needs, &sample);
	std::string key = state_key_name(&mysql);
	mysql_close(&mysql);

	for (const metric &m : metrics) {
		std::string error = expr_check_names(m.expr, sample);
		if (!error.empty())
			db_die(STATE_UNKNOWN, "%s\n", status_shown(error).c_str());
	}
	if (!needs.counters.empty())
		keep_counters(key, needs, at, &sample);
	db_plugin_finish(report(sample, needs));
}

// Long-only options.
enum { OPT_LABEL = 0x101, OPT_UOM, OPT_IGNORE_USER, OPT_MAX_TABLES, OPT_WARMUP };

static const char short_options[] = "hvVm:e:w:c:" DB_CONNECTION_SHORTOPTS;
static const struct option longopts[] = {
	{"mode", required_argument, nullptr, 'm'},
	{"expression", required_argument, nullptr, 'e'},
	{"label", required_argument, nullptr, OPT_LABEL},
	{"uom", required_argument, nullptr, OPT_UOM},
	{"warning", required_argument, nullptr, 'w'},
	{"critical", required_argument, nullptr, 'c'},
	{"ignore-user", required_argument, nullptr, OPT_IGNORE_USER},
	{"max-tables", required_argument, nullptr, OPT_MAX_TABLES},
	{"warmup", required_argument, nullptr, OPT_WARMUP},
	DB_CONNECTION_LONGOPTS,
	DB_STANDARD_LONGOPTS,
	DB_TLS_LONGOPTS,
	DB_TIMEOUT_LONGOPTS,
	DB_GRANTS_LONGOPTS,
	{nullptr, 0, nullptr, 0},
};

static void add_metric(const char *text, metric &&m) {
	std::string error;
	if (!parse_status_expr(text, &m.expr, &error))
		db_die(STATE_UNKNOWN, "%s\n", status_shown(error).c_str());
	metrics.push_back(std::move(m));
}

static void add_mode(const char *name) {
	if (strcmp(name, "list") == 0) {
		print_status_modes();
		db_plugin_finish(STATE_OK);
	}
	const status_mode *mode = find_status_mode(name);
	if (!mode)
		usage2(_("Unknown mode"), name);
	metric m;
	m.label = _(mode->label);
	m.perf_label = mode->label;
	std::replace(m.perf_label.begin(), m.perf_label.end(), ' ', '_');
	m.uom = mode->uom;
	m.perf_uom = status_perf_uom(mode->uom);
	m.never_negative = !mode->may_be_negative;
	m.since_start = mode->since_start;
	m.warning = const_cast<char *>(mode->warning);
	m.critical = const_cast<char *>(mode->critical);
	add_metric(mode->expression, std::move(m));
}

// A unit would break the status line with a line end or a "|"; it also
// ends at a digit or ";" when the performance data is read.
static bool printable(const char *text, const char *forbidden) {
	for (const char *p = text; *p; p++)
		if (static_cast<unsigned char>(*p) < ' ' || *p == 0x7f || strchr(forbidden, *p))
			return false;
	return true;
}

static void apply_option(int c, char *arg) {
	if (c == 'v') {
		verbose++;
		return;
	}
	if (c == DB_OPT_CHECK_GRANTS) {
		check_grants = true;
		return;
	}
	if (c == 'm') {
		add_mode(arg);
		return;
	}
	if (c == OPT_IGNORE_USER) {
		std::string error;
		if (!ignore_users.add(arg, &error))
			usage2(status_printf(_("Invalid regular expression (%s)"), error.c_str()).c_str(), arg);
		return;
	}
	if (c == OPT_MAX_TABLES) {
		char *end = nullptr;
		errno = 0;
		unsigned long n = strtoul(arg, &end, 10);
		if (!isdigit(static_cast<unsigned char>(arg[0])) || *end || errno || n < 1 || n > 100000000)
			usage2(_("--max-tables must be a whole number from 1 to 100000000"), arg);
		max_tables = n;
		return;
	}
	if (c == OPT_WARMUP) {
		if (!expr_read_duration(arg, true, &warmup))
			usage2(_("--warmup must be a duration such as 600, 90s, 15m or 2h (at most 7 days)"), arg);
		return;
	}
	if (c == 'e') {
		metric m;
		m.label = m.perf_label = arg;
		add_metric(arg, std::move(m));
		return;
	}
	if (metrics.empty())
		usage(_("-w, -c, --label and --uom must follow the -m or -e they apply to"));
	metric &last = metrics.back();
	switch (c) {
	case 'w':
		last.warning = arg;
		break;
	case 'c':
		last.critical = arg;
		break;
	case OPT_LABEL:
		// One text is the label in the message and in the performance data.
		if (!is_perf_label(arg))
			usage2(_("Invalid label"), arg);
		last.label = last.perf_label = arg;
		break;
	case OPT_UOM:
		if (!printable(arg, "|;'\"= 0123456789.-+"))
			usage2(_("Invalid unit"), arg);
		last.uom = last.perf_uom = arg;
		break;
	}
}

// Reads the options; \a needs gets what the metrics need of the server.
static int process_arguments(int argc, char **argv, expr_needs *needs) {
	int parsed = db_parse_options(argc, argv, short_options, longopts, &conn, apply_option, print_help);
	if (parsed == ERROR)
		return ERROR;
	db_no_positional(argc, argv);
	if (metrics.empty())
		usage(_("At least one metric is required (-m or -e)"));
	for (metric &m : metrics) {
		set_thresholds(&m.limits, m.warning, m.critical);
		expr_add_needs(m.expr, needs);
	}
	// --warmup weighs the Uptime.
	if (warmup > 0)
		needs->status.insert("uptime");
	if (needs->counters.size() > max_counters)
		usage(_("Too many different counters in rate() and delta() (at most 32)"));
	db_settings_complete(&conn);
	return OK;
}

void print_usage(void) {
	printf("%s\n", _("Usage:"));
	printf(" %s (-m mode | -e expression) [--label=name] [--uom=unit]\n", progname);
	printf("       [-w warn] [-c crit] [(-m mode | -e expression) ...] [-v]\n");
	printf("       [--ignore-user=regex ...] [--max-tables=n] [--warmup=duration]\n");
	printf("       [-H host] [-P port] [-s socket] [-d database] [-u user] [-p password]\n");
	printf("       [-f optfile] [-g group] [-l] [-a cert] [-k key] [-C ca-cert]\n");
	printf("       [-D ca-dir] [-L ciphers] [--ssl-chain-only] [-t timeout]\n");
	printf("       [--check-grants]\n");
}

static void print_help(void) {
	db_help_banner(progname);
	printf("%s\n", _("This program checks a MySQL server's status as rates, ratios and headroom"));
	printf("\n\n");
	print_usage();
	db_help_standard_options();
	db_help_entry("-m, --mode=NAME", _("A ready-made metric; --mode=list shows them all"));
	db_help_entry("-e, --expression=EXPR", _("A metric of your own: status variables, @system variables,"));
	printf("    %s\n", _("numbers, + - * / and ( ), rate(NAME), delta(NAME), rate(NAME, WINDOW),"));
	printf("    %s\n", _("delta(NAME, WINDOW) with a WINDOW such as 90s, 15m or 2h, longest_query(),"));
	printf("    %s\n", _("oldest_transaction(), lock_waits(), metadata_lock_waits(), idle_blocker(),"));
	printf("    %s\n", _("binlog_bytes(), binlog_files(), autoinc_used() and tls_cert_days()"));
	db_help_entry("--label=NAME", _("The metric's name in the output (default: the mode's, or the expression)"));
	db_help_entry("--uom=UNIT", _("The metric's unit, for example s, B or %"));
	db_help_entry("-w, --warning=RANGE", _("Warning range of the metric named last before it"));
	db_help_entry("-c, --critical=RANGE", _("Critical range of the metric named last before it"));
	db_help_entry("-v, --verbose", _("Show the longest query, the oldest transaction's thread and the idle blocker"));
	db_help_entry("--ignore-user=REGEX",
	              _("Leave the sessions of users that match REGEX (POSIX extended, anywhere in the name)"));
	printf("    %s\n", _("out of longest_query(), metadata_lock_waits() and idle_blocker(); repeatable"));
	db_help_entry("--max-tables=N",
	              _("autoinc_used() ends UNKNOWN past N tables with an auto-increment column"));
	printf("    %s\n", _("(default: 10000)"));
	db_help_entry("--warmup=DURATION",
	              _("While the server's Uptime is below DURATION (600, 90s, 15m, 2h), metrics of"));
	printf("    %s\n", _("rates, deltas and values since start raise no WARNING or CRITICAL"));
	db_help_host_port();
	db_help_login();
	db_help_tls();
	db_help_timeout();
	db_help_check_grants();
	printf("\n");
	printf(" %s\n", _("rate() and delta() compare with the previous run of the same metrics on the"));
	printf(" %s\n", _("same server, kept in the state directory: $KIVREL_PLUGIN_STATE_DIRECTORY if"));
	printf(" ");
	printf(_("set, else %s. Without a previous run they count from the server's start.\n"),
	       KIVREL_STATE_DIR);
	printf(" %s\n", _("With a WINDOW they compare with the oldest sample kept within it; the state"));
	printf(" %s\n", _("keeps at most 16 samples, fewer when many counters fill its line. When the"));
	printf(" %s\n", _("samples cover another interval, the message names it (\"rate over 4m10s\")."));
	printf(" %s\n", _("A ratio of changes where nothing changed reads \"no activity\"."));
	printf(" %s\n", _("The probes need the PROCESS privilege; binlog_bytes() and binlog_files() need"));
	printf(" %s\n", _("BINLOG MONITOR (REPLICATION CLIENT on MySQL); autoinc_used() sees the tables"));
	printf(" %s\n", _("the user may read; tls_cert_days() needs TLS (-l)."));
	printf("\n");
	db_help_footer();
}
