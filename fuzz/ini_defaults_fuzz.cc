// SPDX-License-Identifier: MIT
// Fuzz target for the INI parser behind --extra-opts: arbitrary bytes must
// never crash it, and whatever it returns must be well formed.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "ini_defaults.h"
#include "kitcore.h"

// kr_get_defaults shares the file with the parser; the parser itself must
// never reach the fatal exit, so reaching it here is a finding.
void die(int, const char *, ...) {
	abort();
}
void _kr_die_errno(const char *) {
	abort();
}

namespace {

void check_list(const kr_arg_list *list) {
	for (; list; list = list->next) {
		// Every entry is one option argument of a single line.
		if (strncmp(list->arg, "--", 2) != 0 || list->arg[2] == '\0' ||
		    strchr(list->arg, '\n'))
			abort();
	}
}

bool same_list(const kr_arg_list *a, const kr_arg_list *b) {
	for (; a && b; a = a->next, b = b->next) {
		if (strcmp(a->arg, b->arg) != 0)
			return false;
	}
	return !a && !b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
	// The first byte picks the section so that short, common names and
	// names the input itself may contain are both tried.
	static const char *const sections[] = {"s", "P", "mysql", "a b", "check_dbquery"};
	const char *section = sections[size > 0 ? data[0] % 5 : 0];
	const char *text = reinterpret_cast<const char *>(data);

	kr_arg_list *list = nullptr;
	int line = 0;
	int rc = kr_ini_parse(text, size, section, &list, &line);
	switch (rc) {
	case KR_INI_OK:
		check_list(list);
		break;
	case KR_INI_MALFORMED:
		// A line number within the input, counted from 1.
		if (list || line < 1 || static_cast<size_t>(line) > size)
			abort();
		break;
	case KR_INI_NO_SECTION:
	case KR_INI_NO_MEMORY:
		if (list)
			abort();
		break;
	default:
		abort();
	}

	// The parser keeps no state: a second run gives the same answer.
	kr_arg_list *again = nullptr;
	int line_again = 0;
	if (kr_ini_parse(text, size, section, &again, &line_again) != rc ||
	    !same_list(list, again) || (rc == KR_INI_MALFORMED && line != line_again))
		abort();
	kr_arg_list_free(again);
	kr_arg_list_free(list);
	return 0;
}
