// SPDX-License-Identifier: MIT
// kitrun: the command runner. Starts a program without a shell, captures
// both of its output streams, and reaps it; reads whole files the same way.
#include "kitrun.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "kitcore.h"

extern char **environ;

void (*_cmd_line_capacity_hook)(size_t entries) = nullptr;

namespace {

// The pid table: entry d holds the pid of the child whose standard output
// is read through descriptor d, 0 for any other descriptor.
long maxfd = 0;
pid_t *_cmd_pids = nullptr;

const long table_cap = 8192;
const long table_unknown = 256;

const char separators[] = " \t\r\n";

// Capture blocks start at this size and double; reads always have at least
// min_read bytes of room.
const size_t first_block = 64 * 1024;
const size_t min_read = 4096;

void *realloc_or_die(void *block, size_t count, size_t size) {
	if (size != 0 && count > SIZE_MAX / size) {
		errno = ENOMEM;
		_kr_die_errno(_("Cannot allocate memory:"));
	}
	void *grown = realloc(block, count * size);
	if (!grown)
		_kr_die_errno(_("Cannot allocate memory:"));
	return grown;
}

void clear(output *rec) {
	if (rec)
		*rec = output();
}

// ---- Command strings ----

bool refused(const char *cmd) {
	return strchr(cmd, '"') || strstr(cmd, " ' ") || strstr(cmd, "'''");
}

long split_args(char *str, char **argv) {
	long argc = 0;
	for (;;) {
		str += strspn(str, separators);
		char *arg = str;
		if (*str == '\'') {
			arg = str + 1;
			char *close = strchr(arg, '\'');
			if (!close)
				return -1;
			*close = '\0';
			// A character right behind the closing quote starts the next
			// argument.
			str = close + 1;
		} else {
			str += strcspn(str, separators);
			if (*str)
				*str++ = '\0';
		}
		argv[argc++] = arg;
		if (str[strspn(str, separators)] == '\0')
			break;
	}
	argv[argc] = nullptr;
	return argc;
}

// ---- Capturing ----

// One stream being read: the record that receives its bytes and the size
// of the record's block.
struct capture {
	int fd;
	output *rec;
	size_t room;
	bool done;
	bool failed;
};

// Read once. Returns false at the end of the stream or after a failed read.
bool capture_read(capture &c) {
	output *rec = c.rec;
	// Geometric growth keeps capture linear whatever realloc does; the last
	// byte of the block stays free for the terminator.
	if (c.room - rec->buflen < min_read + 1) {
		size_t room = c.room ? c.room : first_block;
		while (room - rec->buflen < min_read + 1)
			room = room <= SIZE_MAX / 2 ? room * 2 : SIZE_MAX;
		rec->buf = static_cast<char *>(realloc_or_die(rec->buf, room, 1));
		c.room = room;
	}
	ssize_t n;
	do
		n = read(c.fd, rec->buf + rec->buflen, c.room - rec->buflen - 1);
	while (n < 0 && errno == EINTR);
	if (n > 0) {
		rec->buflen += static_cast<size_t>(n);
		return true;
	}
	if (n < 0) {
		printf("read() returned %d: %s\n", static_cast<int>(n), strerror(errno));
		c.failed = true;
	}
	c.done = true;
	return false;
}

// Read every stream to its end. All at once: a child that fills one pipe
// while the runner waits on another would stall both.
void drain(capture *streams, size_t count) {
	for (;;) {
		struct pollfd fds[2];
		capture *live[2];
		nfds_t nfds = 0;
		for (size_t i = 0; i < count && nfds < 2; i++) {
			if (!streams[i].done) {
				fds[nfds] = {streams[i].fd, POLLIN, 0};
				live[nfds++] = &streams[i];
			}
		}
		if (nfds == 0)
			return;
		if (nfds == 1) {
			while (capture_read(*live[0])) {
			}
			return;
		}
		if (poll(fds, nfds, -1) < 0) {
			// Without poll, plain reads still make progress on a child that
			// writes to the first stream.
			if (errno != EINTR)
				capture_read(*live[0]);
			continue;
		}
		for (nfds_t i = 0; i < nfds; i++) {
			if (fds[i].revents)
				capture_read(*live[i]);
		}
	}
}

// Cut the block into zero-terminated lines. The arrays grow through the
// capacities len/32, len/16 ... len (zeros skipped): at most six resizes,
// and len entries always suffice since every line holds at least one byte.
size_t split_lines(char *block, size_t len, output *rec) {
	size_t k = 0, capacity = 0;
	int shift = 6;
	char *p = block;
	char *const end = block + len;
	while (p < end) {
		if (k >= capacity) {
			do
				capacity = len >> --shift;
			while (capacity == 0);
			rec->line = static_cast<char **>(
				realloc_or_die(rec->line, capacity, sizeof *rec->line));
			rec->lens = static_cast<size_t *>(
				realloc_or_die(rec->lens, capacity, sizeof *rec->lens));
			if (_cmd_line_capacity_hook)
				_cmd_line_capacity_hook(capacity);
		}
		char *nl = static_cast<char *>(memchr(p, '\n', static_cast<size_t>(end - p)));
		if (!nl)
			nl = end;  // the spare byte after the data
		*nl = '\0';
		rec->line[k] = p;
		rec->lens[k] = static_cast<size_t>(nl - p);
		k++;
		p = nl + 1;
	}
	return k;
}

// Give a record its final shape: the block trimmed to buflen + 1 bytes,
// then the count or the lines that the flags ask for.
void finish(const capture &c, int flags) {
	output *rec = c.rec;
	if (rec->buflen == 0) {
		free(rec->buf);
		rec->buf = nullptr;
	} else {
		if (char *trimmed = static_cast<char *>(realloc(rec->buf, rec->buflen + 1)))
			rec->buf = trimmed;
		rec->buf[rec->buflen] = '\0';
	}
	if (c.failed)
		return;  // lines stays 0 and the arrays null: nothing to count
	if (flags & CMD_BUFFER_ONLY) {
		rec->lines = rec->buflen;
		return;
	}
	if (rec->buflen == 0)
		return;
	char *block = rec->buf;
	if (flags & CMD_KEEP_BUFFER) {
		block = static_cast<char *>(realloc_or_die(nullptr, rec->buflen + 1, 1));
		memcpy(block, rec->buf, rec->buflen + 1);
	}
	rec->lines = split_lines(block, rec->buflen, rec);
}

// Capture the streams into their records. Returns false when a read failed.
bool _cmd_fetch_output(capture *streams, size_t count, int flags) {
	drain(streams, count);
	bool ok = true;
	for (size_t i = 0; i < count; i++) {
		finish(streams[i], flags);
		ok = ok && !streams[i].failed;
	}
	return ok;
}

// ---- Children ----

// The child's end of one of its output streams, and the parent's: a pipe
// for a stream that has a record, the null device for one that has none, so
// that nothing the child leaves running (a background process holding the
// stream open) can keep the runner reading. The parent's end is then -1.
void open_stream(bool captured, int *ends, const char *name) {
	ends[0] = -1;
	// Close-on-exec, so that no other child inherits them.
	bool ok = captured ? pipe2(ends, O_CLOEXEC) == 0
	                   : (ends[1] = open("/dev/null", O_WRONLY | O_CLOEXEC)) >= 0;
	if (!ok)
		die(STATE_UNKNOWN, _("Could not open pipe: %s\n"), name);
}

[[noreturn]] void exec_child(char *const *argv, int child_out, int child_err) {
	struct rlimit limit;
	if (getrlimit(RLIMIT_CORE, &limit) == 0) {
		limit.rlim_cur = 0;
		setrlimit(RLIMIT_CORE, &limit);
	}
	// Both ends are moved above 2 first: a caller whose standard streams
	// were closed may have been given descriptor 1 or 2 for either of them.
	int out = fcntl(child_out, F_DUPFD_CLOEXEC, 3);
	int err = fcntl(child_err, F_DUPFD_CLOEXEC, 3);
	if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
		_exit(STATE_UNKNOWN);
	for (long d = 0; d < maxfd; d++) {
		if (_cmd_pids[d] > 0)
			close(static_cast<int>(d));
	}
	execve(argv[0], argv, environ);
	_exit(STATE_UNKNOWN);
}

// Start the child with its standard output and standard error on pipes
// where they are captured. Stores the read ends (-1 for a stream not
// captured) and returns the child's pid, recorded in the pid table under
// the first read end when it fits there.
pid_t _cmd_open(char *const *argv, bool capture_out, bool capture_err, int *out_fd,
                int *err_fd) {
	const char *name = argv && argv[0] ? argv[0] : "(null)";
	if (!argv)
		die(STATE_UNKNOWN, _("Could not open pipe: %s\n"), name);
	int pfd[2], pfderr[2];
	open_stream(capture_out, pfd, name);
	open_stream(capture_err, pfderr, name);
	pid_t pid = fork();
	if (pid < 0)
		die(STATE_UNKNOWN, _("Could not open pipe: %s\n"), name);
	if (pid == 0)
		exec_child(argv, pfd[1], pfderr[1]);
	close(pfd[1]);
	close(pfderr[1]);
	*out_fd = pfd[0];
	*err_fd = pfderr[0];
	int key = pfd[0] >= 0 ? pfd[0] : pfderr[0];
	if (key >= 0 && key < maxfd)
		_cmd_pids[key] = pid;
	return pid;
}

// Close the read end \a fd that records \a child (-1: the child has no
// pipe) and reap the child, in every case. Returns the exit status 0-255,
// or -1 when the descriptor was not recorded for the child, the close or
// the wait failed, or a signal ended the child.
int _cmd_close(int fd, pid_t child) {
	bool recorded = fd < 0 || (fd < maxfd && _cmd_pids && _cmd_pids[fd] == child);
	if (recorded && fd >= 0)
		_cmd_pids[fd] = 0;
	bool closed = fd < 0 || close(fd) == 0;
	int status = 0;
	pid_t waited;
	do
		waited = waitpid(child, &status, 0);
	while (waited < 0 && errno == EINTR);
	if (!recorded || !closed || waited < 0 || !WIFEXITED(status))
		return -1;
	return WEXITSTATUS(status);
}

}  // namespace

