// SPDX-License-Identifier: MIT
// check_dbhealth: connect to a MySQL server, report its one-line statistics
// with fifteen global status variables as performance data, and with -S
// check that it replicates, and how far behind it is.
#include <getopt.h>
#include <mysql.h>
#include <errmsg.h>
#include <mysqld_error.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common.h"
#include "db_connect.h"
#include "db_grants.h"
#include "db_help.h"
#include "kitcore.h"
#include "plugin_routines.h"
#include "replica_channels.h"
#include "replica_status.h"
#include "status_text.h"

const char *progname = "check_dbhealth";

// Where and how to connect: db_host, db_user, db_pass, db, db_port,
// db_socket, opt_file, opt_group, TLS (ssl, cert, key, ca_cert, ca_dir,
// ciphers) and the run's timeout.
static db_settings conn = db_settings_default();
static int check_slave = 0;
static int ignore_auth = 0;
static bool check_grants = false;  // --check-grants
static int verbose = 0;
static double warning_time = 0.0;
static double critical_time = 0.0;
static thresholds *my_threshold = nullptr;

// Status variables reported without a unit, and ever-growing counters.
static const char *const metric_unit[] = {
	"Open_files", "Open_tables", "Qcache_free_memory", "Qcache_queries_in_cache",
	"Threads_connected", "Threads_running",
};
static const char *const metric_counter[] = {
	"Connections", "Qcache_hits", "Qcache_inserts", "Qcache_lowmem_prunes",
	"Qcache_not_cached", "Queries", "Questions", "Table_locks_waited", "Uptime",
};

static int process_arguments(int argc, char **argv);
static int validate_arguments(void);
static void print_help(void);

// Close the connection, then end the run: the server would count a dropped
// connection as an aborted client and log it on every check.
[[noreturn]] static void close_and_die(MYSQL *mysql, int state, const char *fmt, const char *text) {
	mysql_close(mysql);
	db_die(state, fmt, text);
}

static void connect_or_die(MYSQL *mysql) {
	if (db_connect(mysql, &conn))
		return;

	unsigned int err = mysql_errno(mysql);
	if (ignore_auth && err == ER_ACCESS_DENIED_ERROR) {
		// The server answered, which is all -n asks for; after a denied
		// login the client library may no longer know the version.
		const char *version = mysql_get_server_info(mysql);
		printf("MySQL OK - Version: %s (protocol %d)\n", version ? status_shown_text(version) : "unknown",
		       mysql_get_proto_info(mysql));
		mysql_close(mysql);
		db_plugin_finish(STATE_OK);
	}
	db_die(db_connect_failure_state(err), "%s\n", status_shown_text(db_connect_error(mysql)));
}

// The server's statistics text, copied. On an error the client library
// returns its error text in place of the statistics, so the error number,
// not the text, tells whether the server answered.
static char *fetch_statistics(MYSQL *mysql) {
	const char *stat = mysql_stat(mysql);
	if (mysql_errno(mysql) != 0 || !stat)
		close_and_die(mysql, STATE_CRITICAL, "%s\n", status_shown_text(mysql_error(mysql)));
	return status_shown_text(stat);
}

// Add an item for each name of \a table that equals \a name.
template <size_t N>
static void add_items(char **perf, const char *name, const char *value,
                      const char *const (&table)[N], const char *unit) {
	for (const char *wanted : table)
		if (strcmp(name, wanted) == 0)
			xasprintf(perf, "%s%s ", *perf,
			          perfdata(wanted, value ? atol(value) : 0, unit, FALSE, 0, FALSE, 0,
			                   FALSE, 0, FALSE, 0));
}

// One item per row whose name stands in a table, in the server's row order.
static char *collect_status(MYSQL *mysql) {
	char *perf = db_empty_text();
	if (mysql_query(mysql, "show global status") != 0)
		return perf;
	MYSQL_RES *res = mysql_store_result(mysql);
	if (!res)
		close_and_die(mysql, STATE_CRITICAL, _("status store_result error: %s\n"),
		              status_shown_text(mysql_error(mysql)));

	// Only rows that begin with the first letter of a name in the tables
	// are compared; most of the hundreds of rows need no comparison.
	bool first_letter[256] = {};
	for (const char *name : metric_unit)
		first_letter[static_cast<unsigned char>(name[0])] = true;
	for (const char *name : metric_counter)
		first_letter[static_cast<unsigned char>(name[0])] = true;

	MYSQL_ROW row;
	while ((row = mysql_fetch_row(res)) != nullptr) {
		if (!row[0] || !first_letter[static_cast<unsigned char>(row[0][0])])
			continue;
		add_items(&perf, row[0], row[1], metric_unit, "");
		add_items(&perf, row[0], row[1], metric_counter, "c");
	}
	mysql_free_result(res);
	size_t len = strlen(perf);
	if (len > 0)
		perf[len - 1] = '\0';
	return perf;
}

