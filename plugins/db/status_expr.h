// SPDX-License-Identifier: MIT
// status_expr: the expressions of check_dbstatus. Parsing, the server names
// and probes an expression reads, and its value from what one run read.
//
//   expression := term { ("+" | "-") term }
//   term       := unary { ("*" | "/") unary }
//   unary      := "-" unary | primary
//   primary    := NUMBER | NAME | "@" NAME | "(" expression ")"
//               | ("rate" | "delta") "(" NAME [ "," WINDOW ] ")"
//               | PROBE "(" ")"
//   PROBE      := "longest_query" | "oldest_transaction" | "lock_waits"
//               | "metadata_lock_waits" | "idle_blocker" | "binlog_bytes"
//               | "binlog_files" | "autoinc_used" | "tls_cert_days"
//
// NAME is a global status variable, "@" NAME a global system variable, both
// matched without regard to case; NUMBER is decimal, without an exponent.
// WINDOW is a whole number with the unit s, m or h, as in 90s, 15m or 2h:
// the change over that time, from the oldest kept sample within it. Without
// a WINDOW, the change since the previous run.
#ifndef KIVREL_STATUS_EXPR_H
#define KIVREL_STATUS_EXPR_H

#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

/// The probes an expression may call; each costs the run one query, and
/// binlog_bytes() and binlog_files() share theirs.
enum expr_probe {
	PROBE_LONGEST_QUERY,
	PROBE_OLDEST_TRANSACTION,
	PROBE_LOCK_WAITS,
	PROBE_METADATA_LOCK_WAITS,
	PROBE_IDLE_BLOCKER,
	PROBE_BINLOG_BYTES,
	PROBE_BINLOG_FILES,
	PROBE_AUTOINC_USED,
	PROBE_TLS_CERT_DAYS,
	PROBE_COUNT
};

enum class expr_op : unsigned char {
	number, status, variable, rate, delta, probe, negate, add, subtract, multiply, divide,
};

/// One step of an expression's code, which runs in postfix order.
struct expr_step {
	expr_op op;
	double number = 0;    // number: its value
	std::string name;     // status, variable, rate, delta: the name, lower case
	int probe = 0;        // probe: an expr_probe
	double window = 0;    // rate, delta: the WINDOW in seconds, 0 for none
	std::string written;  // the name as written, when that is not lower case
};

struct status_expr {
	std::string text;             // as written
	std::vector<expr_step> code;  // postfix
};

/// Parse \a text into \a expr. Returns true, or false with a translated
/// message naming the expression and the offending token in \a error.
bool parse_status_expr(const std::string &text, status_expr *expr, std::string *error);

/// What the expressions of a run read from the server; names lower case.
struct expr_needs {
	std::set<std::string> status;     // every status name, counters included
	std::set<std::string> variables;  // system variables, without "@"
	std::set<std::string> counters;   // the names in rate() and delta()
	std::set<double> windows;         // the WINDOWs of rate() and delta(), seconds
	bool probes[PROBE_COUNT] = {};
};

/// The longest WINDOW a run's expressions may give, in seconds (7 days).
constexpr double expr_max_window = 7 * 24 * 3600;

/// Read \a text, a whole number with the unit s, m or h ("90s", "15m",
/// "2h"), as seconds from 1 to expr_max_window into \a seconds; a bare
/// number counts seconds when \a bare_seconds. False for any other text.
bool expr_read_duration(const char *text, bool bare_seconds, double *seconds);

/// \a seconds, rounded to whole ones, as hours, minutes and seconds with
/// their units, leaving out parts that are 0: "4m10s", "2h", "0s".
std::string expr_duration_text(double seconds);

/// Add what \a expr reads to \a needs.
void expr_add_needs(const status_expr &expr, expr_needs *needs);

/// The other spelling of \a name (lower case), or an empty text when it
/// has none: MySQL 8 says "replica" and "source" where older servers say
/// "slave" and "master".
std::string expr_other_spelling(const std::string &name);

/// The number a server's text stands for: a decimal number, or ON and YES
/// for 1, OFF and NO for 0, in any letter case. False for any other text.
bool expr_text_number(const char *text, double *number);

/// A variable's value as the server gave it.
struct server_value {
	bool numeric = false;
	double number = 0;
	std::string text;
};

/// Values by lower-case name as the server spelt it.
using expr_values = std::unordered_map<std::string, server_value>;