long _cmd_table_size(long open_max) {
	if (open_max < 0)
		return table_unknown;
	return open_max > table_cap ? table_cap : open_max;
}

long _cmd_maxfd(void) {
	return maxfd;
}

void cmd_init(void) {
	if (maxfd == 0)
		maxfd = _cmd_table_size(sysconf(_SC_OPEN_MAX));
	if (!_cmd_pids) {
		_cmd_pids = static_cast<pid_t *>(calloc(maxfd > 0 ? static_cast<size_t>(maxfd) : 1,
		                                        sizeof(pid_t)));
		if (!_cmd_pids)
			_kr_die_errno(_("Cannot allocate memory:"));
	}
}

long _cmd_split(char *cmd, char **argv) {
	return refused(cmd) ? -1 : split_args(cmd, argv);
}

int cmd_run(const char *cmdstring, output *out, output *err, int flags) {
	if (!cmdstring)
		return -1;
	clear(out);
	clear(err);
	// The child has its own copy of the arguments once it runs; these two
	// blocks are needed only until then.
	std::unique_ptr<char, decltype(&free)> copy(strdup(cmdstring), &free);
	if (!copy || refused(copy.get()))
		return -1;
	size_t entries = strlen(cmdstring) / 2 + 2;
	std::unique_ptr<char *, decltype(&free)> argv(
		static_cast<char **>(calloc(entries, sizeof(char *))), &free);
	if (!argv) {
		printf("%s\n", _("Could not malloc argv array in popen()"));
		return -1;
	}
	if (split_args(copy.get(), argv.get()) < 0)
		return -1;
	return cmd_run_array(argv.get(), out, err, flags);
}

