// SPDX-License-Identifier: MIT
// status_text: building the texts of a status line: formatting into a
// string, and server texts made safe to show in one line.
#ifndef KIVREL_STATUS_TEXT_H
#define KIVREL_STATUS_TEXT_H

#include <string>

/// The text that printf would print for \a fmt and the values. Ends the run
/// with STATE_UNKNOWN when memory runs out.
std::string status_printf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/// The text \a item (a performance-data item of rperfdata, say) as a string;
/// \a item is released.
std::string status_taken(char *item);

/// \a text with control characters (line breaks) as blanks and "|", which
/// would start the performance data, as "/".
std::string status_shown(const std::string &text);

#endif  // KIVREL_STATUS_TEXT_H
