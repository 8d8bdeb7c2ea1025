// SPDX-License-Identifier: MIT
// ini_defaults: read the options of one INI section for --extra-opts.
#include "ini_defaults.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "build_config.h"
#include "kitcore.h"
#include "status_text.h"

namespace {

// A piece of the input; never NUL-terminated.
struct span {
	const char *p;
	size_t n;
};

bool is_blank(char c) {
	return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

span trim(span s) {
	while (s.n > 0 && is_blank(s.p[0])) {
		++s.p;
		--s.n;
	}
	while (s.n > 0 && is_blank(s.p[s.n - 1]))
		--s.n;
	return s;
}

bool equals(span s, const char *text) {
	return strlen(text) == s.n && memcmp(s.p, text, s.n) == 0;
}

// "--key" or "--key=value" in a fresh heap block.
char *make_arg(span key, const span *value) {
	size_t size = 2 + key.n + (value ? 1 + value->n : 0) + 1;
	char *arg = static_cast<char *>(malloc(size));
	if (!arg)
		return nullptr;
	char *w = arg;
	*w++ = '-';
	*w++ = '-';
	memcpy(w, key.p, key.n);
	w += key.n;
	if (value) {
		*w++ = '=';
		memcpy(w, value->p, value->n);
		w += value->n;
	}
	*w = '\0';
	return arg;
}

enum class line_kind { skip, header, entry, malformed };

struct parsed_line {
	line_kind kind;
	span name;       // header: the section name; entry: the key
	span value;      // entry: the value, quotes removed
	bool has_value;  // entry: an "=" was present
};

parsed_line parse_line(span raw) {
	parsed_line out{line_kind::malformed, {nullptr, 0}, {nullptr, 0}, false};
	// A NUL byte means a binary or damaged file, never a setting.
	if (memchr(raw.p, '\0', raw.n))
		return out;
	span s = trim(raw);
	if (s.n == 0 || s.p[0] == '#' || s.p[0] == ';') {
		out.kind = line_kind::skip;
		return out;
	}
	if (s.p[0] == '[') {
		if (s.n < 2 || s.p[s.n - 1] != ']')
			return out;
		span name = trim(span{s.p + 1, s.n - 2});
		if (name.n == 0 || memchr(name.p, '[', name.n) || memchr(name.p, ']', name.n))
			return out;
		out.kind = line_kind::header;
		out.name = name;
		return out;
	}
	const char *eq = static_cast<const char *>(memchr(s.p, '=', s.n));
	span key = trim(span{s.p, eq ? static_cast<size_t>(eq - s.p) : s.n});
	if (key.n == 0)
		return out;
	out.name = key;
	if (eq) {
		span value = trim(span{eq + 1, static_cast<size_t>(s.p + s.n - eq - 1)});
		if (value.n > 0 && value.p[0] == '"') {
			if (value.n < 2 || value.p[value.n - 1] != '"')
				return out;
			value = span{value.p + 1, value.n - 2};
		}
		out.value = value;
		out.has_value = true;
	}
	out.kind = line_kind::entry;
	return out;
}

// read_file's answer for a file that is not a regular one.
const int not_regular_file = -1;

// Read a whole regular file into a malloc'ed buffer. Returns 0, an errno
// value, or not_regular_file.
int read_file(const char *path, char **data, size_t *len) {
	// O_NONBLOCK keeps a FIFO without a writer from blocking the open.
	int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0)
		return errno;
	// Only a regular file: a FIFO or a device could block the check
	// forever, before it has even hidden the password on its command line.
	struct stat st;
	if (fstat(fd, &st) != 0) {
		int err = errno;
		close(fd);
		return err;
	}
	if (!S_ISREG(st.st_mode)) {
		close(fd);
		return S_ISDIR(st.st_mode) ? EISDIR : not_regular_file;
	}
	int flags = fcntl(fd, F_GETFL);
	if (flags != -1)
		fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);

	size_t cap = 4096, used = 0;
	char *buf = static_cast<char *>(malloc(cap));
	int err = buf ? 0 : ENOMEM;
	while (!err) {
		if (used == cap) {
			// A bound keeps a device such as /dev/zero from eating memory.
			if (cap >= static_cast<size_t>(KR_INI_MAX_SIZE) + 1) {
				err = EFBIG;
				break;
			}
			size_t next = cap * 2;
			if (next > static_cast<size_t>(KR_INI_MAX_SIZE) + 1)
				next = static_cast<size_t>(KR_INI_MAX_SIZE) + 1;
			char *grown = static_cast<char *>(realloc(buf, next));
			if (!grown) {
				err = ENOMEM;
				break;
			}
			buf = grown;
			cap = next;
		}
		ssize_t got = read(fd, buf + used, cap - used);
		if (got < 0) {
			if (errno != EINTR)
				err = errno;
		} else if (got == 0) {
			break;
		} else {
			used += static_cast<size_t>(got);
		}
	}
	if (!err && used > static_cast<size_t>(KR_INI_MAX_SIZE))
		err = EFBIG;
	close(fd);
	if (err) {
		free(buf);
		return err;
	}
	*data = buf;
	*len = used;
	return 0;
}

}  // namespace

