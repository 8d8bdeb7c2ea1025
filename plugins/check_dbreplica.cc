// SPDX-License-Identifier: MIT
// check_dbreplica: check every replication channel of a MySQL or MariaDB
// replica: both threads, the lag (or the lag a heartbeat table shows), and
// the error that stopped a thread.
#include <getopt.h>
#include <mysql.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <strings.h>
#include <utility>
#include <vector>

#include "common.h"
#include "db_connect.h"
#include "db_failure.h"
#include "db_grants.h"
#include "db_help.h"
#include "db_rows.h"
#include "db_sql.h"
#include "db_state_check.h"
#include "kitcore.h"
#include "plugin_routines.h"
#include "replica_channels.h"
#include "state_queries.h"
#include "status_text.h"

const char *progname = "check_dbreplica";

// Where and how to connect: host, port, socket, user, password, database,
// option file and group, TLS and the run's timeout.
static db_settings conn = db_settings_default();
static channel_settings settings;
static char *lag_warning = nullptr;   // the range texts, until the thresholds
static char *lag_critical = nullptr;  // are built
static std::vector<std::string> wanted_channels;  // --channel; empty: all
static std::string heartbeat_table;                // --heartbeat DB.TABLE, quoted
static bool heartbeat_utc = false;
// --heartbeat-server-id: CHANNEL=ID for a channel, or one ID (bare_server_id)
// for the one channel checked.
static std::vector<std::pair<std::string, unsigned long>> channel_server_ids;
static std::optional<unsigned long> bare_server_id;
static bool heartbeat_options = false;  // an option that needs --heartbeat
static int not_replica_state = STATE_WARNING;
static read_only_rule read_only_wanted = read_only_rule::unchecked;  // --read-only
static bool check_grants = false;

static const char bare_id_needs_one_channel[] =
	N_("--heartbeat-server-id=ID needs one channel checked; give CHANNEL=ID for each channel");

static int process_arguments(int argc, char **argv);
static void print_help(void);

// The heartbeat lag of every source that has a row, in seconds.
static std::string heartbeat_sql(void) {
	return std::string(HEARTBEAT_SELECT) + (heartbeat_utc ? HEARTBEAT_CLOCK_UTC : HEARTBEAT_CLOCK_LOCAL) +
	       HEARTBEAT_FROM + heartbeat_table;
}

static std::map<unsigned long, double> read_heartbeat_table(MYSQL *mysql) {
	return read_heartbeats(
		db_query_rows(mysql, heartbeat_sql().c_str(), _("heartbeat query failed"), "SELECT"));
}

static bool same_channel(const std::string &a, const std::string &b) {
	// Servers match channel names without regard to letter case.
	return strcasecmp(a.c_str(), b.c_str()) == 0;
}

// The verdict on one channel, with the heartbeat row given for it.
static channel_verdict judge_one(const channel_row &row, const std::map<unsigned long, double> &heartbeats) {
	channel_settings own = settings;
	own.heartbeat_server_id = bare_server_id;
	for (const auto &[name, id] : channel_server_ids)
		if (same_channel(row.name, name))
			own.heartbeat_server_id = id;
	return judge_channel(row, heartbeats, own);
}

// The channels to report on: all of them, or the ones named, in the order
// named, with a verdict for each name that matches none; a channel given a
// heartbeat row counts as named.
static std::vector<channel_verdict> judge(const std::vector<channel_row> &channels,
                                          const std::map<unsigned long, double> &heartbeats) {
	std::vector<channel_verdict> verdicts;
	std::vector<std::string> names = wanted_channels;
	if (names.empty()) {
		for (const channel_row &row : channels)
			verdicts.push_back(judge_one(row, heartbeats));
		for (const auto &[name, id] : channel_server_ids)
			if (std::none_of(channels.begin(), channels.end(),
			                 [&name](const channel_row &row) { return same_channel(row.name, name); }))
				names.push_back(name);
	}
	for (const std::string &name : names) {
		const channel_row *found = nullptr;
		for (const channel_row &row : channels)
			if (same_channel(row.name, name))
				found = &row;
		verdicts.push_back(found ? judge_one(*found, heartbeats) : missing_channel(name));
	}
	return verdicts;
}

