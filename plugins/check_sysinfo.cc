// SPDX-License-Identifier: MIT
// check_sysinfo: print one item of system information (the operating
// system's name, the host name, or the first line of the distribution's
// release file, else its os-release name) without a label and without a
// trailing newline.
//
// Usage: check_sysinfo [-h] [-t TYPE] [-c ITEM] ...
// Options act strictly in command-line order; -c acts only after -t sys.
// Exit code: the result of the last event that set it, 0 or 3.
//
// Deliberately standalone: no checkkit, no message catalogue, no locale.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

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

static void print_help(void) {
	printf("HELP\n");
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

// getopt has already printed its own diagnostic; add ours for the offending
// option character it reports in optopt.
static int report_bad_option(int opt) {
	if (opt == 't' || opt == 'c')
		fprintf(stderr, "Option -%c requires an argument.\n", opt);
	else if (opt >= 32 && opt <= 126)
		fprintf(stderr, "Unknown option '-%c'.\n", opt);
	else
		// glibc hands bytes above 127 over sign-extended; show the byte itself.
		fprintf(stderr, "Unknown option character '\\x%x'.\n",
						static_cast<unsigned>(static_cast<unsigned char>(opt)));
	return RESULT_UNKNOWN;
}

static int process_options(int argc, char **argv) {
	const char *type = NULL;
	int result = RESULT_OK;
	int opt;
	while ((opt = getopt(argc, argv, "ht:c:")) != -1) {
		switch (opt) {
			case 'h':
				print_help();
				break;
			case 't':
				type = optarg;
				break;
			case 'c':
				if (type && strcmp(type, "sys") == 0) result = sys_info(optarg);
				break;
			default:  // '?'
				result = report_bad_option(optopt);
				break;
		}
	}
	return result;
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

int main(int argc, char **argv) {
	return finish_output(process_options(argc, argv));
}
