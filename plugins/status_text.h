/* SPDX-License-Identifier: MIT */
/* status_text: building the texts of a status line: formatting into a
 * string, and texts from the server or the command line made safe to show
 * in one line. */
#ifndef KIVREL_STATUS_TEXT_H
#define KIVREL_STATUS_TEXT_H

/// The rule of status_shown for one byte: a control character (a line
/// break, say) as a blank, "|", which would start the performance data, as
/// "/", any other byte as it is. Inline, so that a program that links
/// nothing of the library (check_sysinfo) shows texts by the same rule.
static inline char status_shown_char(char c) {
	unsigned char u = (unsigned char)c;
	return c == '|' ? '/' : (u < ' ' || u == 0x7f) ? ' ' : c;
}

#ifdef __cplusplus
#include <string>

/// The text that printf would print for \a fmt and the values. Ends the run
/// with STATE_UNKNOWN when memory runs out.
std::string status_printf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/// The text \a item (a performance-data item of rperfdata, say) as a string;
/// \a item is released.
std::string status_taken(char *item);

/// The one routine that makes a text from the server or the command line
/// safe for a status line: control characters (line breaks among them) as
/// blanks, and "|", which would start the performance data, as "/". Every
/// other byte stays.
std::string status_shown(const std::string &text);

/// \a value with \a decimals decimals, less trailing zeros (and the dot
/// when none is left), and "0" for a negative zero: 2 and 3 give "3.14",
/// 0.5 and 3 give "0.5", 2 and 3 give "2".
std::string status_decimal(double value, int decimals);

extern "C" {
#endif

/// status_shown for C: a new text, never freed by the caller; null reads as
/// the empty text. Ends the run with STATE_UNKNOWN when memory runs out.
char *status_shown_text(const char *text);

#ifdef __cplusplus
}
#endif

#endif /* KIVREL_STATUS_TEXT_H */
