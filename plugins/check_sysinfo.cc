// SPDX-License-Identifier: MIT
// check_sysinfo: print one item of system information (the operating
// system's name, the host name, or the first line of the distribution's
// release file, else its os-release name) without a label and without a
// trailing newline.
//
// Usage: check_sysinfo -t sys -c ITEM [-c ITEM]... [-h]
// Options act strictly in command-line order; -c acts only after -t sys.
// An unknown type, an unknown item, or no item at all is an error on
// standard error with exit code 3. --help and --version print and exit.
// Exit code: the result of the last event that set it, 0 or 3.
//
// Deliberately standalone: no checkkit, no message catalogue, no locale;
// only the help-screen parts that every program prints.

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>

#include "build_config.h"
#include "plugin_help.h"
#include "status_text.h"

static const int RESULT_OK = 0;
static const int RESULT_UNKNOWN = 3;

static const char *const release_files[] = {
		"/etc/redhat-release",
		"/etc/SuSE-release",
};
// Read when neither release file opens.
static const char os_release_file[] = "/etc/os-release";
// No line is read further than this, and no os-release file further than
// the second limit: a file that never ends must not keep the probe running.
static const size_t max_line = 4096;
static const size_t max_os_release = 64 * 1024;

static const char progname[] = "check_sysinfo";

// What -h prints; it does not end the run.
static void print_help(void) {
	printf("HELP\n");
}

static void print_usage(void) {
	printf("Usage:\n");
	printf(" %s -t sys -c os|hostname|distro [-c ITEM]... [-h]\n", progname);
}

// The help screen of --help, laid out as the other programs lay out theirs.
// Not translated: the probe sets no locale.
static void print_long_help(void) {
	print_revision(progname, NP_VERSION);
	print_notice();
	printf("This program prints one item of system information, without a label and\n"
	       "without a trailing newline.\n\n\n");
	print_usage();
	printf("\nOptions:\n"
	       " --help\n    Print detailed help screen\n"
	       " --version\n    Print version information\n"
	       " -h\n    Print the line HELP and go on\n"
	       " -t TYPE\n    The type of the items that the later -c options print; the only\n"
	       "    type is sys\n"
	       " -c ITEM\n    Print ITEM: os (the operating system's name), hostname (the host\n"
	       "    name) or distro (the first line of the distribution's release file)\n"
	       "\n"
	       " Options act in command-line order, and the items of several -c options\n"
	       " follow one another with nothing between them. The exit code is 0 when the\n"
	       " last -c printed its item, 3 after an unknown option, type or item, a -c\n"
	       " without -t sys before it, no -c at all, or an item that cannot be read.\n");
	print_support();
}

// Write \a text to standard error as put_shown writes to standard output.
static void err_shown(const char *text) {
	for (; *text; ++text)
		fputc(status_shown_char(*text), stderr);
}

static int info_failed(void) {
	fputs("Unable to retrieve system information", stderr);
	return RESULT_UNKNOWN;
}

// Open \a path for reading without blocking on a FIFO or a device. Returns
// the descriptor; -1 when the file does not open, -2 when it opens but is
// not a regular file (closed again).
static int open_regular(const char *path) {
	int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
	if (fd < 0) return -1;
	struct stat st;
	if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
		close(fd);
		return -2;
	}
	return fd;
}

// Up to \a limit bytes of \a fd into \a buf, stopping after the first
// newline when \a one_line. Returns the count, or -1 on a read error.
static ssize_t read_some(int fd, char *buf, size_t limit, bool one_line) {
	size_t got = 0;
	while (got < limit) {
		ssize_t n = read(fd, buf + got, one_line ? 1 : limit - got);
		if (n < 0 && errno == EINTR) continue;
		if (n < 0) return -1;
		if (n == 0) break;
		got += static_cast<size_t>(n);
		if (one_line && buf[got - 1] == '\n') break;
	}
	return static_cast<ssize_t>(got);
}

// Write \a len bytes of \a text as one line of a status line, as the
// database checks show server texts (a carriage return as a blank, say).
static void put_shown(const char *text, size_t len) {
	for (size_t i = 0; i < len; ++i)
		putchar(status_shown_char(text[i]));
}

// The value of an os-release assignment, without its shell quoting.
static void print_unquoted(const char *value, size_t len) {
	if (len >= 2 && (value[0] == '"' || value[0] == '\'') && value[len - 1] == value[0]) {
		char quote = value[0];
		for (size_t i = 1; i + 1 < len; ++i) {
			// Inside double quotes a backslash escapes these four.
			if (quote == '"' && value[i] == '\\' && i + 2 < len && strchr("\"\\$`", value[i + 1]))
				++i;
			put_shown(value + i, 1);
		}
		return;
	}
	put_shown(value, len);
}

// The PRETTY_NAME of the os-release file.
static int print_pretty_name(void) {
	int fd = open_regular(os_release_file);
	if (fd < 0) return info_failed();
	static char text[max_os_release];
	ssize_t len = read_some(fd, text, sizeof text, false);
	close(fd);
	if (len < 0) return info_failed();
	static const char key[] = "PRETTY_NAME=";
	size_t pos = 0, end = static_cast<size_t>(len);
	while (pos < end) {
		const char *nl = static_cast<const char *>(memchr(text + pos, '\n', end - pos));
		size_t line_end = nl ? static_cast<size_t>(nl - text) : end;
		size_t line_len = line_end - pos < max_line ? line_end - pos : max_line;
		if (line_len >= sizeof key - 1 && memcmp(text + pos, key, sizeof key - 1) == 0) {
			print_unquoted(text + pos + sizeof key - 1, line_len - (sizeof key - 1));
			return RESULT_OK;
		}
		pos = line_end + 1;
	}
	return info_failed();
}