int cmd_run_array(char *const *argv, output *out, output *err, int flags) {
	clear(out);
	clear(err);
	if (!_cmd_pids)
		cmd_init();
	setenv("LC_ALL", "C", 1);

	// One record for both streams ends up holding standard error, as if
	// the two were captured one after the other.
	bool capture_out = out && out != err;
	int out_fd, err_fd;
	pid_t child = _cmd_open(argv, capture_out, err != nullptr, &out_fd, &err_fd);
	capture streams[2];
	size_t count = 0;
	if (capture_out)
		streams[count++] = {out_fd, out, 0, false, false};
	if (err)
		streams[count++] = {err_fd, err, 0, false, false};
	bool ok = _cmd_fetch_output(streams, count, flags);
	// The pid table knows the child by its first read end; the other one
	// is closed here.
	int key = capture_out ? out_fd : err_fd;
	if (capture_out && err)
		close(err_fd);
	int result = _cmd_close(key, child);
	return ok ? result : -1;
}

int cmd_file_read(const char *filename, output *out, int flags) {
	clear(out);
	// Without blocking, and only a regular file is read: a FIFO would wait
	// for a writer, a device may never end.
	int fd = open(filename, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
	if (fd < 0) {
		const char *why = strerror(errno);
		die(STATE_UNKNOWN, _("Error opening %s: %s"), filename, why);
	}
	struct stat st;
	int failure = fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
	if (failure || !S_ISREG(st.st_mode)) {
		const char *why = failure ? strerror(failure) : _("Not a regular file");
		die(STATE_UNKNOWN, _("Error opening %s: %s"), filename, why);
	}
	bool ok = true;
	if (out) {
		capture stream = {fd, out, 0, false, false};
		ok = _cmd_fetch_output(&stream, 1, flags);
	}
	if (close(fd) < 0) {
		const char *why = strerror(errno);
		die(STATE_UNKNOWN, _("Error closing %s: %s"), filename, why);
	}
	return ok ? 0 : -1;
}
