// SPDX-License-Identifier: MIT
// check_dbquery: run one SQL query on a MySQL server and classify the
// number in the first column of the first row against warning and critical
// ranges.
#include <getopt.h>
#include <mysql.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common.h"
#include "db_connect.h"
#include "db_failure.h"
#include "db_grants.h"
#include "db_help.h"
#include "kitcore.h"
#include "plugin_routines.h"
#include "query_rows.h"
#include "status_text.h"

const char *progname = "check_dbquery";

// Where and how to connect: db_host, db_user, db_pass, db, db_port,
// db_socket, opt_file, opt_group, TLS and the run's timeout.
static db_settings conn = db_settings_default();
static char *sql_query = nullptr;
static int verbose = 0;
static thresholds *my_thresholds = nullptr;

// What the run judges: the first field as a number, or, with the options
// of the same names, the row count, an expected text, or named columns.
enum class query_mode { first_number, rows, expect, columns };
static query_mode mode = query_mode::first_number;
static unsigned long long max_rows = 10000;
static bool max_rows_given = false;
static query_expect expect;
static std::vector<query_column> columns;
static const char *label_column = nullptr;
static bool check_grants = false;  // --check-grants

static int process_arguments(int argc, char **argv);
static int validate_arguments(void);
static void print_help(void);

static void connect_or_die(MYSQL *mysql) {
	if (!db_connect(mysql, &conn)) {
		db_die(db_connect_failure_state(mysql_errno(mysql)), "%s\n",
		       status_shown_text(db_connect_error(mysql)));
	}
}

// --check-grants: run the query in a read-only transaction that is never
// committed. Which privilege an arbitrary query needs only the server can
// tell, so a refusal is shown in its own words.
[[noreturn]] static void check_query_grants(void) {
	MYSQL mysql;
	connect_or_die(&mysql);
	if (mysql_query(&mysql, "START TRANSACTION READ ONLY") != 0)
		db_statement_failed(&mysql, _("Query failed"), nullptr);
	db_check_grants(&mysql, {{sql_query, ""}});
}

// Connect and run the query. Every failure ends the run.
static void connect_and_query(MYSQL *mysql) {
	connect_or_die(mysql);

	if (mysql_query(mysql, sql_query) != 0) {
		char *error = status_shown_text(mysql_error(mysql));
		mysql_close(mysql);
		db_die(STATE_CRITICAL, "%s - %s\n", _("Error with query"), error);
	}
}

// Connect, run the query and return a private copy of the first field of the
// first row (null for SQL NULL). Every failure ends the run.
static char *fetch_first_field(MYSQL *mysql) {
	connect_and_query(mysql);

	MYSQL_RES *res = mysql_store_result(mysql);
	if (!res) {
		char *error = status_shown_text(mysql_error(mysql));
		mysql_close(mysql);
		db_die(STATE_CRITICAL, "Error with store_result - %s\n", error);
	}

	if (mysql_num_rows(res) == 0) {
		mysql_close(mysql);
		db_die(STATE_WARNING, "%s\n", _("No rows returned"));
	}

	MYSQL_ROW row = mysql_fetch_row(res);
	if (!row) {
		char *error = status_shown_text(mysql_error(mysql));
		mysql_free_result(res);
		mysql_close(mysql);
		db_die(STATE_CRITICAL, "Fetch row error - %s\n", error);
	}

	char *field = nullptr;
	unsigned long *lengths = mysql_fetch_lengths(res);
	if (row[0] && lengths && memchr(row[0], '\0', lengths[0])) {
		// A C string would end at the NUL and pass its start as the
		// number; show every byte instead, the NULs as \0, and let the
		// numeric test reject it.
		std::string shown;
		for (unsigned long i = 0; i < lengths[0]; i++)
			shown += row[0][i] ? std::string(1, row[0][i]) : std::string("\\0");
		xasprintf(&field, "%s", shown.c_str());
	} else if (row[0]) {
		xasprintf(&field, "%s", row[0]);
	}
	mysql_free_result(res);
	mysql_close(mysql);
	return field;
}