// The replica check: returns on the good outcome with the summary in
// slaveresult and the lag item added to perf; every other outcome ends the
// run.
static void check_replica(MYSQL *mysql, char *slaveresult, size_t size, char **perf) {
	bool replica_names = false;
	if (mysql_query(mysql, "show slave status") != 0) {
		// Newer servers know only the replica spelling.
		if (mysql_errno(mysql) != ER_PARSE_ERROR || mysql_query(mysql, "SHOW REPLICA STATUS") != 0)
			close_and_die(mysql, STATE_CRITICAL, _("slave query error: %s\n"),
			              status_shown_text(mysql_error(mysql)));
		replica_names = true;
	}
	MYSQL_RES *res = mysql_store_result(mysql);
	if (!res)
		close_and_die(mysql, STATE_CRITICAL, _("slave store_result error: %s\n"),
		              status_shown_text(mysql_error(mysql)));
	if (mysql_num_rows(res) == 0) {
		mysql_free_result(res);
		close_and_die(mysql, STATE_WARNING, "%s\n", _("No slaves defined"));
	}
	MYSQL_ROW row = mysql_fetch_row(res);
	if (!row) {
		char *error = status_shown_text(mysql_error(mysql));
		mysql_free_result(res);
		close_and_die(mysql, STATE_CRITICAL, _("slave fetch row error: %s\n"), error);
	}

	int num_fields = static_cast<int>(mysql_num_fields(res));
	MYSQL_FIELD *fields = mysql_fetch_fields(res);
	std::vector<const char *> names(num_fields > 0 ? num_fields : 0);
	for (int i = 0; i < num_fields; i++)
		names[i] = fields[i].name;
	replica_verdict v = judge_replica_row(num_fields, names.data(), row, replica_names,
	                                      my_threshold, warning_time, critical_time, verbose);
	mysql_free_result(res);
	snprintf(slaveresult, size, "%s", v.summary);
	fputs(v.trace.c_str(), stdout);
	if (!v.lag_item.empty())
		xasprintf(perf, "%s %s", *perf, v.lag_item.c_str());

	switch (v.outcome) {
	case replica_outcome::good:
		return;
	case replica_outcome::unavailable:
		mysql_close(mysql);
		db_die(STATE_CRITICAL, "Slave status unavailable\n");
	case replica_outcome::not_running:
		close_and_die(mysql, STATE_CRITICAL, "%s\n", slaveresult);
	case replica_outcome::slow_warning:
		mysql_close(mysql);
		db_die(STATE_WARNING, "SLOW_SLAVE %s: %s|%s\n", _("WARNING"), slaveresult, *perf);
	case replica_outcome::not_a_number:
		close_and_die(mysql, STATE_UNKNOWN, _("Seconds Behind Master is not a number: %s\n"),
		              slaveresult);
	case replica_outcome::slow_critical:
		mysql_close(mysql);
		db_die(STATE_CRITICAL, "SLOW_SLAVE %s: %s|%s\n", _("CRITICAL"), slaveresult, *perf);
	}
}

int main(int argc, char **argv) {
	argv = db_plugin_start(&argc, argv, progname);
	if (process_arguments(argc, argv) == ERROR)
		usage4(_("Could not parse arguments"));

	MYSQL mysql;
	connect_or_die(&mysql);
	if (check_grants) {
		const char *info = mysql_get_server_info(&mysql);
		const unsigned long version = mysql_get_server_version(&mysql);
		std::vector<db_grant_need> needs = {{"show global status", ""}};
		if (check_slave)
			needs.push_back({replica_status_statement(info, version),
			                 replica_status_privilege(info, version)});
		db_check_grants(&mysql, needs);
	}
	char *result = fetch_statistics(&mysql);
	char *perf = collect_status(&mysql);
	char slaveresult[70] = "";
	if (check_slave)
		check_replica(&mysql, slaveresult, sizeof slaveresult, &perf);
	mysql_close(&mysql);

	if (check_slave)
		printf("%s %s|%s\n", result, slaveresult, perf);
	else
		printf("%s|%s\n", result, perf);
	db_plugin_finish(STATE_OK);
}