// The verdict of --read-only; the text leads the status line.
static int check_read_only(MYSQL *mysql, bool replica, std::string *text) {
	std::map<std::string, std::string> values =
		db_query_pairs(mysql, READ_ONLY_VARIABLES, _("read_only query failed"));
	auto read_only = values.find("read_only");
	if (read_only == values.end()) {
		mysql_close(mysql);
		db_die(STATE_UNKNOWN, "%s\n", _("the server has no read_only variable"));
	}
	auto super = values.find("super_read_only");
	return judge_read_only(read_only_wanted, replica, read_only->second,
	                       super == values.end() ? db_field() : db_field(super->second), text);
}

int main(int argc, char **argv) {
	db_prefix_every_line("REPLICA");
	argv = db_plugin_start(&argc, argv, progname);
	if (process_arguments(argc, argv) == ERROR)
		usage4(_("Could not parse arguments"));

	MYSQL mysql;
	db_state_connect(&mysql, &conn);
	const char *info = mysql_get_server_info(&mysql);
	const unsigned long version = mysql_get_server_version(&mysql);
	if (check_grants) {
		std::vector<db_grant_need> needs = {
			{replica_status_statement(info, version), replica_status_privilege(info, version)}};
		if (settings.heartbeat)
			needs.push_back({heartbeat_sql(), "SELECT", heartbeat_table});
		db_check_grants(&mysql, needs);
	}
	db_rows status = db_query_rows(&mysql, replica_status_statement(info, version),
	                               _("replica status query failed"),
	                               replica_status_privilege(info, version));
	std::vector<channel_row> channels;
	if (!read_channels(status, &channels)) {
		mysql_close(&mysql);
		db_die(db_unreadable_state, "%s\n", _("the replica status has no thread columns"));
	}
	// The read-only verdict leads the line.
	std::string read_only;
	int read_only_state = STATE_OK;
	if (read_only_wanted != read_only_rule::unchecked) {
		read_only_state = check_read_only(&mysql, !channels.empty(), &read_only);
		read_only += "; ";
	}
	if (channels.empty()) {
		mysql_close(&mysql);
		db_die(std::max(not_replica_state, read_only_state), "%s%s\n", read_only.c_str(),
		       _("not a replica"));
	}
	// One id for several channels would read one source's heartbeat as
	// every channel's.
	if (bare_server_id && wanted_channels.empty() && channels.size() > 1) {
		mysql_close(&mysql);
		db_die(STATE_UNKNOWN, "%s\n", _(bare_id_needs_one_channel));
	}
	std::map<unsigned long, double> heartbeats;
	if (settings.heartbeat)
		heartbeats = read_heartbeat_table(&mysql);
	mysql_close(&mysql);

	std::string line;
	int state = std::max(report_channels(judge(channels, heartbeats), &line), read_only_state);
	printf("REPLICA %s: %s%s\n", db_state_word(state), read_only.c_str(), line.c_str());
	db_plugin_finish(state);
}

enum {
	OPT_CHANNEL = 0x200,
	OPT_HEARTBEAT,
	OPT_HEARTBEAT_SERVER_ID,
	OPT_HEARTBEAT_UTC,
	OPT_HEARTBEAT_SKEW,
	OPT_LAG_DISAGREEMENT,
	OPT_SUBTRACT_DELAY,
	OPT_NOT_REPLICA,
	OPT_READ_ONLY,
};

static const char short_options[] = "hvVw:c:" DB_CONNECTION_SHORTOPTS;
static const struct option longopts[] = {
	DB_CONNECTION_LONGOPTS,
	{"channel", required_argument, nullptr, OPT_CHANNEL},
	{"warning", required_argument, nullptr, 'w'},
	{"critical", required_argument, nullptr, 'c'},
	{"heartbeat", required_argument, nullptr, OPT_HEARTBEAT},
	{"heartbeat-server-id", required_argument, nullptr, OPT_HEARTBEAT_SERVER_ID},
	{"heartbeat-utc", no_argument, nullptr, OPT_HEARTBEAT_UTC},
	{"heartbeat-skew", required_argument, nullptr, OPT_HEARTBEAT_SKEW},
	{"lag-disagreement", required_argument, nullptr, OPT_LAG_DISAGREEMENT},
	{"subtract-delay", no_argument, nullptr, OPT_SUBTRACT_DELAY},
	{"not-replica", required_argument, nullptr, OPT_NOT_REPLICA},
	{"read-only", required_argument, nullptr, OPT_READ_ONLY},
	DB_STANDARD_LONGOPTS,
	DB_TLS_LONGOPTS,
	DB_TIMEOUT_LONGOPTS,
	DB_GRANTS_LONGOPTS,
	{nullptr, 0, nullptr, 0},
};

