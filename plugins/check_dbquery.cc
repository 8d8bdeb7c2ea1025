// check_dbquery: run one SQL query on a MySQL server and classify the
// number in the first column of the first row against warning and critical
// ranges.
#include <getopt.h>
#include <mysql.h>
#include <errmsg.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "argmerge.h"
#include "common.h"
#include "kitcore.h"
#include "plugin_routines.h"

const char *progname = "check_dbquery";

static char *db_host = nullptr;
static char *db_socket = nullptr;
static char *db_user = nullptr;
static char *db_pass = nullptr;
static char *db = nullptr;
static char *opt_file = nullptr;
static char *opt_group = nullptr;
static unsigned int db_port = MYSQL_PORT;
static char *sql_query = nullptr;
static int verbose = 0;
static thresholds *my_thresholds = nullptr;

static int process_arguments(int argc, char **argv);
static int validate_arguments(void);
static void print_help(void);

// Client errors that say the check could not even try the server; the rest
// (refused, denied, gone away) mean the server is in trouble.
static int connect_failure_state(unsigned int err) {
	switch (err) {
	case CR_UNKNOWN_HOST:
	case CR_VERSION_ERROR:
	case CR_OUT_OF_MEMORY:
	case CR_IPSOCK_ERROR:
	case CR_SOCKET_CREATE_ERROR:
		return STATE_WARNING;
	default:
		return STATE_CRITICAL;
	}
}

static const char *state_word(int state) {
	switch (state) {
	case STATE_OK:
		return _("OK");
	case STATE_WARNING:
		return _("WARNING");
	default:
		return _("CRITICAL");
	}
}

// The client's error text, copied so it outlives the connection.
static char *copy_error(MYSQL *mysql) {
	char *error = nullptr;
	xasprintf(&error, "%s", mysql_error(mysql));
	return error;
}

// Connect, run the query and return a private copy of the first field of the
// first row (null for SQL NULL). Every failure ends the run.
static char *fetch_first_field(MYSQL *mysql) {
	mysql_init(mysql);
	if (opt_file)
		mysql_options(mysql, MYSQL_READ_DEFAULT_FILE, opt_file);
	mysql_options(mysql, MYSQL_READ_DEFAULT_GROUP, opt_group ? opt_group : "client");

	if (!mysql_real_connect(mysql, db_host, db_user, db_pass, db, db_port, db_socket, 0)) {
		int state = connect_failure_state(mysql_errno(mysql));
		die(state, "QUERY %s: %s\n", state_word(state), mysql_error(mysql));
	}

	if (mysql_query(mysql, sql_query) != 0) {
		char *error = copy_error(mysql);
		mysql_close(mysql);
		die(STATE_CRITICAL, "QUERY %s: %s - %s\n", _("CRITICAL"), _("Error with query"), error);
	}

	MYSQL_RES *res = mysql_store_result(mysql);
	if (!res) {
		char *error = copy_error(mysql);
		mysql_close(mysql);
		die(STATE_CRITICAL, "QUERY %s: Error with store_result - %s\n", _("CRITICAL"), error);
	}

	if (mysql_num_rows(res) == 0) {
		mysql_close(mysql);
		die(STATE_WARNING, "QUERY %s: %s\n", _("WARNING"), _("No rows returned"));
	}

	MYSQL_ROW row = mysql_fetch_row(res);
	if (!row) {
		char *error = copy_error(mysql);
		mysql_free_result(res);
		mysql_close(mysql);
		die(STATE_CRITICAL, "QUERY %s: Fetch row error - %s\n", _("CRITICAL"), error);
	}

	char *field = nullptr;
	if (row[0])
		xasprintf(&field, "%s", row[0]);
	mysql_free_result(res);
	mysql_close(mysql);
	return field;
}

int main(int argc, char **argv) {
	setlocale(LC_ALL, "");
	// Numbers from the server, in the status line and in performance data
	// always use the dot, whatever the operator's locale.
	setlocale(LC_NUMERIC, "C");
	bindtextdomain(PACKAGE, LOCALEDIR);
	textdomain(PACKAGE);

	argv = kr_argmerge(&argc, argv, progname);
	if (process_arguments(argc, argv) == ERROR)
		usage4(_("Could not parse arguments"));

	MYSQL mysql;
	char *result = fetch_first_field(&mysql);

	if (!is_numeric(result))
		die(STATE_CRITICAL, "QUERY %s: %s - '%s'\n", _("CRITICAL"), _("Is not a numeric"),
		    result ? result : "NULL");

	double value = strtod(result, nullptr);
	if (verbose >= 3)
		printf("mysql result: %f\n", value);

	int status = get_status(value, my_thresholds);
	range *warn = my_thresholds->warning;
	range *crit = my_thresholds->critical;
	char *perf = fperfdata("result", value, "",
	                       warn != nullptr, warn ? warn->end : 0.0,
	                       crit != nullptr, crit ? crit->end : 0.0,
	                       FALSE, 0.0, FALSE, 0.0);
	printf("QUERY %s: ", state_word(status));
	printf(_("'%s' returned %f | %s"), sql_query, value, perf);
	printf("\n");

	// A status line that did not reach the reader must not pass as a result.
	if (fflush(stdout) != 0 || ferror(stdout))
		return STATE_UNKNOWN;
	return status;
}

