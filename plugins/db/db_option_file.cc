// SPDX-License-Identifier: MIT
// db_option_file: reading a client option file before the client library
// does, so that a file it would quietly skip is reported instead.
#include "db_option_file.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common.h"
#include "plugin_routines.h"
#include "status_text.h"

namespace {

struct reader {
	std::string group;
	bool group_given = false;
	db_option_file_info info{FALSE, -1, -1, nullptr, FALSE, FALSE};
	std::string server_public_key;
	bool has_public_key = false;
	std::string error;
};

const char *blanks = " \t\r\v\f";

std::string trim(const std::string &text) {
	size_t first = text.find_first_not_of(blanks);
	if (first == std::string::npos)
		return "";
	size_t last = text.find_last_not_of(blanks);
	return text.substr(first, last - first + 1);
}

bool in_read_group(const reader &r, const std::string &name) {
	return name == "client" || name == "client-server" || name == "client-mariadb" ||
	       name == r.group;
}

// The text of a switch's value: on unless it says otherwise.
int switch_value(const std::string &value, bool has_value) {
	if (!has_value)
		return 1;
	std::string v = value;
	std::transform(v.begin(), v.end(), v.begin(), ::tolower);
	return v == "0" || v == "off" || v == "false" || v == "no" ? 0 : 1;
}

void apply_entry(reader &r, std::string key, std::string value, bool has_value) {
	std::replace(key.begin(), key.end(), '_', '-');
	if (key.compare(0, 6, "loose-") == 0)
		key.erase(0, 6);
	int forced = -1;
	if (key.compare(0, 5, "skip-") == 0) {
		key.erase(0, 5);
		forced = 0;
	} else if (key.compare(0, 8, "disable-") == 0) {
		key.erase(0, 8);
		forced = 0;
	} else if (key.compare(0, 7, "enable-") == 0) {
		key.erase(0, 7);
		forced = 1;
	}
	// Any mention of TLS may make the client library start it.
	if (strncasecmp(key.c_str(), "ssl", 3) == 0 || strncasecmp(key.c_str(), "tls", 3) == 0)
		r.info.names_tls = TRUE;
	if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
		value = value.substr(1, value.size() - 2);
	if (key == "ssl-verify-server-cert")
		r.info.verify_server_cert = forced >= 0 ? forced : switch_value(value, has_value);
	else if (key == "default-character-set")
		r.info.charset_auto = has_value && strcasecmp(value.c_str(), "auto") == 0;
	else if (key == "connect-timeout" && forced < 0 && has_value)
		r.info.connect_timeout = strtol(value.c_str(), nullptr, 10);
	else if (key == "server-public-key" && forced < 0 && has_value) {
		r.server_public_key = value;
		r.has_public_key = true;
	}
}

bool fail(reader &r, const char *path, const char *reason) {
	char *text = nullptr;
	xasprintf(&text, _("Cannot read the option file %s: %s"), path, reason);
	// It ends up in the status line; a path may hold anything.
	r.error = status_shown(text);
	free(text);
	return false;
}

// The whole of a regular file. A FIFO or a device is refused before it
// could block the read or never end.
bool slurp(reader &r, const char *path, std::string *out) {
	int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
	if (fd < 0)
		return fail(r, path, strerror(errno));
	struct stat st;
	if (fstat(fd, &st) != 0) {
		int saved = errno;
		close(fd);
		return fail(r, path, strerror(saved));
	}
	if (!S_ISREG(st.st_mode)) {
		close(fd);
		return fail(r, path, S_ISDIR(st.st_mode) ? strerror(EISDIR) : _("not a regular file"));
	}
	if (st.st_size > DB_OPTION_FILE_MAX_SIZE) {
		close(fd);
		return fail(r, path, strerror(EFBIG));
	}
	char buf[8192];
	ssize_t n;
	while ((n = read(fd, buf, sizeof buf)) != 0) {
		if (n < 0) {
			if (errno == EINTR)
				continue;
			int saved = errno;
			close(fd);
			return fail(r, path, strerror(saved));
		}
		out->append(buf, static_cast<size_t>(n));
		if (out->size() > DB_OPTION_FILE_MAX_SIZE) {
			close(fd);
			return fail(r, path, strerror(EFBIG));
		}
	}
	close(fd);
	return true;
}

bool read_file(reader &r, const std::string &path, int depth);

// "!includedir DIR": the client library reads DIR/my.cnf alone, and passes
// over it when it cannot read it, as it does with the files it reads
// without -f. Other files in DIR never reach it.
bool read_dir(reader &r, const std::string &dir, int depth) {
	std::string path = dir + "/my.cnf";
	if (access(path.c_str(), R_OK) != 0)
		return true;
	return read_file(r, path, depth);
}

bool read_file(reader &r, const std::string &path, int depth) {
	if (depth > DB_OPTION_FILE_MAX_DEPTH)
		return fail(r, path.c_str(), _("includes nest too deeply"));
	std::string text;
	if (!slurp(r, path.c_str(), &text))
		return false;
	bool reading = false;
	size_t pos = 0;
	while (pos < text.size()) {
		size_t end = text.find('\n', pos);
		if (end == std::string::npos)
			end = text.size();
		// Most lines are comments: pass them over without copying.
		size_t first = text.find_first_not_of(blanks, pos);
		bool skip = first >= end || text[first] == '#' || text[first] == ';';
		std::string line = skip ? "" : trim(text.substr(first, end - first));
		pos = end + 1;
		if (line.empty())
			continue;
		if (line[0] == '!') {
			bool dir = line.compare(0, 12, "!includedir ") == 0 || line.compare(0, 12, "!includedir\t") == 0;
			bool file = line.compare(0, 9, "!include ") == 0 || line.compare(0, 9, "!include\t") == 0;
			if (dir && !read_dir(r, trim(line.substr(11)), depth + 1))
				return false;
			if (file && !read_file(r, trim(line.substr(8)), depth + 1))
				return false;
			continue;
		}
		if (line[0] == '[') {
			size_t close = line.find(']');
			std::string name = trim(line.substr(1, close == std::string::npos ? std::string::npos : close - 1));
			reading = in_read_group(r, name);
			// Without -g any group the library reads for "client" counts.
			if (r.group_given ? name == r.group : reading)
				r.info.group_found = TRUE;
			continue;
		}
		if (!reading)
			continue;
		size_t eq = line.find('=');
		if (eq == std::string::npos)
			apply_entry(r, line, "", false);
		else
			apply_entry(r, trim(line.substr(0, eq)), trim(line.substr(eq + 1)), true);
	}
	return true;
}

}  // namespace

