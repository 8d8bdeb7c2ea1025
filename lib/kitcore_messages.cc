// SPDX-License-Identifier: MIT
// kitcore: whether message lookups can translate at all, and the character
// type taken from the locale when something needs it. An object of its own,
// so that a program linking only the C library (check_sysinfo) has it.
#include <clocale>

#include "kitcore.h"

int kr_untranslated = 0;

void kr_note_catalog(void) {
	// A catalogue's header is the translation of "", and never empty.
	kr_untranslated = 0;
	kr_untranslated = *dcgettext(nullptr, "", LC_MESSAGES) == '\0';
}

void kr_ctype_from_locale(void) {
	static bool taken = false;
	if (!taken)
		setlocale(LC_CTYPE, "");
	taken = true;
}
