/* SPDX-License-Identifier: MIT */
/* Routines the check programs share: usage exits, the revision banner,
 * argument tests, performance data and formatted allocation. */
#ifndef KIVREL_PLUGIN_ROUTINES_H
#define KIVREL_PLUGIN_ROUTINES_H

#include "common.h"
#include "kitcore.h"
#include "plugin_help.h"

#ifdef __cplusplus
extern "C" {
#endif

/// The program's name; each program defines it.
extern const char *progname;

/// The program's short usage synopsis; each program defines it.
void print_usage(void);

/// Print "<progname>: <msg>" and the usage, then exit with STATE_UNKNOWN.
/// Where the program set a line start (kr_set_line_start), the first line is
/// that start for STATE_UNKNOWN and the message instead.
void usage(const char *msg) __attribute__((noreturn));
/// Print "<progname>: <msg> - <arg>" and the usage, exit with STATE_UNKNOWN;
/// with a line start as usage.
void usage2(const char *msg, const char *arg) __attribute__((noreturn));
/// As usage.
void usage4(const char *msg) __attribute__((noreturn));
/// Print the usage (the option parser has already explained on standard
/// error), exit with STATE_UNKNOWN; with a line start, after a line of that
/// start and "Could not parse arguments".
void usage5(void) __attribute__((noreturn));

/// Non-zero for an IP address literal, an RFC 1123 host name (underscores
/// allowed) or an absolute path; no name lookup is made.
int is_host(const char *address);
/// Non-zero for decimal digits (optionally after '+') whose value fits an int.
int is_intnonneg(const char *number);
/// Non-zero when the whole text is one finite decimal number (as
/// kr_read_number reads it); 0 for null.
int is_numeric(const char *number);
/// Non-zero when \a label can be a performance-data label as it stands: not
/// empty, and without "=", a single quote, "|" or a control character.
int is_perf_label(const char *label);

/// A new performance-data item label=value[uom];[warn];[crit];[min];[max].
/// Every label of the programs is written here: in single quotes when it
/// holds a blank, with each byte that is_perf_label refuses as "_". The
/// caller never frees it.
char *perfdata(const char *label, long val, const char *uom,
               int warnp, long warn, int critp, long crit,
               int minp, long minv, int maxp, long maxv);
/// As perfdata, with floating-point values in their shortest exact text.
char *fperfdata(const char *label, double val, const char *uom,
                int warnp, double warn, int critp, double crit,
                int minp, double minv, int maxp, double maxv);
/// As fperfdata, with the warning and critical fields written as the ranges
/// they hold ("10", "90:", "~:5", "@10:20"); a null range leaves its field
/// empty.
char *rperfdata(const char *label, double val, const char *uom,
                const range *warn, const range *crit,
                int minp, double minv, int maxp, double maxv);

/// Format into a new text stored through \a strp. Dies with STATE_UNKNOWN
/// when memory runs out; returns the length.
int xasprintf(char **strp, const char *fmt, ...)
	__attribute__((format(printf, 2, 3)));

#ifdef __cplusplus
}
#endif

#endif /* KIVREL_PLUGIN_ROUTINES_H */