// Copy the first line of the first release file that opens, without its
// newline and at most max_line bytes of it. A file whose first line has no
// newline (even an empty one) is copied up to its end and still counts as
// found. Without a release file, the os-release file's PRETTY_NAME.
static int print_release_line(void) {
	int fd = -1;
	for (size_t i = 0; i < sizeof release_files / sizeof release_files[0] && fd == -1; ++i)
		fd = open_regular(release_files[i]);
	if (fd == -1) return print_pretty_name();
	// A release file that opens but cannot be read (a directory, a FIFO, a
	// device, an I/O error) has not told us anything; do not pass a
	// truncated line off as success.
	if (fd == -2) return info_failed();

	char line[max_line];
	ssize_t len = read_some(fd, line, sizeof line, true);
	close(fd);
	if (len < 0) return info_failed();
	if (len > 0 && line[len - 1] == '\n') --len;
	put_shown(line, static_cast<size_t>(len));
	return RESULT_OK;
}

static int sys_info(const char *item) {
	struct utsname uts;
	if (uname(&uts) != 0) return info_failed();

	if (strcmp(item, "os") == 0) {
		put_shown(uts.sysname, strlen(uts.sysname));
		return RESULT_OK;
	}
	if (strcmp(item, "hostname") == 0) {
		put_shown(uts.nodename, strlen(uts.nodename));
		return RESULT_OK;
	}
	if (strcmp(item, "distro") == 0) return print_release_line();
	return info_failed();
}

// The answer is the whole point of this program: if it could not be written
// in full, exiting with success would tell the caller a lie.
static int finish_output(int result) {
	errno = 0;
	if (fflush(stdout) == 0 && !ferror(stdout)) return result;
	if (errno != 0)
		fprintf(stderr, "Cannot write to standard output: %s\n", strerror(errno));
	else
		fputs("Cannot write to standard output\n", stderr);
	return RESULT_UNKNOWN;
}

static int missing_type(void) {
	fputs("Option -c needs -t sys before it.\n", stderr);
	return RESULT_UNKNOWN;
}

enum {
	OPT_HELP = 0x100,
	OPT_VERSION,
};

static const struct option longopts[] = {
	{"help", no_argument, NULL, OPT_HELP},
	{"version", no_argument, NULL, OPT_VERSION},
	{NULL, 0, NULL, 0},
};

// getopt has already printed its own diagnostic; add ours for the offending
// option that it reports in optopt (0 for an unknown long option, whose
// word is the one before optind).
static int report_bad_option(int opt, const char *word) {
	if (opt == 't' || opt == 'c') {
		fprintf(stderr, "Option -%c requires an argument.\n", opt);
	} else if (opt == OPT_HELP || opt == OPT_VERSION) {
		fprintf(stderr, "Option --%s takes no argument.\n", longopts[opt - OPT_HELP].name);
	} else if (opt == 0) {
		fputs("Unknown option '", stderr);
		err_shown(word);
		fputs("'.\n", stderr);
	} else if (opt >= 32 && opt <= 126) {
		fprintf(stderr, "Unknown option '-%c'.\n", opt);
	} else {
		// glibc hands bytes above 127 over sign-extended; show the byte itself.
		fprintf(stderr, "Unknown option character '\\x%x'.\n",
						static_cast<unsigned>(static_cast<unsigned char>(opt)));
	}
	return RESULT_UNKNOWN;
}

static bool is_sys(const char *type) {
	return type && strcmp(type, "sys") == 0;
}

static int unknown_type(const char *type) {
	fputs("Unknown type '", stderr);
	err_shown(type);
	fputs("': the only type is sys.\n", stderr);
	return RESULT_UNKNOWN;
}

static int process_options(int argc, char **argv) {
	const char *type = NULL;
	bool item_asked = false;
	int result = RESULT_OK;
	int opt;
	while ((opt = getopt_long(argc, argv, "ht:c:", longopts, NULL)) != -1) {
		switch (opt) {
			case 'h':
				print_help();
				break;
			case OPT_HELP:
				print_long_help();
				exit(finish_output(RESULT_OK));
			case OPT_VERSION:
				print_revision(progname, NP_VERSION);
				exit(finish_output(RESULT_OK));
			case 't':
				type = optarg;
				if (!is_sys(type)) result = unknown_type(type);
				break;
			case 'c':
				item_asked = true;
				// After an unknown type, which was reported where it was
				// given, the item is left alone.
				if (is_sys(type))
					result = sys_info(optarg);
				else if (!type)
					result = missing_type();
				break;
			default:  // '?'
				result = report_bad_option(optopt, argv[optind - 1]);
				break;
		}
	}
	// A run that asked for nothing must not pass for one that printed its
	// item; a usage error already reported is enough said.
	if (!item_asked && result == RESULT_OK) {
		fputs("No item asked for: give -t sys -c os|hostname|distro.\n", stderr);
		result = RESULT_UNKNOWN;
	}
	return result;
}

int main(int argc, char **argv) {
	return finish_output(process_options(argc, argv));
}