int db_read_option_file(const char *path, const char *group, db_option_file_info *info,
                        char **error) {
	reader r;
	r.group = group ? group : "client";
	r.group_given = group != nullptr;
	if (!read_file(r, path, 0)) {
		xasprintf(error, "%s", r.error.c_str());
		return FALSE;
	}
	*info = r.info;
	if (r.has_public_key)
		xasprintf(&info->server_public_key, "%s", r.server_public_key.c_str());
	return TRUE;
}

void db_default_option_files_read(const char *group, db_option_file_info *info) {
	info->names_tls = FALSE;
	info->charset_auto = FALSE;
	std::vector<std::string> paths = {"/etc/my.cnf", "/etc/mysql/my.cnf"};
	const char *home = getenv("MARIADB_HOME");
	if (!home)
		home = getenv("MYSQL_HOME");
	if (home)
		paths.push_back(std::string(home) + "/my.cnf");
	if (const char *user_home = getenv("HOME"))
		paths.push_back(std::string(user_home) + "/.my.cnf");
	for (const std::string &path : paths) {
		// The client library passes over a file it may not read, as here.
		if (access(path.c_str(), R_OK) != 0)
			continue;
		reader r;
		r.group = group ? group : "client";
		r.group_given = group != nullptr;
		// What cannot be read here may still be read by the library.
		if (!read_file(r, path, 0)) {
			info->names_tls = info->charset_auto = TRUE;
			return;
		}
		info->names_tls |= r.info.names_tls;
		info->charset_auto |= r.info.charset_auto;
	}
}