/// What one run read, for evaluating expressions.
struct expr_sample {
	expr_values status;
	expr_values variables;
	// The counters of the previous run by the names of rate() and delta(),
	// and the seconds since; unused when since_start. Without since_start
	// and without counters (the previous sample is newer than this one), no
	// change can be told.
	std::unordered_map<std::string, double> previous;
	double seconds = 0;
	// No usable previous run: rates and deltas count from the server's
	// start, with the status variable Uptime.
	bool since_start = true;
	// Without since_start: the counters to count a WINDOW's change from, by
	// the WINDOW's seconds, and the seconds since that sample. A WINDOW
	// missing here tells no change.
	struct base {
		std::unordered_map<std::string, double> counters;
		double seconds = 0;
		// The seconds differ from the WINDOW's: the message names them.
		bool name_interval = false;
	};
	std::map<double, base> windows;
	double probes[PROBE_COUNT] = {};
};

/// The value of \a name in \a values under either spelling, or null.
const server_value *expr_lookup(const expr_values &values, const std::string &name);

/// A translated message for the first name of \a expr that \a sample lacks
/// or holds as text that is no number; empty when every name reads.
std::string expr_check_names(const status_expr &expr, const expr_sample &sample);

/// True when \a expr uses rate() or delta().
bool expr_uses_counters(const status_expr &expr);

/// True when \a expr uses rate() or delta() with a WINDOW of \a window
/// seconds; with \a rate, only rate().
bool expr_uses_window(const status_expr &expr, double window, bool rate);

/// The value of \a expr, whose names passed expr_check_names; NaN when it
/// has none: a division by zero, a rate over no time, a change without a
/// previous sample to count from, a non-finite result. When \a no_activity
/// is given, it tells whether the NaN is a division by a change that is 0:
/// nothing happened over the interval (a divisor that adds up rate() and
/// delta() values only, and is 0).
double evaluate_status_expr(const status_expr &expr, const expr_sample &sample,
                            bool *no_activity = nullptr);

/// The time of a sample: the seconds since the epoch, to the millisecond.
double expr_now(void);

/// The seconds by which two samples' server start (a sample's time less its
/// Uptime) may differ and still be one start: Uptime counts whole seconds
/// and is read a moment after the sample's time is taken, under load more.
constexpr double expr_start_tolerance = 5;

/// The seconds by which a run's sample time comes before the server reads
/// its status, at most: a sample this much older or less with counters
/// ahead of this run's was read after it. Older, counters were set back.
constexpr double expr_overlap_window = 1;

/// How the previous run's sample stands to this run's.
enum class expr_previous {
	none,     // none to count from: missing, unreadable, of another server
	          // start (a restart), or with counters set back (FLUSH STATUS)
	follows,  // an earlier sample of this server start: changes count from it
	newer,    // read after this run's sample, by a run overlapping this one:
	          // its time is later, or its counters are ahead and its time
	          // within the overlap window before. Never a restart; this run
	          // tells no change
};

/// One sample of a state line, as expr_encode_sample writes it.
struct expr_kept {
	double uptime = 0;
	double at = 0;
	std::vector<double> values;
};

/// The most samples a ring keeps. A state line holds at most 1023
/// characters, so with many counters it keeps fewer: as many of the newest
/// as fit, one at the least (a sample of 32 counters fills a line nearly).
constexpr size_t expr_ring_max = 16;

/// One state line: the server's \a uptime, the sample's time \a at (seconds
/// since the epoch) and the counters \a values in the order of their names.
std::string expr_encode_sample(double uptime, double at, const std::vector<double> &values);

/// Weigh the previous run's state \a line (of expr_encode_sample, with the
/// counters \a counters, lower case) against this run's \a sample, taken at \a at, whose
/// status holds Uptime and the counters; the state was read at \a read_at,
/// and a sample later than that is none. Sets the sample's previous,
/// seconds and since_start accordingly, and returns how the two stand.
expr_previous expr_take_previous(const char *line, const std::set<std::string> &counters,
                                 double at, double read_at, expr_sample *sample);

/// As expr_take_previous, for a state line that holds a ring of samples,
/// newest first, split by ";" (one sample is a ring too). Each of
/// \a windows gets the oldest sample of this server start, with no counters
/// set back since, that lies within it (the oldest of all when none is as
/// old). \a kept gets the usable samples, newest first.
expr_previous expr_take_ring(const char *line, const std::set<std::string> &counters,
                             const std::set<double> &windows, double at, double read_at,
                             expr_sample *sample, std::vector<expr_kept> *kept);

/// The state line for the next run: \a now before the samples of \a kept
/// (newest first) that a WINDOW of \a longest seconds may still use, at
/// most expr_ring_max of them and no more than fit in 1023 characters;
/// where too many, those of the shortest gaps go. Without a WINDOW, \a now
/// alone.
std::string expr_next_ring(const expr_kept &now, const std::vector<expr_kept> &kept, double longest);

#endif  // KIVREL_STATUS_EXPR_H
