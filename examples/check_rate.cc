// SPDX-License-Identifier: MIT
// check_rate: an example plugin built on checkkit. It runs a command that
// prints a counter (a number that only grows, such as bytes sent or requests
// served), keeps the counter between runs with state retention, and reports
// the counter's rate per second against warning and critical ranges.
//
//   c++ -o check_rate check_rate.cc $(pkg-config --cflags --libs kivrel-plugins)
//   ./check_rate -C '/usr/bin/cat /sys/class/net/lo/statistics/rx_bytes'
//                -l rx_bytes -w 1000000 -c 5000000
#include <getopt.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#if __has_include("build_config.h")
// Built in the source tree: the project's version, catalogue and folders.
#include "build_config.h"
#else
// Built on its own, against the installed kivrel-plugins-dev: a version of
// its own, and the messages of the installed kivrel-plugins catalogue.
#define NP_VERSION "1.0"
#define PACKAGE "kivrel-plugins"
#define LOCALEDIR "/usr/share/locale"
#endif
#include "common.h"
#include "kitcore.h"
#include "kitrun.h"
#include "plugin_routines.h"

const char *progname = "check_rate";

static char *command = nullptr;
static char *label = nullptr;
static char *key = nullptr;
static thresholds *my_thresholds = nullptr;

void print_usage(void) {
	printf("%s\n", _("Usage:"));
	printf(" %s -C command [-w warn] [-c crit] [-l label] [-k key]\n", progname);
}

static void print_help(void) {
	print_revision(progname, NP_VERSION);
	printf("%s\n\n", _("This plugin reports the rate per second of a counter that a command prints"));
	print_usage();
	printf(_("\nOptions:\n"
	         " -C, --command=COMMAND\n"
	         "    Command that prints the counter on its first line (no shell; 'quote'\n"
	         "    arguments that hold blanks)\n"
	         " -w, --warning=RANGE\n    Warning range of the rate per second\n"
	         " -c, --critical=RANGE\n    Critical range of the rate per second\n"
	         " -l, --label=TEXT\n    Name of the counter in the output (default: counter)\n"
	         " -k, --key=NAME\n"
	         "    Name of the kept state (letters, digits, '_'); default: one per command line\n"));
}

static void process_arguments(int argc, char **argv) {
	static const struct option longopts[] = {
		{"command", required_argument, nullptr, 'C'}, {"warning", required_argument, nullptr, 'w'},
		{"critical", required_argument, nullptr, 'c'}, {"label", required_argument, nullptr, 'l'},
		{"key", required_argument, nullptr, 'k'},     {"help", no_argument, nullptr, 'h'},
		{"version", no_argument, nullptr, 'V'},       {nullptr, 0, nullptr, 0},
	};
	char *warning = nullptr, *critical = nullptr;
	int c;
	while ((c = getopt_long(argc, argv, "C:w:c:l:k:hV", longopts, nullptr)) != -1) {
		switch (c) {
		case 'C': command = optarg; break;
		case 'w': warning = optarg; break;
		case 'c': critical = optarg; break;
		case 'l': label = optarg; break;
		case 'k': key = optarg; break;
		case 'h': print_help(); exit(STATE_OK);
		case 'V': print_revision(progname, NP_VERSION); exit(STATE_OK);
		default: usage5();
		}
	}
	if (!command)
		usage(_("A command is required (-C)"));
	set_thresholds(&my_thresholds, warning, critical);
}

// The counter on the command's first line; every failure ends the run.
static uintmax_t read_counter(void) {
	output out;
	int status = cmd_run(command, &out, nullptr, 0);
	if (status != 0)
		die(STATE_UNKNOWN, _("RATE UNKNOWN - the command ended with status %d\n"), status);
	const char *first = out.lines > 0 ? out.line[0] : "";
	char *end = nullptr;
	errno = 0;
	uintmax_t counter = strtoumax(first, &end, 10);
	if (end == first || *end != '\0' || errno != 0 || first[0] == '-')
		die(STATE_UNKNOWN, _("RATE UNKNOWN - the command printed no counter: '%s'\n"), first);
	return counter;
}

int main(int argc, char **argv) {
	setlocale(LC_ALL, "");
	setlocale(LC_NUMERIC, "C");
	bindtextdomain(PACKAGE, LOCALEDIR);
	textdomain(PACKAGE);
	process_arguments(argc, argv);
	if (!label)
		label = const_cast<char *>("counter");

	// The default key is made from the command line, so every distinct
	// command line keeps a counter of its own.
	kr_init(const_cast<char *>(progname), argc, argv);
	kr_enable_state(key, 1);

	uintmax_t counter = read_counter();
	time_t now = time(nullptr);
	state_data *previous = kr_state_read();
	uintmax_t before = 0;
	bool have_before = false;
	if (previous) {
		char *end = nullptr;
		before = strtoumax(static_cast<char *>(previous->data), &end, 10);
		have_before = end != previous->data && *end == '\0';
	}
	time_t then = previous ? previous->time : 0;
	char text[32];
	snprintf(text, sizeof text, "%" PRIuMAX, counter);
	kr_state_write_string(now, text);

	char *counter_item = perfdata(label, static_cast<long>(counter), "c", FALSE, 0, FALSE, 0,
	                              FALSE, 0, FALSE, 0);
	if (!have_before)
		die(STATE_OK, _("RATE OK - first sample of %s: %s; the rate follows from the next run|%s\n"),
		    label, text, counter_item);
	if (now <= then)
		die(STATE_UNKNOWN, _("RATE UNKNOWN - less than a second since the last sample|%s\n"),
		    counter_item);
	if (counter < before)
		die(STATE_OK, _("RATE OK - %s went back from %ju to %s (a restart?); the rate follows "
		                "from the next run|%s\n"),
		    label, before, text, counter_item);

	double rate = static_cast<double>(counter - before) / static_cast<double>(now - then);
	int status = get_status(rate, my_thresholds);
	range *warn = my_thresholds->warning;
	range *crit = my_thresholds->critical;
	char *rate_item = fperfdata("rate", rate, "", warn != nullptr, warn ? warn->end : 0.0,
	                            crit != nullptr, crit ? crit->end : 0.0, FALSE, 0, FALSE, 0);
	const char *word = status == STATE_OK        ? _("OK")
	                   : status == STATE_WARNING ? _("WARNING")
	                                             : _("CRITICAL");
	printf(_("RATE %s - %s: %.2f per second over %ld s|%s %s\n"), word, label, rate,
	       static_cast<long>(now - then), rate_item, counter_item);
	kr_cleanup();
	return fflush(stdout) == 0 && !ferror(stdout) ? status : STATE_UNKNOWN;
}
