// SPDX-License-Identifier: MIT
// plugin_help: help-screen parts of every program. Kept apart from the other
// common routines so that check_sysinfo can print them without linking
// checkkit. Its texts pass through the message catalogue; a program that
// sets no locale (check_sysinfo) gets them as written.
#include "plugin_help.h"

#include <cstdio>

#include "build_config.h"
#include "common.h"

void print_revision(const char *command_name, const char *revision) {
	printf("%s v%s (%s %s)\n", command_name, revision, PACKAGE, PACKAGE_VERSION);
}

void print_notice(void) {
	printf(_("Copyright (c) 2026 The kivrel-plugins developers\n"
	         "This program is free software and comes with no warranty.\n"));
	printf("\n");
}

void print_support(void) {
	printf(_("\nSend email to help@kivrel-plugins.org if you have questions regarding use\n"
	         "of this software. To submit patches or suggest improvements, send email to\n"
	         "devel@kivrel-plugins.org\n\n"));
}