// A server id: a whole number from 1 to 4294967295.
static unsigned long server_id_option(const char *text) {
	char *end = nullptr;
	unsigned long long id = strtoull(text, &end, 10);
	if (!*text || *end || !strchr("0123456789", text[0]) || id == 0 || id > 4294967295ULL)
		usage2(_("Invalid server id"), text);
	return static_cast<unsigned long>(id);
}

// CHANNEL=ID (the channel's name is all before the last "="), or ID.
static void heartbeat_server_id_option(const char *text) {
	const char *equals = strrchr(text, '=');
	if (!equals) {
		bare_server_id = server_id_option(text);
		return;
	}
	const std::string name(text, equals - text);
	const unsigned long id = server_id_option(equals + 1);
	for (auto &[known, known_id] : channel_server_ids)
		if (same_channel(known, name)) {
			if (known_id != id)
				usage2(_("Two heartbeat server ids for one channel"), text);
			return;
		}
	channel_server_ids.emplace_back(name, id);
}

// A number of seconds, 0 or more.
static double seconds_option(const char *text) {
	double value = 0;
	if (!kr_read_number(text, &value) || value < 0)
		usage2(_("Invalid number of seconds"), text);
	return value;
}

// DB.TABLE, both parts given, as SQL: each part an identifier.
static std::string heartbeat_option(const char *text) {
	const char *dot = strchr(text, '.');
	if (!dot || dot == text || !dot[1])
		usage2(_("Invalid heartbeat table (expected DB.TABLE)"), text);
	const char *what = _("The heartbeat table");
	return db_identifier_or_die(std::string_view(text, dot - text), what) + "." +
	       db_identifier_or_die(dot + 1, what);
}

static void apply_option(int c, char *arg) {
	switch (c) {
	case 'w':
		lag_warning = arg;
		break;
	case 'c':
		lag_critical = arg;
		break;
	case 'v':
		settings.verbose = true;
		break;
	case OPT_CHANNEL:
		for (const std::string &name : wanted_channels)
			if (same_channel(name, arg))
				return;
		wanted_channels.push_back(arg);
		break;
	case OPT_HEARTBEAT:
		heartbeat_table = heartbeat_option(arg);
		settings.heartbeat = true;
		break;
	case OPT_HEARTBEAT_SERVER_ID:
		heartbeat_server_id_option(arg);
		heartbeat_options = true;
		break;
	case OPT_HEARTBEAT_UTC:
		heartbeat_utc = true;
		heartbeat_options = true;
		break;
	case OPT_HEARTBEAT_SKEW:
		settings.heartbeat_skew = seconds_option(arg);
		heartbeat_options = true;
		break;
	case OPT_LAG_DISAGREEMENT:
		settings.lag_disagreement = seconds_option(arg);
		heartbeat_options = true;
		break;
	case DB_OPT_CHECK_GRANTS:
		check_grants = true;
		break;
	case OPT_SUBTRACT_DELAY:
		settings.subtract_delay = true;
		break;
	case OPT_READ_ONLY:
		if (strcmp(arg, "on") == 0)
			read_only_wanted = read_only_rule::on;
		else if (strcmp(arg, "off") == 0)
			read_only_wanted = read_only_rule::off;
		else if (strcmp(arg, "auto") == 0)
			read_only_wanted = read_only_rule::automatic;
		else
			usage2(_("Invalid read-only rule (expected auto, on or off)"), arg);
		break;
	case OPT_NOT_REPLICA:
		not_replica_state = translate_state(arg);
		if (not_replica_state == ERROR || strchr("0123", arg[0]))
			usage2(_("Invalid state (expected ok, warning, critical or unknown)"), arg);
		break;
	}
}

