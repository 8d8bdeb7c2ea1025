// SPDX-License-Identifier: MIT
// kitcore: state retention: the state directory, reading and writing
// state files (choosing the key: kitcore_state_key.cc).
#include "kitcore.h"

#include <dirent.h>
#include <fcntl.h>
#if __has_include(<sys/random.h>)
#include <sys/random.h>
#endif
#include <sys/stat.h>
#include <unistd.h>
#if __has_include(<sys/auxv.h>)
#include <sys/auxv.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "build_config.h"

namespace {

// Release a key's retained data, if any, and forget it.
void release_state_data(state_key *key) {
	if (key && key->state_data) {
		free(key->state_data->data);
		free(key->state_data);
		key->state_data = nullptr;
	}
}

const char state_directory_variable[] = "KIVREL_PLUGIN_STATE_DIRECTORY";
const char state_file_header[] = "# KR State file\n";
const int state_format_version = 1;
// Lines are read in pieces of at most this many bytes less one.
const size_t state_line_size = 1024;
// The writer puts at most the part of the data line that a read returns, so
// no file it writes exceeds 16 + 2 + 12 + 21 + 1023 + 1 = 1075 bytes; the
// rest of the cap is room for comment lines added by hand. Reading stops
// after this many bytes, and a larger file is no state: a file grown huge
// costs a check no time.
const size_t state_file_cap = KR_STATE_FILE_CAP;
// A temporary file is "<key>.XXXXXX", the six X from this alphabet. One of
// its key older than this (a writer killed before its rename) is removed by
// the key's next write; a live writer renames its file within seconds.
const char temp_name_chars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
const size_t temp_suffix_len = 6;
const time_t stale_temp_seconds = 60;

#ifdef O_PATH
// Walking needs search permission on a directory only, as a path lookup does.
const int walk_flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
const int walk_flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

state_key *current_key() {
	return this_kivrel_plugin ? this_kivrel_plugin->state : nullptr;
}

[[noreturn]] void die_path(const char *msg, const std::string &path) {
	die(STATE_UNKNOWN, "%s %s\n", msg, path.c_str());
}


// Whoever started the process must not steer it to another directory when
// it runs with more rights than its caller: started set-id or with file
// capabilities (the kernel's secure-execution flag, which survives any
// later change of ids), or with real, effective and saved ids that differ
// now (a temporary drop leaves only the saved id privileged).
bool runs_for_another() {
#ifdef AT_SECURE
	if (getauxval(AT_SECURE))
		return true;
#endif
	uid_t ruid, euid, suid;
	gid_t rgid, egid, sgid;
	if (getresuid(&ruid, &euid, &suid) != 0 || getresgid(&rgid, &egid, &sgid) != 0)
		return true;
	return ruid != euid || ruid != suid || rgid != egid || rgid != sgid;
}

// Create the missing parent directories of \a path, each with mode 0700
// less the file creation mask. One that appears meanwhile (another run
// creating it) is as good as one created here. The first one that is not a
// directory and cannot be made one (a file in its place, no permission) ends
// the run, named: the paths below it would only fail in its wake.
void make_parent_directories(const char *path) {
	char *copy = strdup(path);
	if (!copy)
		_kr_die_errno(_("Cannot allocate memory:"));
	for (char *p = copy + 1; *p; p++) {
		if (*p != '/')
			continue;
		*p = '\0';
		struct stat st;
		bool is_dir = stat(copy, &st) == 0 ? S_ISDIR(st.st_mode)
		                                    : mkdir(copy, 0700) == 0 ||
		                                          (errno == EEXIST && stat(copy, &st) == 0 &&
		                                           S_ISDIR(st.st_mode));
		if (!is_dir) {
			// The copy goes with the process.
			die(STATE_UNKNOWN, "%s %s\n", _("Cannot create directory:"), copy);
		}
		*p = '/';
	}
	free(copy);
}

// Why the open directory \a fd may not hold state, or null when it may: it
// must be a directory of the effective user that no one else can write.
const char *unsafe_directory(int fd) {
	struct stat st;
	if (fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode))
		return _("State directory is a symbolic link or not a directory:");
	if (st.st_uid != geteuid())
		return _("State directory is owned by another user:");
	if (st.st_mode & (S_IWGRP | S_IWOTH))
		return _("State directory is writable by group or others:");
	return nullptr;
}

