/* SPDX-License-Identifier: MIT */
/* check_outside: a plugin in C built against the installed library only.
 * It runs a command that prints a number, keeps the number between runs,
 * and classifies it against -w and -c, which --extra-opts may supply.
 *
 *   check_outside -C '/bin/echo 15' -w 10 -c 20
 *   OUTSIDE WARNING - 15, before: none|value=15;10;20
 */
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>

#include "argmerge.h"
#include "common.h"
#include "kitcore.h"
#include "kitrun.h"
#include "plugin_routines.h"

const char *progname = "check_outside";

void print_usage(void) {
	printf("Usage: %s -C command [-w range] [-c range] [--extra-opts=[section][@file]]\n",
	       progname);
}

int main(int argc, char **argv) {
	static const struct option longopts[] = {
		{"command", required_argument, NULL, 'C'},
		{"warning", required_argument, NULL, 'w'},
		{"critical", required_argument, NULL, 'c'},
		{"version", no_argument, NULL, 'V'},
		{NULL, 0, NULL, 0},
	};
	static const char *words[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
	char *command = NULL, *warning = NULL, *critical = NULL;
	thresholds *limits = NULL;
	output out;
	int c;

	setlocale(LC_ALL, "");
	argv = kr_argmerge(&argc, argv, progname);
	while ((c = getopt_long(argc, argv, "C:w:c:V", longopts, NULL)) != -1) {
		switch (c) {
		case 'C': command = optarg; break;
		case 'w': warning = optarg; break;
		case 'c': critical = optarg; break;
		case 'V': print_revision(progname, "1.0"); return STATE_OK;
		default: usage5();
		}
	}
	if (!command)
		usage("A command is required (-C)");
	set_thresholds(&limits, warning, critical);

	if (cmd_run(command, &out, NULL, 0) != 0 || out.lines == 0 || !is_numeric(out.line[0]))
		die(STATE_UNKNOWN, "OUTSIDE UNKNOWN - no number from %s\n", command);
	double value = strtod(out.line[0], NULL);

	kr_init((char *)progname, argc, argv);
	kr_enable_state("outside", 1);
	state_data *before = kr_state_read();
	int status = get_status(value, limits);
	printf("OUTSIDE %s - %s, before: %s|%s\n", words[status], out.line[0],
	       before ? (const char *)before->data : "none",
	       fperfdata("value", value, "", limits->warning != NULL,
	                 limits->warning ? limits->warning->end : 0, limits->critical != NULL,
	                 limits->critical ? limits->critical->end : 0, FALSE, 0, FALSE, 0));
	kr_state_write_string(0, out.line[0]);
	kr_cleanup();
	return status;
}
