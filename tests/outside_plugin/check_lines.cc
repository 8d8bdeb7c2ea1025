// SPDX-License-Identifier: MIT
// check_lines: a plugin in C++ built against the installed library only.
// It counts the lines of a file and is critical above a limit. It uses the
// common routines alone, which reach into checkkit for their fatal exit.
//
//   check_lines /etc/hosts 5
//   LINES CRITICAL - 9 lines in /etc/hosts|lines=9;;5;0
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "common.h"
#include "plugin_routines.h"

const char *progname = "check_lines";

void print_usage(void) {
	std::printf("Usage: %s file limit\n", progname);
}

int main(int argc, char **argv) {
	if (argc != 3)
		usage4("Expected a file and a limit");
	if (!is_intnonneg(argv[2]))
		usage2("The limit must be a non-negative integer", argv[2]);
	const long limit = std::strtol(argv[2], nullptr, 10);

	std::ifstream file(argv[1]);
	if (!file)
		usage2("Cannot open the file", argv[1]);
	long lines = 0;
	for (std::string line; std::getline(file, line);)
		++lines;
	const int status = lines > limit ? STATE_CRITICAL : STATE_OK;

	char *message = nullptr;
	xasprintf(&message, "%ld lines in %s", lines, argv[1]);
	const std::string word = status == STATE_OK ? "OK" : "CRITICAL";
	std::printf("LINES %s - %s|%s\n", word.c_str(), message,
	            perfdata("lines", lines, "", FALSE, 0, TRUE, limit, TRUE, 0, FALSE, 0));
	return status;
}