// Open the directory of the key's state file, from the prefix down. The
// prefix is the operator's choice and is resolved as any path; the user's
// and the plugin's directories below it are opened one by one relative to
// their parent, without following a symbolic link, and must pass
// unsafe_directory, so that no name swapped meanwhile can redirect the
// walk. With \a create, missing directories are made (0700 less the
// umask) and every failure ends the run; without, it gives -1.
int open_state_directory(const state_key *key, bool create) {
	// <prefix>/<uid>/<plugin>/<key>: the last three names hold no "/".
	const std::string file = key->_filename;
	size_t key_at = file.rfind('/');
	size_t plugin_at = file.rfind('/', key_at - 1);
	size_t uid_at = file.rfind('/', plugin_at - 1);
	std::string path = file.substr(0, uid_at);
	const std::string names[] = {file.substr(uid_at + 1, plugin_at - uid_at - 1),
	                             file.substr(plugin_at + 1, key_at - plugin_at - 1)};
	const char *top = path.empty() ? "/" : path.c_str();
	int fd = open(top, walk_flags);
	if (fd < 0 && !create)
		return -1;
	if (fd < 0) {
		// Names the first directory of the prefix that is missing and
		// cannot be made, or else the prefix, there but no directory that
		// can be opened.
		make_parent_directories((path + "/").c_str());
		fd = open(top, walk_flags);
		if (fd < 0)
			die_path(_("Cannot create directory:"), top);
	}
	for (const std::string &name : names) {
		path += "/" + name;
		int sub = openat(fd, name.c_str(), walk_flags | O_NOFOLLOW);
		if (sub < 0 && errno == ENOENT && create) {
			if (mkdirat(fd, name.c_str(), 0700) != 0 && errno != EEXIST)
				die_path(_("Cannot create directory:"), path);
			sub = openat(fd, name.c_str(), walk_flags | O_NOFOLLOW);
		}
		const char *problem = nullptr;
		if (sub < 0)
			problem = errno == ENOTDIR || errno == ELOOP
			              ? _("State directory is a symbolic link or not a directory:")
			              : _("Cannot create directory:");
		else
			problem = unsafe_directory(sub);
		close(fd);
		fd = sub;
		if (problem) {
			if (!create) {
				if (fd >= 0)
					close(fd);
				return -1;
			}
			die_path(problem, path);
		}
	}
	return fd;
}

// The key's state file, open for reading, or null when there is none that
// this user may trust: the file must be a regular file of the effective
// user, reached without a final symbolic link. Opened without blocking, so
// that a FIFO or a device there cannot hold the run.
FILE *open_state_file(const state_key *key) {
	int dirfd = open_state_directory(key, false);
	if (dirfd < 0)
		return nullptr;
	int fd = openat(dirfd, key->name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
	close(dirfd);
	if (fd < 0)
		return nullptr;
	struct stat st;
	FILE *file = nullptr;
	if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid())
		file = fdopen(fd, "r");
	if (!file)
		close(fd);
	return file;
}

// "<key>.XXXXXX" with six characters of the temporary alphabet.
bool is_temp_name_of(const char *name, const char *keyname, size_t key_len) {
	if (strncmp(name, keyname, key_len) != 0 || name[key_len] != '.')
		return false;
	const char *suffix = name + key_len + 1;
	return strlen(suffix) == temp_suffix_len &&
	       strspn(suffix, temp_name_chars) == temp_suffix_len;
}

