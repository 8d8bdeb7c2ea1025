/* SPDX-License-Identifier: MIT */
/* argmerge: merge options read from an INI section, named by --extra-opts,
 * into a program's argument vector before it is parsed. */
#ifndef KIVREL_ARGMERGE_H
#define KIVREL_ARGMERGE_H

#include "common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One complete option argument; the list the INI defaults reader returns. */
typedef struct kr_arg_list {
	char *arg;                 /* one argument, in its own heap block */
	struct kr_arg_list *next;  /* null at the end */
} kr_arg_list;

/// The INI defaults reader, provided by the programs' common code: the
/// options named by one --extra-opts value (null when it had none).
/// Returns a list of freshly allocated nodes, or null for none.
kr_arg_list *kr_get_defaults(char *opt_value, const char *plugin_name);

/// Take every --extra-opts argument out of \a argv (in place), read the
/// options each one names, and return the vector to parse: the program name,
/// the read options, then the remaining arguments. \a argc is updated.
/// Returns \a argv itself when nothing was read. Dies with STATE_UNKNOWN when
/// the new vector cannot be allocated.
char **kr_argmerge(int *argc, char **argv, const char *plugin_name);

/// Returns TRUE when \a str begins with exactly one or two '-', else FALSE.
int is_option2(const char *str);

#ifdef __cplusplus
}
#endif

#endif /* KIVREL_ARGMERGE_H */