static const char short_options[] = "hvVP:p:u:d:H:s:q:w:c:f:g:";
static const struct option longopts[] = {
	{"hostname", required_argument, nullptr, 'H'},
	{"socket", required_argument, nullptr, 's'},
	{"database", required_argument, nullptr, 'd'},
	{"username", required_argument, nullptr, 'u'},
	{"password", required_argument, nullptr, 'p'},
	{"file", required_argument, nullptr, 'f'},
	{"group", required_argument, nullptr, 'g'},
	{"port", required_argument, nullptr, 'P'},
	{"verbose", no_argument, nullptr, 'v'},
	{"version", no_argument, nullptr, 'V'},
	{"help", no_argument, nullptr, 'h'},
	{"query", required_argument, nullptr, 'q'},
	{"warning", required_argument, nullptr, 'w'},
	{"critical", required_argument, nullptr, 'c'},
	{nullptr, 0, nullptr, 0},
};

static int process_arguments(int argc, char **argv) {
	char *warning = nullptr;
	char *critical = nullptr;

	if (argc < 1)
		return ERROR;

	int c;
	int option = 0;
	while ((c = getopt_long(argc, argv, short_options, longopts, &option)) != -1) {
		switch (c) {
		case 'H':
			if (!is_host(optarg))
				usage2(_("Invalid hostname/address"), optarg);
			db_host = optarg;
			break;
		case 's':
			db_socket = optarg;
			break;
		case 'd':
			db = optarg;
			break;
		case 'u':
			db_user = optarg;
			break;
		case 'p':
			xasprintf(&db_pass, "%s", optarg);
			// Hide the password from the process table.
			memset(optarg, 'X', strlen(optarg));
			break;
		case 'f':
			opt_file = optarg;
			break;
		case 'g':
			opt_group = optarg;
			break;
		case 'P':
			db_port = static_cast<unsigned int>(atoi(optarg));
			break;
		case 'v':
			verbose++;
			break;
		case 'V':
			print_revision(progname, NP_VERSION);
			exit(STATE_OK);
		case 'h':
			print_help();
			exit(STATE_OK);
		case 'q':
			xasprintf(&sql_query, "%s", optarg);
			break;
		case 'w':
			warning = optarg;
			break;
		case 'c':
			critical = optarg;
			break;
		default:  // '?': the parser has explained on standard error
			usage5();
		}
	}

	set_thresholds(&my_thresholds, warning, critical);
	return validate_arguments();
}

static char *empty_text(void) {
	return static_cast<char *>(calloc(1, 1));
}

static int validate_arguments(void) {
	if (!sql_query)
		usage("Must specify a SQL query to run");
	if (!db_user)
		db_user = empty_text();
	if (!db_host)
		db_host = empty_text();
	if (!db)
		db = empty_text();
	return OK;
}

void print_usage(void) {
	printf("%s\n", _("Usage:"));
	printf(" %s -q SQL_query [-w warn] [-c crit] [-H host] [-P port] [-s socket]\n", progname);
	printf("       [-d database] [-u user] [-p password] [-f optfile] [-g group]\n");
}

static void print_help(void) {
	char *myport = nullptr;
	xasprintf(&myport, "%d", MYSQL_PORT);

	print_revision(progname, NP_VERSION);
	printf(_("Copyright (c) 2026 The kivrel-plugins developers\n"
	         "This program is free software and comes with no warranty.\n"));
	printf("\n");
	printf("%s\n", _("This program checks a query result against threshold levels"));
	printf("\n\n");
	print_usage();
	printf(_("\nOptions:\n -h, --help\n    Print detailed help screen\n"
	         " -V, --version\n    Print version information\n"));
	printf(_(" --extra-opts=[section][@file]\n"
	         "    Read options from an ini file. See\n"
	         "    https://www.kivrel-plugins.org/doc/extra-opts.html\n"
	         "    for usage and examples.\n"));
	printf(" -q, --query=STRING\n");
	printf("    %s\n", _("SQL query to run. Only first column in first row will be read"));
	printf(_(" -w, --warning=RANGE\n"
	         "    Warning range (format: start:end). Alert if outside this range\n"
	         " -c, --critical=RANGE\n    Critical range\n"));
	printf(_(" -H, --hostname=ADDRESS\n"
	         "    Host name, IP Address, or unix socket (must be an absolute path)\n"
	         " -%c, --port=INTEGER\n    Port number (default: %s)\n"),
	       'P', myport);
	printf(" %s\n", "-s, --socket=STRING");
	printf("    %s\n", _("Use the specified socket (has no effect if -H is used)"));
	printf(" -d, --database=STRING\n");
	printf("    %s\n", _("Database to check"));
	printf(" %s\n", "-f, --file=STRING");
	printf("    %s\n", _("Read from the specified client options file"));
	printf(" %s\n", "-g, --group=STRING");
	printf("    %s\n", _("Use a client options group"));
	printf(" -u, --username=STRING\n");
	printf("    %s\n", _("Username to login with"));
	printf(" -p, --password=STRING\n");
	printf("    %s\n", _("Password to login with"));
	printf("    ==> %s <==\n", _("IMPORTANT: THIS FORM OF AUTHENTICATION IS NOT SECURE!!!"));
	printf("    %s\n", _("Your clear-text password could be visible as a process table entry"));
	printf("\n");
	printf(" %s\n", _("A query is required. The result from the query should be numeric."));
	printf(" %s\n", _("For extra security, create a user with minimal access."));
	printf("\n");
	printf("%s\n", _("Notes:"));
	printf(" %s\n", _("You must specify -p with an empty string to force an empty password,"));
	printf(" %s\n", _("overriding any my.cnf settings."));
	printf(_("\nSend email to help@kivrel-plugins.org if you have questions regarding use\n"
	         "of this software. To submit patches or suggest improvements, send email to\n"
	         "devel@kivrel-plugins.org\n\n"));
}