void kr_arg_list_free(kr_arg_list *list) {
	while (list) {
		kr_arg_list *next = list->next;
		free(list->arg);
		free(list);
		list = next;
	}
}

int kr_ini_parse(const char *text, size_t len, const char *section,
                 kr_arg_list **out, int *error_line) {
	*out = nullptr;
	kr_arg_list *head = nullptr;
	kr_arg_list **tail = &head;
	bool seen_header = false, in_section = false, found = false;
	size_t line_no = 0;

	size_t pos = 0;
	if (len >= 3 && memcmp(text, "\xEF\xBB\xBF", 3) == 0)
		pos = 3;
	while (pos < len) {
		const char *start = text + pos;
		const char *nl = static_cast<const char *>(memchr(start, '\n', len - pos));
		size_t n = nl ? static_cast<size_t>(nl - start) : len - pos;
		pos += n + 1;
		++line_no;

		parsed_line line = parse_line(span{start, n});
		if (line.kind == line_kind::entry && !seen_header)
			line.kind = line_kind::malformed;
		switch (line.kind) {
		case line_kind::skip:
			break;
		case line_kind::header:
			seen_header = true;
			in_section = section && equals(line.name, section);
			found = found || in_section;
			break;
		case line_kind::entry:
			if (in_section) {
				kr_arg_list *node = static_cast<kr_arg_list *>(malloc(sizeof(kr_arg_list)));
				char *arg = node ? make_arg(line.name, line.has_value ? &line.value : nullptr)
				                 : nullptr;
				if (!arg) {
					free(node);
					kr_arg_list_free(head);
					return KR_INI_NO_MEMORY;
				}
				node->arg = arg;
				node->next = nullptr;
				*tail = node;
				tail = &node->next;
			}
			break;
		case line_kind::malformed:
			kr_arg_list_free(head);
			if (error_line)
				*error_line = line_no > INT_MAX ? INT_MAX : static_cast<int>(line_no);
			return KR_INI_MALFORMED;
		}
	}
	if (!found)
		return KR_INI_NO_SECTION;
	*out = head;
	return KR_INI_OK;
}

kr_arg_list *kr_get_defaults(char *opt_value, const char *plugin_name) {
	const char *value = opt_value ? opt_value : "";
	const char *at = strchr(value, '@');

	const char *file = at && at[1] ? at + 1 : nullptr;
	if (!file) {
		const char *env = getenv("KIVREL_PLUGIN_CONFIG_FILE");
		file = env && *env ? env : KIVREL_PLUGIN_INI;
	}

	char *text = nullptr;
	size_t len = 0;
	int err = read_file(file, &text, &len);
	// The message is made first, so that die can put a program's line start
	// before it.
	if (err)
		die(STATE_UNKNOWN, "%s\n",
		    status_printf(_("Cannot read extra options file %s: %s"), status_shown(file).c_str(),
		                  err == not_regular_file ? _("Not a regular file") : strerror(err))
		        .c_str());

	size_t section_len = at ? static_cast<size_t>(at - value) : strlen(value);
	char *section = section_len > 0 ? strndup(value, section_len)
	                                : strdup(plugin_name ? plugin_name : "");
	kr_arg_list *list = nullptr;
	int error_line = 0;
	int rc = section ? kr_ini_parse(text, len, section, &list, &error_line) : KR_INI_NO_MEMORY;
	free(text);

	// The message is made before the section copy is released. Both come
	// from the command line, and end up in the status line.
	std::string message;
	if (rc == KR_INI_NO_SECTION)
		message = status_printf(_("Section [%s] not found in extra options file %s"),
		                        status_shown(section).c_str(), status_shown(file).c_str());
	else if (rc == KR_INI_MALFORMED)
		message = status_printf(_("Malformed line %d in extra options file %s"), error_line,
		                        status_shown(file).c_str());
	free(section);
	if (rc == KR_INI_NO_MEMORY)
		die(STATE_UNKNOWN, "%s %s\n", _("Cannot allocate memory:"), strerror(ENOMEM));
	if (rc != KR_INI_OK)
		die(STATE_UNKNOWN, "%s\n", message.c_str());
	return list;
}