static int process_arguments(int argc, char **argv) {
	if (db_parse_options(argc, argv, short_options, longopts, &conn, apply_option, print_help) == ERROR)
		return ERROR;
	if (heartbeat_options && !settings.heartbeat)
		usage(_("--heartbeat-server-id, --heartbeat-utc, --heartbeat-skew and --lag-disagreement need "
		        "--heartbeat"));
	if (bare_server_id && !channel_server_ids.empty())
		usage(_("--heartbeat-server-id takes either one ID or CHANNEL=ID for each channel"));
	if (bare_server_id && wanted_channels.size() > 1)
		usage(_(bare_id_needs_one_channel));
	for (const auto &[name, id] : channel_server_ids)
		if (!wanted_channels.empty() &&
		    std::none_of(wanted_channels.begin(), wanted_channels.end(),
		                 [&name](const std::string &wanted) { return same_channel(wanted, name); }))
			usage2(_("--heartbeat-server-id names a channel that is not checked"), name.c_str());
	set_thresholds(&settings.lag, lag_warning, lag_critical);
	db_state_no_positional(argc, argv, &conn);
	return OK;
}

void print_usage(void) {
	printf("%s\n", _("Usage:"));
	db_state_usage_connection();
	printf("       [--channel=NAME]... [-w RANGE] [-c RANGE]\n");
	printf("       [--heartbeat=DB.TABLE [--heartbeat-server-id=[CHANNEL=]ID]... [--heartbeat-utc]\n");
	printf("        [--heartbeat-skew=SECONDS] [--lag-disagreement=SECONDS]]\n");
	printf("       [--subtract-delay] [--not-replica=ok|warning|critical|unknown] [-v]\n");
	printf("       [--read-only=auto|on|off] [--check-grants]\n");
}

static void print_help(void) {
	db_help_banner(progname);
	printf("%s\n", _("This program checks every replication channel of a replica: both threads"));
	printf("%s\n", _("must run, and the lag in seconds is classified against the ranges."));
	printf("\n\n");
	print_usage();
	db_help_standard_options();
	db_help_host_port();
	db_help_login();
	db_help_entry("--channel=NAME",
	              _("Check only this channel (repeatable); an empty NAME is the default channel."));
	printf("    %s\n", _("A channel that does not exist is CRITICAL."));
	db_help_entry("-w, --warning=RANGE", _("Lag in seconds that gives WARNING"));
	db_help_entry("-c, --critical=RANGE", _("Lag in seconds that gives CRITICAL"));
	db_help_entry("--heartbeat=DB.TABLE",
	              _("Measure the lag from this heartbeat table (columns ts and server_id)"));
	printf("    %s\n", _("instead of Seconds_Behind_Master; no row for the source is CRITICAL."));
	db_help_entry("--heartbeat-server-id=[CHANNEL=]ID",
	              _("The heartbeat row to read for CHANNEL (repeatable; default: each channel's"));
	printf("    %s\n", _("source server id). A bare ID needs exactly one channel checked."));
	db_help_entry("--heartbeat-utc", _("The heartbeat times are in UTC"));
	db_help_entry("--heartbeat-skew=SECONDS",
	              _("A heartbeat further in the future is WARNING: the clocks or time zones"));
	printf("    %s\n", _("disagree, and the lag the server reports is judged instead (default: 2)"));
	db_help_entry("--lag-disagreement=SECONDS",
	              _("WARNING when the server's lag and the heartbeat lag differ by more"));
	printf("    %s\n", _("than this"));
	db_help_entry("--subtract-delay",
	              _("Classify the lag less the channel's configured delay (SQL_Delay); the"));
	printf("    %s\n", _("performance data also shows the lag before subtraction as lag_raw"));
	db_help_entry("--not-replica=STATE",
	              _("State when the server has no channel at all (default: warning)"));
	db_help_entry("--read-only=auto|on|off",
	              _("read_only must be ON (on), OFF (off), or ON exactly where the server has"));
	printf("    %s\n", _("replication channels (auto); where super_read_only exists, off needs it OFF"));
	printf("    %s\n", _("too. A mismatch is CRITICAL. Default: not checked."));
	db_help_entry("-v, --verbose",
	              _("Show each channel's source and, where in use, its GTID position"));
	db_help_tls();
	db_help_timeout();
	db_help_check_grants();
	printf("\n");
	printf(" %s\n", _("Needs REPLICATION CLIENT, or SLAVE MONITOR on MariaDB, and SELECT on the"));
	printf(" %s\n", _("heartbeat table."));
	printf("\n");
	db_help_footer();
}
