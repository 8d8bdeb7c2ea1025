// SPDX-License-Identifier: MIT
// status_text: texts for a status line.
#include "status_text.h"

#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common.h"
#include "kitcore.h"

std::string status_printf(const char *fmt, ...) {
	va_list ap;
	va_start(ap, fmt);
	char *text = nullptr;
	int length = vasprintf(&text, fmt, ap);
	va_end(ap);
	if (length < 0)
		_kr_die_errno(_("Cannot allocate memory:"));
	std::string out(text, static_cast<size_t>(length));
	free(text);
	return out;
}

std::string status_taken(char *item) {
	std::string out = item;
	free(item);
	return out;
}

std::string status_shown(const std::string &text) {
	std::string out = text;
	for (char &c : out)
		c = status_shown_char(c);
	return out;
}

char *status_shown_text(const char *text) {
	char *out = strdup(status_shown(text ? text : "").c_str());
	if (!out)
		_kr_die_errno(_("Cannot allocate memory:"));
	return out;
}

std::string status_decimal(double value, int decimals) {
	char text[400];
	std::to_chars_result res =
		std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
	std::string out(text, res.ec == std::errc() ? res.ptr : text);
	if (out.find('.') != std::string::npos) {
		out.erase(out.find_last_not_of('0') + 1);
		if (out.back() == '.')
			out.pop_back();
	}
	return out == "-0" ? "0" : out;
}