// The run of --rows, --expect, --expect-regex and --column; returns the
// state.
static int check_rows(MYSQL *mysql) {
	connect_and_query(mysql);
	std::vector<std::string> names;
	for (const query_column &column : columns)
		names.push_back(column.name);
	if (label_column)
		names.push_back(label_column);
	// An expected text needs the first field only; the other rows are read
	// and dropped, so that the connection ends cleanly.
	query_rows rows = read_query_rows(mysql, mode == query_mode::expect ? ULLONG_MAX : max_rows, names,
	                                  mode == query_mode::expect);
	std::string text, perf;
	int status = STATE_OK;
	if (mode == query_mode::rows) {
		status = rows_verdict(rows, my_thresholds, &text, &perf);
	} else if (mode == query_mode::expect) {
		status = expect_verdict(rows, expect, &text);
	} else {
		if (rows.count == 0)
			db_die(STATE_WARNING, "%s\n", _("No rows returned"));
		status = columns_verdict(rows, columns, label_column != nullptr, &text, &perf);
	}
	printf("QUERY %s: '%s' %s", db_state_word(status), status_shown_text(sql_query), text.c_str());
	if (!perf.empty())
		printf(" | %s", perf.c_str());
	printf("\n");
	return status;
}

int main(int argc, char **argv) {
	argv = db_plugin_start(&argc, argv, progname);
	db_set_status_prefix("QUERY");
	if (process_arguments(argc, argv) == ERROR)
		usage4(_("Could not parse arguments"));

	if (check_grants)
		check_query_grants();
	MYSQL mysql;
	if (mode != query_mode::first_number)
		db_plugin_finish(check_rows(&mysql));
	char *result = fetch_first_field(&mysql);

	double value = 0;
	if (!kr_read_number(result, &value))
		db_die(STATE_CRITICAL, "%s - '%s'\n", _("Is not a numeric"),
		       result ? status_shown_text(result) : "NULL");

	if (verbose >= 3)
		printf("mysql result: %f\n", value);

	int status = get_status(value, my_thresholds);
	range *warn = my_thresholds->warning;
	range *crit = my_thresholds->critical;
	char *perf = fperfdata("result", value, "",
	                       warn != nullptr, warn ? warn->end : 0.0,
	                       crit != nullptr, crit ? crit->end : 0.0,
	                       FALSE, 0.0, FALSE, 0.0);
	printf("QUERY %s: ", db_state_word(status));
	printf(_("'%s' returned %f | %s"), status_shown_text(sql_query), value, perf);
	printf("\n");

	db_plugin_finish(status);
}

// Long-only options.
enum { OPT_ROWS = 0x101, OPT_MAX_ROWS, OPT_EXPECT, OPT_EXPECT_REGEX, OPT_COLUMN, OPT_LABEL_COLUMN };

static const char short_options[] = "hvVq:w:c:" DB_CONNECTION_SHORTOPTS;
static const struct option longopts[] = {
	DB_CONNECTION_LONGOPTS,
	DB_STANDARD_LONGOPTS,
	{"query", required_argument, nullptr, 'q'},
	{"warning", required_argument, nullptr, 'w'},
	{"critical", required_argument, nullptr, 'c'},
	{"rows", no_argument, nullptr, OPT_ROWS},
	{"max-rows", required_argument, nullptr, OPT_MAX_ROWS},
	{"expect", required_argument, nullptr, OPT_EXPECT},
	{"expect-regex", required_argument, nullptr, OPT_EXPECT_REGEX},
	{"column", required_argument, nullptr, OPT_COLUMN},
	{"label-column", required_argument, nullptr, OPT_LABEL_COLUMN},
	DB_GRANTS_LONGOPTS,
	DB_TLS_LONGOPTS,
	DB_TIMEOUT_LONGOPTS,
	{nullptr, 0, nullptr, 0},
};

// The range texts of the last -w and -c, until the thresholds are built.
static char *warning = nullptr;
static char *critical = nullptr;

// Each of --rows, --expect, --expect-regex and --column asks for another
// judgement; two of them make no sense together.
static void set_mode(query_mode wanted) {
	if (mode != query_mode::first_number && mode != wanted)
		usage(_("Use only one of --rows, --expect, --expect-regex and --column"));
	mode = wanted;
}

static void set_expect(const char *text, bool is_regex) {
	set_mode(query_mode::expect);
	static bool given = false;
	if (given && expect.is_regex != is_regex)
		usage(_("Use only one of --rows, --expect, --expect-regex and --column"));
	if (given && expect.is_regex)
		regfree(&expect.regex);
	given = true;
	expect.text = text;
	expect.is_regex = is_regex;
	if (is_regex)
		kr_ctype_from_locale();
	if (is_regex && regcomp(&expect.regex, text, REG_EXTENDED | REG_NOSUB) != 0)
		usage2(_("Invalid regular expression"), text);
}

