// SPDX-License-Identifier: MIT
// db_sql: quoting names and texts into SQL.
#include "db_sql.h"

#include <utility>

#include "common.h"
#include "db_connect.h"
#include "status_text.h"

namespace {

// The length of the UTF-8 sequence at the start of \a text, or 0 when it
// is not a valid one: no overlong form, no surrogate, nothing above
// U+10FFFF.
size_t utf8_length(std::string_view text) {
	const unsigned char c = static_cast<unsigned char>(text[0]);
	size_t length;
	unsigned char low = 0x80, high = 0xbf;  // bounds of the second byte
	if (c < 0x80)
		return 1;
	if (c >= 0xc2 && c <= 0xdf)
		length = 2;
	else if (c >= 0xe0 && c <= 0xef) {
		length = 3;
		if (c == 0xe0)
			low = 0xa0;
		else if (c == 0xed)
			high = 0x9f;
	} else if (c >= 0xf0 && c <= 0xf4) {
		length = 4;
		if (c == 0xf0)
			low = 0x90;
		else if (c == 0xf4)
			high = 0x8f;
	} else {
		return 0;
	}
	if (text.size() < length)
		return 0;
	for (size_t i = 1; i < length; i++) {
		const unsigned char b = static_cast<unsigned char>(text[i]);
		if (b < (i == 1 ? low : 0x80) || b > (i == 1 ? high : 0xbf))
			return 0;
	}
	return length;
}

// \a text between two \a quote characters, each \a quote inside doubled;
// nothing when a byte sequence is not valid UTF-8 or is one of \a refused.
std::optional<std::string> quoted(std::string_view text, char quote, std::string_view refused) {
	std::string out;
	out.reserve(text.size() + 2);
	out += quote;
	while (!text.empty()) {
		// A run of plain ASCII goes in at once.
		size_t plain = 0;
		auto is_plain = [&](char c) {
			if (static_cast<unsigned char>(c) >= 0x80 || c == quote)
				return false;
			for (char r : refused)
				if (c == r)
					return false;
			return true;
		};
		while (plain < text.size() && is_plain(text[plain]))
			plain++;
		out.append(text.substr(0, plain));
		text.remove_prefix(plain);
		if (text.empty())
			break;
		size_t length = utf8_length(text);
		if (length == 0 || (length == 1 && refused.find(text[0]) != std::string_view::npos))
			return std::nullopt;
		if (text[0] == quote)
			out += quote;
		out.append(text.substr(0, length));
		text.remove_prefix(length);
	}
	out += quote;
	return out;
}

[[noreturn]] void refuse(std::string_view text, const char *what, const char *rule) {
	db_die(STATE_UNKNOWN, _("%s cannot be put into a query safely (%s): %s\n"), what, rule,
	       status_shown(std::string(text)).c_str());
}

}  // namespace

std::optional<std::string> db_quote_identifier(std::string_view name) {
	if (name.empty())
		return std::nullopt;
	return quoted(name, '`', std::string_view("\0", 1));
}

std::optional<std::string> db_quote_literal(std::string_view text) {
	return quoted(text, '\'', std::string_view("\0\\", 2));
}

std::string db_identifier_or_die(std::string_view name, const char *what) {
	std::optional<std::string> sql = db_quote_identifier(name);
	if (!sql)
		refuse(name, what, _("it must be valid UTF-8, not empty, without NUL bytes"));
	return std::move(*sql);
}

std::string db_literal_or_die(std::string_view text, const char *what) {
	std::optional<std::string> sql = db_quote_literal(text);
	if (!sql)
		refuse(text, what, _("it must be valid UTF-8, without NUL bytes and backslashes"));
	return std::move(*sql);
}
