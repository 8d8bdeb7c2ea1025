// SPDX-License-Identifier: MIT
// check_dbcluster: check a node of a Galera cluster: ready, connected, in
// the Primary component and synced, the cluster's size, how much of the
// time since the previous run flow control paused replication, and the
// receive queue.
#include <getopt.h>
#include <mysql.h>

#include <cctype>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "build_config.h"
#include "cluster_state.h"
#include "common.h"
#include "db_connect.h"
#include "db_grants.h"
#include "db_help.h"
#include "db_rows.h"
#include "db_state_check.h"
#include "db_state_key.h"
#include "kitcore.h"
#include "plugin_routines.h"
#include "state_queries.h"
#include "status_expr.h"

const char *progname = "check_dbcluster";

// Where and how to connect: host, port, socket, user, password, database,
// option file and group, TLS and the run's timeout.
static db_settings conn = db_settings_default();
static cluster_settings settings;
// The range texts, until the thresholds are built.
static char *size_warning = nullptr, *size_critical = nullptr;
static char *flow_warning = nullptr, *flow_critical = nullptr;
static char *queue_warning = nullptr, *queue_critical = nullptr;
static bool check_grants = false;

static int process_arguments(int argc, char **argv);
static void print_help(void);

// The node's Uptime and kept counters by lower-case name, as the previous
// run's sample is weighed against; false when one is missing or no number
// (the verdict says which).
static bool counter_sample(const std::map<std::string, std::string> &status, expr_sample *sample) {
	std::vector<std::string> names(cluster_counters.begin(), cluster_counters.end());
	names.push_back("Uptime");
	for (const std::string &name : names) {
		auto found = status.find(name);
		server_value value;
		if (found == status.end() || !expr_text_number(found->second.c_str(), &value.number))
			return false;
		value.numeric = true;
		value.text = found->second;
		std::string lower = name;
		for (char &c : lower)
			c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
		sample->status[lower] = value;
	}
	return true;
}

// Count from the previous run's sample of this server (key \a key) when it
// follows on from this one, taken at \a at: not after a restart of the node
// or FLUSH STATUS. \a *keep tells whether this sample may replace the
// kept one: not when the state holds a newer one, of an overlapping run.
static cluster_interval previous_run(const std::string &key, double at, expr_sample *sample,
                                     bool *keep) {
	db_state_enable(progname, key);
	cluster_interval interval;
	expr_previous previous = expr_previous::none;
	if (state_data *state = kr_state_read())
		previous = expr_take_previous(static_cast<const char *>(state->data), cluster_counters, at,
		                              expr_now(), sample);
	*keep = previous != expr_previous::newer;
	if (previous == expr_previous::follows) {
		interval.since_start = false;
		interval.seconds = sample->seconds;
		interval.paused_ns = sample->previous["wsrep_flow_control_paused_ns"];
		interval.cert_failures = sample->previous["wsrep_local_cert_failures"];
	}
	return interval;
}

int main(int argc, char **argv) {
	db_prefix_every_line("CLUSTER");
	argv = db_plugin_start(&argc, argv, progname);
	if (process_arguments(argc, argv) == ERROR)
		usage4(_("Could not parse arguments"));

	MYSQL mysql;
	db_state_connect(&mysql, &conn);
	if (check_grants)
		// No statement needs a privilege: any refusal is the server's to name.
		db_check_grants(&mysql, {{CLUSTER_WSREP_ON, ""}, {CLUSTER_STATUS, ""}});
	const char *failure = _("wsrep query failed");
	std::string wsrep_on = db_query_pairs(&mysql, CLUSTER_WSREP_ON, failure)["wsrep_on"];
	std::map<std::string, std::string> status;
	double at = expr_now();
	// A server without the provider has nothing more to tell.
	if (wsrep_on == "ON")
		status = db_query_pairs(&mysql, CLUSTER_STATUS, failure);
	std::string key = cluster_state_key(mysql.host, mysql.port, mysql.unix_socket);
	mysql_close(&mysql);

	expr_sample sample;
	cluster_interval interval;
	bool keep = false;
	if (wsrep_on == "ON" && counter_sample(status, &sample))
		interval = previous_run(key, at, &sample, &keep);
	cluster_verdict v = judge_cluster(wsrep_on, status, settings, interval);
	if (keep && v.measured) {
		std::vector<double> counters;
		for (const std::string &name : cluster_counters)
			counters.push_back(sample.status[name].number);
		kr_state_write_string(0, expr_encode_sample(sample.status["uptime"].number, at, counters).c_str());
	}
	if (v.perf.empty())
		printf("CLUSTER %s: %s\n", db_state_word(v.state), v.text.c_str());
	else
		printf("CLUSTER %s: %s | %s\n", db_state_word(v.state), v.text.c_str(), v.perf.c_str());
	db_plugin_finish(v.state);
}