// Remove this user's temporary files of the key that are older than
// stale_temp_seconds: what writers killed before their rename left behind.
void remove_stale_temp_files(int dirfd, const char *keyname) {
	int listing = openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	DIR *dir = listing < 0 ? nullptr : fdopendir(listing);
	if (!dir) {
		if (listing >= 0)
			close(listing);
		return;  // nothing lost: they wait for the next write
	}
	size_t key_len = strlen(keyname);
	time_t limit = time(nullptr) - stale_temp_seconds;
	uid_t me = geteuid();
	while (struct dirent *entry = readdir(dir)) {
		struct stat st;
		if (is_temp_name_of(entry->d_name, keyname, key_len) &&
		    fstatat(dirfd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
		    S_ISREG(st.st_mode) && st.st_uid == me && st.st_mtime < limit)
			unlinkat(dirfd, entry->d_name, 0);
	}
	closedir(dir);
}

// Replace the six X at the end of \a name by characters of the temporary
// alphabet, random where the system gives randomness.
void fill_temp_suffix(char *name) {
	static unsigned long counter = 0;
	unsigned char bytes[temp_suffix_len];
	bool random = false;
#ifdef GRND_NONBLOCK
	random = getrandom(bytes, sizeof bytes, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof bytes);
#endif
	if (!random) {
		struct timespec ts;
		clock_gettime(CLOCK_REALTIME, &ts);
		unsigned long long mix = static_cast<unsigned long long>(ts.tv_nsec) ^
		                         (static_cast<unsigned long long>(ts.tv_sec) << 24) ^
		                         (static_cast<unsigned long long>(getpid()) << 40) ^
		                         (++counter * 0x9E3779B97F4A7C15ull);
		for (size_t i = 0; i < sizeof bytes; i++)
			bytes[i] = static_cast<unsigned char>(mix >> (8 * i));
	}
	char *suffix = name + strlen(name) - temp_suffix_len;
	for (size_t i = 0; i < temp_suffix_len; i++)
		suffix[i] = temp_name_chars[bytes[i] % (sizeof temp_name_chars - 1)];
}

// Create the key's new temporary file in \a dirfd, exclusively and for the
// owner only, as mkstemp does but relative to the checked directory.
// Stores its name (to be released) and returns its descriptor; dies when
// none can be made.
int create_temp_file(int dirfd, const char *keyname, char **temp_name) {
	if (asprintf(temp_name, "%s.XXXXXX", keyname) < 0)
		_kr_die_errno(_("Cannot allocate memory:"));
	for (int attempt = 0; attempt < 100; attempt++) {
		fill_temp_suffix(*temp_name);
		int fd = openat(dirfd, *temp_name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
		                0600);
		if (fd >= 0)
			return fd;
		if (errno != EEXIST)
			break;
	}
	free(*temp_name);
	die(STATE_UNKNOWN, "%s\n", _("Cannot create temporary filename"));
}

// Remove the temporary file, release its name and end the run.
[[noreturn]] void abandon_temp_file(int dirfd, char *temp_name, const char *msg) {
	unlinkat(dirfd, temp_name, 0);
	free(temp_name);
	die(STATE_UNKNOWN, "%s\n", msg);
}

}  // namespace

void _kr_release_state_key(state_key *key) {
	release_state_data(key);
	free(key->name);
	key->name = nullptr;
	free(key->_filename);
	free(key);
}

const char *_kr_state_calculate_location_prefix(void) {
	if (runs_for_another())
		return KIVREL_STATE_DIR;
	const char *env = getenv(state_directory_variable);
	if (env && *env)
		return env;
	return KIVREL_STATE_DIR;
}

state_data *kr_state_read(void) {
	if (!this_kivrel_plugin)
		die(STATE_UNKNOWN, "%s\n", _("This requires kr_init to be called"));
	state_key *key = current_key();
	// Every read replaces what the last one found.
	_cleanup_state_data();
	FILE *file = open_state_file(key);
	if (!file)
		return nullptr;
	key->state_data = static_cast<state_data *>(calloc(1, sizeof(state_data)));
	if (!key->state_data) {
		fclose(file);
		_kr_die_errno(_("Cannot allocate memory:"));
	}
	int found = _kr_state_read_file(file);
	fclose(file);
	if (!found)
		_cleanup_state_data();
	return key->state_data;
}