// Apply an option of the row, text and column checks; false when \a c is
// none of them.
static bool apply_rows_option(int c, char *arg) {
	switch (c) {
	case OPT_ROWS:
		set_mode(query_mode::rows);
		return true;
	case OPT_MAX_ROWS:
		if (!is_intnonneg(arg) || atoi(arg) < 1)
			usage2(_("Invalid row limit"), arg);
		max_rows = static_cast<unsigned long long>(atoi(arg));
		max_rows_given = true;
		return true;
	case OPT_EXPECT:
	case OPT_EXPECT_REGEX:
		set_expect(arg, c == OPT_EXPECT_REGEX);
		return true;
	case OPT_COLUMN:
		set_mode(query_mode::columns);
		columns.push_back(query_column{arg});
		return true;
	case DB_OPT_CHECK_GRANTS:
		check_grants = true;
		break;
	case OPT_LABEL_COLUMN:
		label_column = arg;
		return true;
	}
	return false;
}

static void apply_option(int c, char *arg) {
	if (apply_rows_option(c, arg))
		return;
	// -w and -c after a --column are that column's ranges.
	if ((c == 'w' || c == 'c') && !columns.empty()) {
		(c == 'w' ? columns.back().warning : columns.back().critical) = arg;
		return;
	}
	switch (c) {
	case 'v':
		verbose++;
		break;
	case 'q':
		xasprintf(&sql_query, "%s", arg);
		break;
	case 'w':
		warning = arg;
		break;
	case 'c':
		critical = arg;
		break;
	}
}

static int process_arguments(int argc, char **argv) {
	int parsed = db_parse_options(argc, argv, short_options, longopts, &conn, apply_option, print_help);
	if (parsed == ERROR)
		return ERROR;
	set_thresholds(&my_thresholds, warning, critical);
	for (query_column &column : columns)
		set_thresholds(&column.limits, column.warning, column.critical);
	// A query given without -q, or a mistyped option's value, is no query
	// to leave out silently.
	db_no_positional(argc, argv);
	return validate_arguments();
}

static int validate_arguments(void) {
	if (!sql_query)
		usage("Must specify a SQL query to run");
	if (mode == query_mode::columns && (warning || critical))
		usage(_("-w and -c must follow the --column they apply to"));
	if (mode == query_mode::expect && (warning || critical))
		usage(_("--expect and --expect-regex take no -w or -c"));
	if (label_column && mode != query_mode::columns)
		usage(_("--label-column needs --column"));
	if (max_rows_given && mode != query_mode::rows && mode != query_mode::columns)
		usage(_("--max-rows needs --rows or --column"));
	db_settings_complete(&conn);
	return OK;
}

void print_usage(void) {
	printf("%s\n", _("Usage:"));
	printf(" %s -q SQL_query [-w warn] [-c crit] [-H host] [-P port] [-s socket]\n", progname);
	printf("       [-d database] [-u user] [-p password] [-f optfile] [-g group]\n");

}

static void print_help(void) {
	db_help_banner(progname);
	printf("%s\n", _("This program checks a query result against threshold levels"));
	printf("\n\n");
	print_usage();
	db_help_standard_options();
	printf(" -q, --query=STRING\n");
	printf("    %s\n", _("SQL query to run. Only first column in first row will be read"));
	printf(_(" -w, --warning=RANGE\n"
	         "    Warning range (format: start:end). Alert if outside this range\n"
	         " -c, --critical=RANGE\n    Critical range\n"));
	db_help_entry("--rows", _("Classify the number of rows instead of the first field"));
	db_help_entry("--max-rows=INTEGER", _("Read at most this many rows (default: 10000)"));
	db_help_entry("--expect=STRING", _("The first field must be this text, else CRITICAL"));
	db_help_entry("--expect-regex=REGEX",
	              _("The first field must match this extended regular expression, else CRITICAL"));
	db_help_entry("--column=NAME", _("Classify this column of every row (repeatable); the -w and -c"));
	printf("    %s\n", _("after it are its ranges"));
	db_help_entry("--label-column=NAME", _("Name the rows by this column (default: numbers from 1)"));
	db_help_host_port();
	printf(" %s\n", "-s, --socket=STRING");
	printf("    %s\n", _("Use the specified socket (has no effect if -H is used)"));
	printf(" -d, --database=STRING\n");
	printf("    %s\n", _("Database to check"));
	db_help_option_files();
	printf(" -u, --username=STRING\n");
	printf("    %s\n", _("Username to login with"));
	db_help_password(_("Password to login with"));
	db_help_tls();
	db_help_timeout();
	db_help_check_grants();
	printf("\n");
	printf(" %s\n", _("A query is required. The result from the query should be numeric."));
	printf(" %s\n", _("For extra security, create a user with minimal access."));
	printf("\n");
	db_help_footer();
}