enum {
	OPT_FLOW_CONTROL_WARNING = 0x200,
	OPT_FLOW_CONTROL_CRITICAL,
	OPT_RECV_QUEUE_WARNING,
	OPT_RECV_QUEUE_CRITICAL,
	OPT_DONOR_OK,
};

static const char short_options[] = "hvVw:c:" DB_CONNECTION_SHORTOPTS;
static const struct option longopts[] = {
	DB_CONNECTION_LONGOPTS,
	{"warning", required_argument, nullptr, 'w'},
	{"critical", required_argument, nullptr, 'c'},
	{"flow-control-warning", required_argument, nullptr, OPT_FLOW_CONTROL_WARNING},
	{"flow-control-critical", required_argument, nullptr, OPT_FLOW_CONTROL_CRITICAL},
	{"recv-queue-warning", required_argument, nullptr, OPT_RECV_QUEUE_WARNING},
	{"recv-queue-critical", required_argument, nullptr, OPT_RECV_QUEUE_CRITICAL},
	{"donor-ok", no_argument, nullptr, OPT_DONOR_OK},
	DB_STANDARD_LONGOPTS,
	DB_TLS_LONGOPTS,
	DB_TIMEOUT_LONGOPTS,
	DB_GRANTS_LONGOPTS,
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
	case OPT_RECV_QUEUE_WARNING:
		queue_warning = arg;
		break;
	case OPT_RECV_QUEUE_CRITICAL:
		queue_critical = arg;
		break;
	case DB_OPT_CHECK_GRANTS:
		check_grants = true;
		break;
	case OPT_DONOR_OK:
		settings.donor_ok = true;
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
	set_thresholds(&settings.recv_queue, queue_warning, queue_critical);
	db_state_no_positional(argc, argv, &conn);
	return OK;
}

void print_usage(void) {
	printf("%s\n", _("Usage:"));
	db_state_usage_connection();
	printf("       [-w RANGE] [-c RANGE] [--flow-control-warning=RANGE]\n");
	printf("       [--flow-control-critical=RANGE] [--recv-queue-warning=RANGE]\n");
	printf("       [--recv-queue-critical=RANGE] [--donor-ok] [-v]\n");
	printf("       [--check-grants]\n");
}

static void print_help(void) {
	db_help_banner(progname);
	printf("%s\n", _("This program checks a node of a Galera cluster: it must be ready, connected,"));
	printf("%s\n", _("in the Primary component and Synced (Donor/Desynced is WARNING)."));
	printf("%s\n", _("Flow control and certification failures count from the previous run."));
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
	db_help_entry("--recv-queue-warning=RANGE",
	              _("Write sets waiting in the receive queue that give WARNING"));
	db_help_entry("--recv-queue-critical=RANGE",
	              _("Write sets waiting in the receive queue that give CRITICAL"));
	db_help_entry("--donor-ok",
	              _("Donor/Desynced is OK, for nodes that backups desync on purpose"));
	db_help_entry("-v, --verbose",
	              _("Show the percentage paused by flow control and the receive queue, now and on average"));
	db_help_tls();
	db_help_timeout();
	db_help_check_grants();
	printf("\n");
	printf(" %s\n", _("A server that is no cluster node (wsrep_on OFF) gives UNKNOWN."));
	printf(" %s\n", _("The percentage paused by flow control and the rate of certification failures"));
	printf(" %s\n", _("count from the previous run on the same server, kept in the state directory:"));
	printf(" ");
	printf(_("$KIVREL_PLUGIN_STATE_DIRECTORY if set, else %s.\n"), KIVREL_STATE_DIR);
	printf(" %s\n", _("The first run, and the first after the node's restart, count from the"));
	printf(" %s\n", _("node's start and say \"since start\"."));
	printf(" %s\n", _("Needs no privilege beyond a login."));
	printf("\n");
	db_help_footer();
}
