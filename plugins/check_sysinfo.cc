// check_sysinfo: print one item of system information (the operating
// system's name, the host name, or the first line of the distribution's
// release file) without a label and without a trailing newline.
//
// Usage: check_sysinfo [-h] [-t TYPE] [-c ITEM] ...
// Options act strictly in command-line order; -c acts only after -t sys.
// Exit code: the result of the last event that set it, 0 or 3.
//
// Deliberately standalone: no checkkit, no message catalogue, no locale.

#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

static const int RESULT_OK = 0;
static const int RESULT_UNKNOWN = 3;

static const char *const release_files[] = {
		"/etc/redhat-release",
		"/etc/SuSE-release",
};

static void print_help(void) {
	printf("HELP\n");
}

static int info_failed(void) {
	fputs("Unable to retrieve system information", stderr);
	return RESULT_UNKNOWN;
}

// Copy the first line of the first release file that opens, without its
// newline. A file whose first line has no newline (even an empty one) is
// copied up to its end and still counts as found.
static int print_release_line(void) {
	FILE *file = NULL;
	for (size_t i = 0; i < sizeof release_files / sizeof release_files[0] && !file; ++i)
		file = fopen(release_files[i], "r");
	if (!file) return info_failed();

	int c;
	while ((c = getc(file)) != EOF && c != '\n') putchar(c);
	// A file that opens but cannot be read (a directory, an I/O error) has
	// not told us anything; do not pass a truncated line off as success.
	int read_failed = ferror(file);
	fclose(file);
	return read_failed ? info_failed() : RESULT_OK;
}

static int sys_info(const char *item) {
	struct utsname uts;
	if (uname(&uts) != 0) return info_failed();

	if (strcmp(item, "os") == 0) {
		printf("%s", uts.sysname);
		return RESULT_OK;
	}
	if (strcmp(item, "hostname") == 0) {
		printf("%s", uts.nodename);
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
