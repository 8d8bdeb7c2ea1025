// SPDX-License-Identifier: MIT
// kitcore: text helpers (numbers, name=value lists, escaping) and
// privilege helpers.
#include "kitcore.h"

#include <unistd.h>

#include <cctype>
#include <charconv>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "build_config.h"

namespace {

const char *skip_space(const char *p) {
	while (*p && isspace(static_cast<unsigned char>(*p)))
		p++;
	return p;
}

// The next separator at or after \a p; never the terminating zero byte.
const char *find_sep(const char *p, char sep) {
	return sep ? strchr(p, sep) : nullptr;
}

}  // namespace

int kr_read_number_n(const char *text, size_t length, double *value) {
	if (!text || length == 0)
		return FALSE;
	// Only the characters of a decimal number: this shuts out blanks,
	// "inf", "nan" and hexadecimal, which strtod would also take.
	for (size_t i = 0; i < length; i++)
		if (!strchr("0123456789+-.eE", text[i]) || text[i] == '\0')
			return FALSE;
	const char *end = text + length;
	double number = 0;
	// The common case without strtod's locale and copying; it reads the
	// same numbers to the same double. A sign "+", a number out of range
	// and anything else unusual go the long way.
	std::from_chars_result fast = std::from_chars(text, end, number);
	if (fast.ec == std::errc() && fast.ptr == end) {
		if (!std::isfinite(number))
			return FALSE;
		*value = number;
		return TRUE;
	}
	static locale_t c_numeric = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
	std::string copy(text, length);
	char *stop = nullptr;
	number = strtod_l(copy.c_str(), &stop, c_numeric);
	// Overflow gives HUGE_VAL; a number too small to hold reads as 0 or
	// near it, which is what it is.
	if (stop == copy.c_str() || *stop != '\0' || !std::isfinite(number))
		return FALSE;
	*value = number;
	return TRUE;
}

int kr_read_number(const char *text, double *value) {
	return text ? kr_read_number_n(text, strlen(text), value) : FALSE;
}

char *kr_extract_value(const char *varlist, const char *name, char sep) {
	if (!varlist || !name)
		return nullptr;
	size_t name_len = strlen(name);
	const char *cursor = varlist;
	for (;;) {
		cursor = skip_space(cursor);
		if (strncmp(cursor, name, name_len) == 0) {
			const char *after = skip_space(cursor + name_len);
			if (*after == '=') {
				const char *value = skip_space(after + 1);
				const char *end = find_sep(value, sep);
				if (end == value || (!end && !*value)) {
					// An empty value never wins; a later entry may.
					cursor = end ? end : value;
				} else {
					size_t len = end ? static_cast<size_t>(end - value) : strlen(value);
					while (len > 0 && isspace(static_cast<unsigned char>(value[len - 1])))
						len--;
					return strndup(value, len);
				}
			} else {
				cursor = after;
			}
		}
		const char *next = find_sep(cursor, sep);
		if (!next)
			return nullptr;
		cursor = next + 1;
	}
}

char *kr_escaped_string(const char *string) {
	char *out = static_cast<char *>(malloc(strlen(string) + 1));
	if (!out)
		return nullptr;
	char *w = out;
	for (const char *p = string; *p; p++) {
		if (*p != '\\') {
			*w++ = *p;
			continue;
		}
		p++;
		if (!*p)
			break;  // a lone backslash at the end ends the text
		switch (*p) {
		case 'n':
			*w++ = '\n';
			break;
		case 'r':
			*w++ = '\r';
			break;
		case 't':
			*w++ = '\t';
			break;
		default:  // a backslash, or any other character, stands for itself
			*w++ = *p;
		}
	}
	*w = '\0';
	return out;
}

int kr_check_if_root(void) {
	return geteuid() == 0 ? TRUE : FALSE;
}

int kr_warn_if_not_root(void) {
	if (kr_check_if_root())
		return TRUE;
	printf("%s", _("Warning: "));
	printf("%s\n", _("This plugin must be either run as root or setuid root."));
	printf("%s\n", _("To run as root, you can use a tool like sudo."));
	printf("%s\n", _("To set the setuid permissions, use the command:"));
	printf("\t%s\n", _("chmod u+s yourpluginfile"));
	return FALSE;
}

namespace {

// The effective ids that the first temporary drop gave up, kept until a
// restore takes them back: a second drop finds only the real ids in effect.
bool ids_dropped = false;
uid_t privileged_uid;
gid_t privileged_gid;

}  // namespace

int idpriv_temp_drop(void) {
	uid_t uid = getuid();
	gid_t gid = getgid();
	if (!ids_dropped) {
		privileged_uid = geteuid();
		privileged_gid = getegid();
		ids_dropped = true;
	}
	// The group first, while the privileged user may still change it; the
	// privileged ids stay saved for idpriv_temp_restore.
	if (setresgid(static_cast<gid_t>(-1), gid, privileged_gid) != 0 ||
	    setresuid(static_cast<uid_t>(-1), uid, privileged_uid) != 0)
		return -1;
	return geteuid() == uid && getegid() == gid ? 0 : -1;
}

int idpriv_temp_restore(void) {
	uid_t uid = privileged_uid;
	gid_t gid = privileged_gid;
	if (!ids_dropped) {
		// Nothing was dropped here: the saved ids are the privileged ones.
		uid_t ruid, euid;
		gid_t rgid, egid;
		if (getresuid(&ruid, &euid, &uid) != 0 || getresgid(&rgid, &egid, &gid) != 0)
			return -1;
	}
	// The user first: its privileged id is what may change the group back.
	if (setresuid(static_cast<uid_t>(-1), uid, static_cast<uid_t>(-1)) != 0 ||
	    setresgid(static_cast<gid_t>(-1), gid, static_cast<gid_t>(-1)) != 0 ||
	    geteuid() != uid || getegid() != gid)
		return -1;
	ids_dropped = false;
	return 0;
}
