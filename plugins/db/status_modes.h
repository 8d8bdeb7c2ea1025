// SPDX-License-Identifier: MIT
// status_modes: the ready-made metrics of check_dbstatus, each a named
// expression with a label, a unit and default ranges.
#ifndef KIVREL_STATUS_MODES_H
#define KIVREL_STATUS_MODES_H

struct status_mode {
	const char *name;        // as given to --mode
	const char *label;       // in the message (translated); perfdata: '_' for ' '
	const char *expression;  // see status_expr.h
	const char *uom;         // unit of measure, "" for none
	const char *warning;     // default range texts; null for none
	const char *critical;
	bool may_be_negative = false;  // else the performance data's minimum is 0
	bool since_start = false;      // a value since the server's start (--warmup)
};

/// The unit of \a uom (a mode's) in the performance data: the same, except
/// for days ("d"), which graphers do not know; those stand without a unit.
const char *status_perf_uom(const char *uom);

/// The mode called \a name, or null when there is none.
const status_mode *find_status_mode(const char *name);

/// Print every mode with its unit, default ranges and expression, one per
/// line after a heading, on standard output.
void print_status_modes(void);

#endif  // KIVREL_STATUS_MODES_H