static const char short_options[] = "hvVnSc:w:" DB_CONNECTION_SHORTOPTS;
static const struct option longopts[] = {
	DB_CONNECTION_LONGOPTS,
	{"critical", required_argument, nullptr, 'c'},
	{"warning", required_argument, nullptr, 'w'},
	{"check-slave", no_argument, nullptr, 'S'},
	{"ignore-auth", no_argument, nullptr, 'n'},
	DB_STANDARD_LONGOPTS,
	DB_TLS_LONGOPTS,
	DB_TIMEOUT_LONGOPTS,
	DB_GRANTS_LONGOPTS,
	{nullptr, 0, nullptr, 0},
};

// Fill the first of host, user, password and database that is still absent,
// then ports; a text that is no port ends the positional arguments.
static void take_positional(int argc, char **argv) {
	for (int i = optind; i < argc; i++) {
		if (!conn.db_host) {
			db_connection_option('H', argv[i], &conn);
		} else if (!conn.db_user) {
			conn.db_user = argv[i];
		} else if (!conn.db_pass) {
			// As with -p: a password must not show in the process table.
			db_connection_option('p', argv[i], &conn);
		} else if (!conn.db) {
			conn.db = argv[i];
		} else if (is_intnonneg(argv[i])) {
			// Checked as -P is: 95852 must not become port 30316.
			db_connection_option('P', argv[i], &conn);
		} else {
			return;
		}
	}
}

// The range texts of the last -w and -c, until the thresholds are built.
static char *warning = nullptr;
static char *critical = nullptr;

static void apply_option(int c, char *arg) {
	switch (c) {
	case 'w':
		warning = arg;
		warning_time = strtod(warning, nullptr);
		break;
	case 'c':
		critical = arg;
		critical_time = strtod(critical, nullptr);
		break;
	case 'S':
		check_slave = 1;
		break;
	case 'n':
		ignore_auth = 1;
		break;
	case DB_OPT_CHECK_GRANTS:
		check_grants = true;
		break;
	case 'v':
		verbose++;
		break;
	}
}

static int process_arguments(int argc, char **argv) {
	int parsed = db_parse_options(argc, argv, short_options, longopts, &conn, apply_option, print_help);
	if (parsed == ERROR)
		return ERROR;
	// An invalid range ends the run before any positional argument is read.
	set_thresholds(&my_threshold, warning, critical);
	take_positional(argc, argv);
	return validate_arguments();
}

static int validate_arguments(void) {
	db_settings_complete(&conn);
	return OK;
}

void print_usage(void) {
	printf("%s\n", _("Usage:"));
	printf(" %s [-d database] [-H host] [-P port] [-s socket]\n", progname);
	printf("       [-u user] [-p password] [-S] [-l] [-a cert] [-k key]\n");
	printf("       [-C ca-cert] [-D ca-dir] [-L ciphers] [-f optfile] [-g group]\n");

}

static void print_help(void) {
	db_help_banner(progname);
	printf("%s\n", _("This program tests connections to a MySQL server"));
	printf("\n\n");
	print_usage();
	db_help_standard_options();
	db_help_host_port();
	db_help_entry("-n, --ignore-auth",
	            _("Ignore authentication failure and check for mysql connectivity only"));
	db_help_login();
	db_help_entry("-S, --check-slave", _("Check if the slave thread is running properly."));
	db_help_entry("-w, --warning",
	            _("Exit with WARNING status if slave server is more than INTEGER seconds"));
	printf("    %s\n", _("behind master"));
	db_help_entry("-c, --critical",
	            _("Exit with CRITICAL status if slave server is more then INTEGER seconds"));
	printf("    %s\n", _("behind master"));
	db_help_tls();
	db_help_timeout();
	db_help_check_grants();
	printf("\n");
	printf(" %s\n", _("There are no required arguments. By default, the local database is checked"));
	printf(" %s\n", _("using the default unix socket. You can force TCP on localhost by using an"));
	printf(" %s\n", _("IP address or FQDN ('localhost' will use the socket as well)."));
	printf("\n");
	db_help_footer();
}
