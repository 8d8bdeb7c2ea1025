// SPDX-License-Identifier: MIT
// Fuzz target for the client option-file reader: arbitrary file contents,
// includes among them, must never crash it or make it loop.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "common.h"
#include "db_option_file.h"
#include "plugin_routines.h"

// The usage routines of the common code want these of a program.
const char *progname = "option_file_fuzz";
void print_usage(void) {}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
	// A memory file, reached by a path as a regular file is.
	static int fd = memfd_create("option-file", 0);
	static const std::string path = "/proc/self/fd/" + std::to_string(fd);
	if (fd < 0 || ftruncate(fd, 0) != 0 ||
	    pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
		abort();
	for (const char *group : {static_cast<const char *>(nullptr), "monitoring"}) {
		db_option_file_info info;
		char *error = nullptr;
		if (db_read_option_file(path.c_str(), group, &info, &error)) {
			if (error || (info.group_found != TRUE && info.group_found != FALSE) ||
			    info.verify_server_cert < -1 || info.verify_server_cert > 1 ||
			    (info.names_tls != TRUE && info.names_tls != FALSE) ||
			    (info.charset_auto != TRUE && info.charset_auto != FALSE))
				abort();
			free(info.server_public_key);
		} else if (!error) {
			abort();
		}
		free(error);
	}
	return 0;
}
