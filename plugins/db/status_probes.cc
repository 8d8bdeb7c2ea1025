// SPDX-License-Identifier: MIT
// status_probes: reading the probes' rows of check_dbstatus.
#include "status_probes.h"

#include <strings.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "kitcore.h"

namespace {

// The largest value of each integer type, signed and unsigned.
const struct {
	const char *type;
	long double signed_max;
	long double unsigned_max;
} integer_types[] = {
	{"tinyint", 127.0L, 255.0L},
	{"smallint", 32767.0L, 65535.0L},
	{"mediumint", 8388607.0L, 16777215.0L},
	{"int", 2147483647.0L, 4294967295.0L},
	{"integer", 2147483647.0L, 4294967295.0L},
	{"bigint", 9223372036854775807.0L, 18446744073709551615.0L},
};

}  // namespace

double autoinc_used_percent(const std::string &data_type, const std::string &column_type,
                            const std::string &next) {
	const char *text = next.c_str();
	char *end = nullptr;
	errno = 0;
	unsigned long long value = strtoull(text, &end, 10);
	if (next.empty() || *end != '\0' || text[0] == '-' || text[0] == '+' || text[0] == ' ' ||
	    errno == ERANGE)
		return -1;
	bool is_unsigned = strcasestr(column_type.c_str(), "unsigned") != nullptr;
	for (const auto &t : integer_types) {
		if (strcasecmp(data_type.c_str(), t.type) != 0)
			continue;
		long double max = is_unsigned ? t.unsigned_max : t.signed_max;
		// The next value less one is the last handed out.
		long double used = value == 0 ? 0 : static_cast<long double>(value - 1);
		long double percent = 100 * used / max;
		return static_cast<double>(percent > 100 ? 100 : percent);
	}
	return -1;
}

bool cert_days_left(const std::string &not_after, time_t now, double *days) {
	struct tm tm = {};
	// The month's name is English whatever the locale: the server prints it so.
	static const char months[][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
	                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
	char month[4] = "", zone[4] = "";
	int consumed = 0;
	if (sscanf(not_after.c_str(), "%3s %d %d:%d:%d %d %3s%n", month, &tm.tm_mday, &tm.tm_hour,
	           &tm.tm_min, &tm.tm_sec, &tm.tm_year, zone, &consumed) != 7 ||
	    static_cast<size_t>(consumed) != not_after.size() || strcmp(zone, "GMT") != 0)
		return false;
	tm.tm_mon = -1;
	for (int m = 0; m < 12; m++)
		if (strcmp(month, months[m]) == 0)
			tm.tm_mon = m;
	if (tm.tm_mon < 0 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 ||
	    tm.tm_sec > 60 || tm.tm_year < 1970)
		return false;
	tm.tm_year -= 1900;
	time_t end = timegm(&tm);
	*days = difftime(end, now) / 86400;
	return true;
}

bool ignored_users::add(const char *pattern, std::string *error) {
	auto c = std::make_unique<compiled>();
	kr_ctype_from_locale();
	int rc = regcomp(&c->re, pattern, REG_EXTENDED | REG_NOSUB);
	if (rc != 0) {
		char message[256];
		regerror(rc, &c->re, message, sizeof message);
		*error = message;
		return false;
	}
	c->made = true;
	patterns_.push_back(std::move(c));
	return true;
}

bool ignored_users::match(const char *user) const {
	if (!user)
		return false;
	for (const auto &p : patterns_)
		if (regexec(&p->re, user, 0, nullptr, 0) == 0)
			return true;
	return false;
}