int _kr_state_read_file(FILE *state_file) {
	state_key *key = current_key();
	time_t now = time(nullptr);
	// The whole file up to the cap, and one byte more to tell a larger one.
	char *text = static_cast<char *>(malloc(state_file_cap + 1));
	char *line = static_cast<char *>(calloc(state_line_size, 1));
	if (!text || !line) {
		free(text);
		free(line);
		_kr_die_errno(_("Cannot allocate memory:"));
	}
	size_t size = fread(text, 1, state_file_cap + 1, state_file);
	int expected = STATE_FILE_VERSION;
	int result = FALSE;
	bool stop = size > state_file_cap;
	// Pieces as fgets gives them: up to a line feed, at most one less than
	// the line buffer, and as a text that ends at a zero byte.
	for (size_t at = 0; !stop && at < size;) {
		const char *feed = static_cast<const char *>(memchr(text + at, '\n', size - at));
		size_t piece = std::min(feed ? static_cast<size_t>(feed - text) + 1 - at : size - at,
		                        state_line_size - 1);
		memcpy(line, text + at, piece);
		line[piece] = '\0';
		at += piece;
		size_t len = strlen(line);
		if (len > 0 && line[len - 1] == '\n')
			line[len - 1] = '\0';
		if (line[0] == '#')
			continue;
		switch (expected) {
		case STATE_FILE_VERSION:
			stop = strtol(line, nullptr, 10) != state_format_version;
			expected = STATE_DATA_VERSION;
			break;
		case STATE_DATA_VERSION:
			stop = strtol(line, nullptr, 10) != key->data_version;
			expected = STATE_DATA_TIME;
			break;
		case STATE_DATA_TIME: {
			unsigned long when = strtoul(line, nullptr, 10);
			// A time from the future is no state of ours.
			stop = when > static_cast<unsigned long>(now);
			key->state_data->time = static_cast<time_t>(when);
			expected = STATE_DATA_TEXT;
			break;
		}
		case STATE_DATA_TEXT:
			key->state_data->data = strdup(line);
			if (!key->state_data->data) {
				free(text);
				free(line);
				_kr_die_errno(_("Cannot execute strdup:"));
			}
			result = TRUE;
			expected = STATE_DATA_END;
			break;
		default:  // STATE_DATA_END: the rest of the file is not ours to read
			break;
		}
	}
	free(text);
	free(line);
	return result;
}

void kr_state_write_string(time_t data_time, const char *data_string) {
	state_key *key = current_key();
	time_t when = data_time ? data_time : time(nullptr);

	int dirfd = open_state_directory(key, true);
	remove_stale_temp_files(dirfd, key->name);
	char *temp_name = nullptr;
	int fd = create_temp_file(dirfd, key->name, &temp_name);
	FILE *fp = fdopen(fd, "w");
	if (!fp) {
		close(fd);
		abandon_temp_file(dirfd, temp_name, _("Unable to open temporary state file"));
	}
	fputs(state_file_header, fp);
	fprintf(fp, "%d\n", state_format_version);
	fprintf(fp, "%d\n", key->data_version);
	fprintf(fp, "%lu\n", static_cast<unsigned long>(when));
	// A read gives back no more of the data line than this, and the file
	// stays far below the cap.
	fprintf(fp, "%.*s\n", static_cast<int>(state_line_size - 1), data_string);
	fchmod(fd, 0640);
	// A write that failed (a full disk) must not be renamed into place as
	// if it were the new state.
	bool written = fflush(fp) == 0 && !ferror(fp);
	fsync(fd);
	if (fclose(fp) != 0 || !written)
		abandon_temp_file(dirfd, temp_name, _("Error writing temp file"));
	if (renameat(dirfd, temp_name, dirfd, key->name) != 0)
		abandon_temp_file(dirfd, temp_name, _("Cannot rename state temp file"));
	free(temp_name);
	close(dirfd);
}

void _cleanup_state_data(void) {
	release_state_data(current_key());
}
