/* SPDX-License-Identifier: MIT */
/* Definitions shared by the checkkit library and the check programs:
 * plugin states, routine results, truth values and the message macros.
 * Installed for plugins built elsewhere, so it depends on nothing the build
 * generates; sources that need the build's settings include build_config.h
 * themselves. */
#ifndef KIVREL_COMMON_H
#define KIVREL_COMMON_H

#include <libintl.h>
#include <locale.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Plugin states; each is also the exit code of a plugin. */
enum {
	STATE_OK = 0,
	STATE_WARNING = 1,
	STATE_CRITICAL = 2,
	STATE_UNKNOWN = 3,
	STATE_DEPENDENT = 4
};

/* Routine results. */
enum {
	OK = 0,
	ERROR = -1
};

/* Truth values of the routines that answer yes or no. */
#ifndef FALSE
#define FALSE 0
#endif
#ifndef TRUE
#define TRUE 1
#endif

/* Nonzero once kr_note_catalog found no message catalogue of the current
 * text domain for the locale: every lookup would give back its own text. */
extern int kr_untranslated;

/* Call once the locale and the text domain are set: notes whether the
 * domain has a catalogue for the locale (its header, the translation of "",
 * is not empty), so that _() passes over lookups that cannot translate. */
void kr_note_catalog(void);

/* Message lookup in the text domain the program made current. */
#define _(String) (kr_untranslated ? (String) : dcgettext(NULL, (String), LC_MESSAGES))
/* Marks a text for extraction without looking it up. */
#define N_(String) (String)

#ifdef __cplusplus
}
#endif

#endif /* KIVREL_COMMON_H */
