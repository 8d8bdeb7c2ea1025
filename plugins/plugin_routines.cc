// SPDX-License-Identifier: MIT
// Routines the check programs share.
#include "plugin_routines.h"

#include <arpa/inet.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "build_config.h"
#include "kitcore.h"
#include "status_text.h"

namespace {

bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

bool is_ascii_alnum(char c) {
	return is_ascii_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// A host name by RFC 1123, with underscores: dot-separated labels of 1 to 63
// letters, digits, underscores and hyphens that neither begin nor end with a
// hyphen; at most 253 characters, one trailing dot allowed.
bool is_hostname(std::string_view name) {
	if (!name.empty() && name.back() == '.')
		name.remove_suffix(1);
	if (name.empty() || name.size() > 253)
		return false;
	size_t start = 0;
	while (start <= name.size()) {
		size_t dot = name.find('.', start);
		std::string_view label = name.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
		if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
			return false;
		for (char c : label)
			// Underscores are not in the RFC, but container and service
			// names use them and resolvers accept them.
			if (!is_ascii_alnum(c) && c != '-' && c != '_')
				return false;
		if (dot == std::string_view::npos)
			break;
		start = dot + 1;
	}
	return true;
}

// Shortest fixed-notation text that reads back as the same double, with a
// dot as decimal mark.
std::string double_text(double value) {
	char buf[512];
	// A whole number within a double's exact integers has no other
	// shortest text than its digits; -0 keeps its sign below.
	if (std::fabs(value) < 9007199254740992.0 && value == std::trunc(value) &&
	    !(value == 0 && std::signbit(value))) {
		auto whole = std::to_chars(buf, buf + sizeof buf, static_cast<long long>(value));
		return std::string(buf, whole.ptr);
	}
	auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
	if (res.ec != std::errc())
		return std::to_string(value);
	return std::string(buf, res.ptr);
}

// A byte that would end a label or the performance data, or break the
// line: "=" ends the label, a single quote its quoting, "|" the line's
// performance data.
bool breaks_label(char c) {
	return static_cast<unsigned char>(c) < ' ' || c == '\x7f' || c == '=' || c == '\'' || c == '|';
}

// The one writer of labels: each byte that breaks_label refuses as "_",
// and in single quotes when a blank is left in it.
std::string perf_label(const char *label) {
	std::string text(label ? label : "");
	for (char &c : text)
		if (breaks_label(c))
			c = '_';
	if (text.find(' ') == std::string::npos)
		return text;
	return "'" + text + "'";
}

struct perf_field {
	bool present;
	std::string text;
};

char *perf_item(const char *label, const std::string &value, const char *uom,
                const perf_field (&fields)[4]) {
	std::string item = perf_label(label) + "=" + value + (uom ? uom : "");
	// Trailing empty fields are dropped; inner ones stay empty.
	int last = 3;
	while (last >= 0 && !fields[last].present)
		last--;
	for (int i = 0; i <= last; i++) {
		item += ';';
		if (fields[i].present)
			item += fields[i].text;
	}
	char *out = strdup(item.c_str());
	if (!out)
		die(STATE_UNKNOWN, "%s %s\n", _("Cannot allocate memory:"), strerror(errno));
	return out;
}

[[noreturn]] void usage_exit() {
	print_usage();
	exit(STATE_UNKNOWN);
}

// The first line of a usage error: "<progname>: <msg>", or, in a program
// whose every line starts with its prefix and state word, that start and
// the message.
void usage_line(const char *msg, const char *arg) {
	const char *start = kr_line_start(STATE_UNKNOWN);
	if (*start)
		printf("%s%s", start, msg);
	else
		printf("%s: %s", progname, msg);
	if (arg)
		printf(" - %s", status_shown(arg).c_str());
	printf("\n");
}

}  // namespace

void usage(const char *msg) {
	usage_line(msg, nullptr);
	usage_exit();
}

void usage2(const char *msg, const char *arg) {
	usage_line(msg, arg ? arg : "");
	usage_exit();
}

void usage4(const char *msg) {
	usage_line(msg, nullptr);
	usage_exit();
}

void usage5(void) {
	// The option parser explained on standard error; the status line, when
	// the program starts its lines with a prefix, says what happened.
	if (*kr_line_start(STATE_UNKNOWN))
		usage_line(_("Could not parse arguments"), nullptr);
	usage_exit();
}

int is_host(const char *address) {
	if (!address || !*address)
		return FALSE;
	if (address[0] == '/')
		return TRUE;
	unsigned char addr[sizeof(struct in6_addr)];
	if (inet_pton(AF_INET, address, addr) == 1 || inet_pton(AF_INET6, address, addr) == 1)
		return TRUE;
	return is_hostname(address) ? TRUE : FALSE;
}

int is_intnonneg(const char *number) {
	if (!number)
		return FALSE;
	const char *p = number;
	if (*p == '+')
		p++;
	if (!*p)
		return FALSE;
	long long value = 0;
	for (; *p; p++) {
		if (!is_ascii_digit(*p))
			return FALSE;
		value = value * 10 + (*p - '0');
		if (value > INT_MAX)
			return FALSE;
	}
	return TRUE;
}

int is_numeric(const char *number) {
	double value;
	return kr_read_number(number, &value);
}

int is_perf_label(const char *label) {
	if (!label || !*label)
		return FALSE;
	for (const char *p = label; *p; p++)
		if (breaks_label(*p))
			return FALSE;
	return TRUE;
}

char *perfdata(const char *label, long val, const char *uom,
               int warnp, long warn, int critp, long crit,
               int minp, long minv, int maxp, long maxv) {
	const perf_field fields[4] = {
		{warnp != 0, std::to_string(warn)},
		{critp != 0, std::to_string(crit)},
		{minp != 0, std::to_string(minv)},
		{maxp != 0, std::to_string(maxv)},
	};
	return perf_item(label, std::to_string(val), uom, fields);
}

char *fperfdata(const char *label, double val, const char *uom,
                int warnp, double warn, int critp, double crit,
                int minp, double minv, int maxp, double maxv) {
	const perf_field fields[4] = {
		{warnp != 0, double_text(warn)},
		{critp != 0, double_text(crit)},
		{minp != 0, double_text(minv)},
		{maxp != 0, double_text(maxv)},
	};
	return perf_item(label, double_text(val), uom, fields);
}

namespace {

// The text of a range as the range syntax writes it.
std::string range_text(const range *r) {
	if (!r)
		return "";
	std::string text = r->alert_on ? "@" : "";
	if (r->start_infinity)
		text += "~:";
	else if (r->start != 0 || r->end_infinity)
		text += double_text(r->start) + ":";
	if (!r->end_infinity)
		text += double_text(r->end);
	return text;
}

}  // namespace

char *rperfdata(const char *label, double val, const char *uom,
                const range *warn, const range *crit,
                int minp, double minv, int maxp, double maxv) {
	const perf_field fields[4] = {
		{warn != nullptr, range_text(warn)},
		{crit != nullptr, range_text(crit)},
		{minp != 0, double_text(minv)},
		{maxp != 0, double_text(maxv)},
	};
	return perf_item(label, double_text(val), uom, fields);
}

int xasprintf(char **strp, const char *fmt, ...) {
	va_list ap;
	va_start(ap, fmt);
	int result = vasprintf(strp, fmt, ap);
	va_end(ap);
	if (result < 0) {
		const char *why = strerror(errno);
		die(STATE_UNKNOWN, "%s %s\n", _("Cannot allocate memory:"), why);
	}
	return result;
}
