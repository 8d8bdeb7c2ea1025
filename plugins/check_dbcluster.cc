// SPDX-License-Identifier: MIT
// check_dbcluster: check a node of a Galera cluster: ready, connected, in
// the Primary component and synced, the cluster's size, and how much of the
// time flow control paused replication.
#include <getopt.h>
#include <mysql.h>

#include <cstdio>
#include <string>

#include "cluster_state.h"
#include "common.h"
#include "db_connect.h"
#include "db_help.h"
#include "db_rows.h"
#include "db_state_check.h"
#include "kitcore.h"
#include "plugin_routines.h"
#include "state_queries.h"

const char *progname = "check_dbcluster";

// Where and how to connect: host, port, socket, user, password, database,
// option file and group, TLS and the run's timeout.
static db_settings conn = db_settings_default();
static cluster_settings settings;
// The range texts, until the thresholds are built.
static char *size_warning = nullptr, *size_critical = nullptr;
static char *flow_warning = nullptr, *flow_critical = nullptr;

static int process_arguments(int argc, char **argv);
static void print_help(void);

int main(int argc, char **argv) {
	db_prefix_every_line("CLUSTER");
	argv = db_plugin_start(&argc, argv, progname);
	if (process_arguments(argc, argv) == ERROR)
		usage4(_("Could not parse arguments"));

	MYSQL mysql;
	db_state_connect(&mysql, &conn);
	const char *failure = _("wsrep query failed");
	std::string wsrep_on = db_query_pairs(&mysql, CLUSTER_WSREP_ON, failure)["wsrep_on"];
	std::map<std::string, std::string> status;
	// A server without the provider has nothing more to tell.
	if (wsrep_on == "ON")
		status = db_query_pairs(&mysql, CLUSTER_STATUS, failure);
	mysql_close(&mysql);

	cluster_verdict v = judge_cluster(wsrep_on, status, settings);
	if (v.perf.empty())
		printf("CLUSTER %s: %s\n", db_state_word(v.state), v.text.c_str());
	else
		printf("CLUSTER %s: %s | %s\n", db_state_word(v.state), v.text.c_str(), v.perf.c_str());
	db_plugin_finish(v.state);
}

enum {
	OPT_FLOW_CONTROL_WARNING = 0x200,
	OPT_FLOW_CONTROL_CRITICAL,
};

static const char short_options[] = "hvVw:c:" DB_CONNECTION_SHORTOPTS;
static const struct option longopts[] = {
	DB_CONNECTION_LONGOPTS,
	{"warning", required_argument, nullptr, 'w'},
	{"critical", required_argument, nullptr, 'c'},
	{"flow-control-warning", required_argument, nullptr, OPT_FLOW_CONTROL_WARNING},
	{"flow-control-critical", required_argument, nullptr, OPT_FLOW_CONTROL_CRITICAL},
	DB_STANDARD_LONGOPTS,
	DB_TLS_LONGOPTS,
	DB_TIMEOUT_LONGOPTS,
	{nullptr, 0, nullptr, 0},
};

static void apply_option(int c, char *arg) {
	switch (c) {
	case 'w':
		size_warning = arg;
		break;
	case 'c':
		size_critical = arg;
		break;
	case OPT_FLOW_CONTROL_WARNING:
		flow_warning = arg;
		break;
	case OPT_FLOW_CONTROL_CRITICAL:
		flow_critical = arg;
		break;
	case 'v':
		settings.verbose = true;
		break;
	}
}

static int process_arguments(int argc, char **argv) {
	if (db_parse_options(argc, argv, short_options, longopts, &conn, apply_option, print_help) == ERROR)
		return ERROR;
	set_thresholds(&settings.size, size_warning, size_critical);
	set_thresholds(&settings.flow_control, flow_warning, flow_critical);
	db_state_no_positional(argc, argv, &conn);
	return OK;
}

void print_usage(void) {
	printf("%s\n", _("Usage:"));
	db_state_usage_connection();
	printf("       [-w RANGE] [-c RANGE] [--flow-control-warning=RANGE]\n");
	printf("       [--flow-control-critical=RANGE] [-v]\n");
}

static void print_help(void) {
	db_help_banner(progname);
	printf("%s\n", _("This program checks a node of a Galera cluster: it must be ready, connected,"));
	printf("%s\n", _("in the Primary component and Synced (Donor/Desynced is WARNING)."));
	printf("\n\n");
	print_usage();
	db_help_standard_options();
	db_help_host_port();
	db_help_login();
	db_help_entry("-w, --warning=RANGE",
	              _("Cluster size that gives WARNING when outside the range, e.g. 3:"));
	db_help_entry("-c, --critical=RANGE",
	              _("Cluster size that gives CRITICAL when outside the range, e.g. 2:"));
	db_help_entry("--flow-control-warning=RANGE",
	              _("Percentage of the time paused by flow control that gives WARNING"));
	db_help_entry("--flow-control-critical=RANGE",
	              _("Percentage of the time paused by flow control that gives CRITICAL"));
	db_help_entry("-v, --verbose",
	              _("Show the percentage paused by flow control and the average receive queue"));
	db_help_tls();
	db_help_timeout();
	printf("\n");
	printf(" %s\n", _("A server that is no cluster node (wsrep_on OFF) gives UNKNOWN."));
	printf(" %s\n", _("Needs no privilege beyond a login."));
	printf("\n");
	db_help_footer();
}
