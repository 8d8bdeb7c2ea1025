// SPDX-License-Identifier: MIT
// kitcore: whether message lookups can translate at all. An object of its
// own, so that a program linking only the C library (check_sysinfo) has it.
#include "common.h"

int kr_untranslated = 0;

void kr_note_catalog(void) {
	// A catalogue's header is the translation of "", and never empty.
	kr_untranslated = 0;
	kr_untranslated = *dcgettext(nullptr, "", LC_MESSAGES) == '\0';
}
