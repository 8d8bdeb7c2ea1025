// SPDX-License-Identifier: MIT
// Fuzz target for the quoting of names and texts into SQL: whatever it
// gives back is one quoted token that reads back as the input, and no
// quote inside it stands alone.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "db_connect.h"
#include "db_sql.h"
#include "plugin_routines.h"

// The quoting functions that end the run are not fuzzed.
const char *progname = "db_sql_fuzz";
void print_usage(void) {}
void db_die(int, const char *, ...) { abort(); }

namespace {

// \a quoted must be \a quote, the input with each \a quote doubled, \a quote.
void check(const std::optional<std::string> &quoted, const std::string &input, char quote) {
	if (!quoted)
		return;
	const std::string &q = *quoted;
	if (q.size() < 2 || q.front() != quote || q.back() != quote)
		abort();
	std::string inner;
	for (size_t i = 1; i + 1 < q.size(); i++) {
		if (q[i] == quote && (i + 2 >= q.size() || q[++i] != quote))
			abort();
		if (q[i] == '\0' || (quote == '\'' && q[i] == '\\'))
			abort();
		inner += q[i];
	}
	if (inner != input)
		abort();
	// A quoted input is valid UTF-8, whose bytes above 0x7f never stand
	// before a quote as the first byte of a character: quoting it again
	// must not be refused.
	if (!(quote == '`' ? db_quote_identifier(input) : db_quote_literal(input)))
		abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
	std::string text(reinterpret_cast<const char *>(data), size);
	check(db_quote_identifier(text), text, '`');
	check(db_quote_literal(text), text, '\'');
	// Valid UTF-8 is refused only for an empty name, a NUL or a backslash:
	// an identifier and a literal of the same text differ in no other way.
	if (db_quote_literal(text) && !text.empty() && !db_quote_identifier(text))
		abort();
	return 0;
}
