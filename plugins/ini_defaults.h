/* SPDX-License-Identifier: MIT */
/* ini_defaults: the INI defaults reader behind --extra-opts=[section][@file].
 *
 * The option value names a section and, after the first "@", a file. An
 * absent or empty section means the plugin name. Without a file (or with an
 * empty one after "@") the file named by the environment variable
 * KIVREL_PLUGIN_CONFIG_FILE is read when it is set and not empty, else the
 * build-time KIVREL_PLUGIN_INI.
 *
 * File syntax, one entry a line:
 *   [section]        starts a section; blanks inside the brackets are
 *                    trimmed; names match exactly (letter case counts).
 *   key = value      gives the argument "--key=value"
 *   key =            gives "--key=" (an empty value, e.g. an empty password)
 *   key              gives "--key"
 *   key = "  v  "    a value enclosed in double quotes keeps its blanks; the
 *                    quotes are removed, nothing inside is unescaped
 *   # ... or ; ...   comment lines (after leading blanks); blank lines are
 *                    ignored. There are no comments after an entry: a "#" or
 *                    ";" inside a value belongs to the value.
 * Blanks are spaces, tabs, vertical tabs, form feeds and carriage returns,
 * so CRLF line ends are accepted. A UTF-8 byte order mark at the start of the
 * file is skipped. A section that appears more than once contributes all its
 * entries, in file order. The value is split at the first "=".
 *
 * The whole file is checked, not only the wanted section, so that a damaged
 * file never passes unnoticed. A line is malformed when it holds a NUL byte,
 * when a header lacks its closing "]", has text after it, has an empty name
 * or a "[" or "]" inside the name, when its key is empty ("= value"), when a
 * value that opens a double quote does not end with one, or when an entry
 * comes before the first section header.
 */
#ifndef KIVREL_INI_DEFAULTS_H
#define KIVREL_INI_DEFAULTS_H

#include <stddef.h>

#include "argmerge.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Results of kr_ini_parse. */
enum {
	KR_INI_OK = 0,          /* the section was found (its list may be empty) */
	KR_INI_NO_SECTION = 1,  /* no header names the section */
	KR_INI_MALFORMED = 2,   /* a malformed line; its number is stored */
	KR_INI_NO_MEMORY = 3    /* an allocation failed */
};

/* Files larger than this are refused (with EFBIG) rather than read. */
#define KR_INI_MAX_SIZE (16 * 1024 * 1024)

/// Parse the \a len bytes at \a text (no terminating NUL needed) and collect
/// the arguments of every occurrence of \a section, in file order.
/// Returns KR_INI_OK and stores the list (null when the section is empty)
/// through \a out. On any other result stores null through \a out and
/// allocates nothing; on KR_INI_MALFORMED stores the 1-based number of the
/// first malformed line through \a error_line (when not null). Never ends
/// the process. Nodes and texts are allocated with malloc.
int kr_ini_parse(const char *text, size_t len, const char *section,
                 kr_arg_list **out, int *error_line);

/// Free a list and its texts, as returned by kr_ini_parse (null is fine).
void kr_arg_list_free(kr_arg_list *list);

/* kr_get_defaults (declared in argmerge.h) reads the file and ends the
 * process with STATE_UNKNOWN and one line naming the file when it cannot be
 * read, lacks the section, or has a malformed line. */

#ifdef __cplusplus
}
#endif

#endif /* KIVREL_INI_DEFAULTS_H */
