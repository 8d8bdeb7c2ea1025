/* kitcore: the plugin context, the one fatal exit, plugin-state words, and
 * the warning and critical ranges with the classification of a value. */
#ifndef KIVREL_KITCORE_H
#define KIVREL_KITCORE_H

#include <time.h>

#include "common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Retained state (records owned by the plugin context) ---- */

typedef struct state_data_struct {
	time_t time;  /* the time the data belongs to */
	void *data;   /* zero-terminated data text, owned by the record */
	int length;   /* not filled by reading or writing; 0 */
} state_data;

typedef struct state_key_struct {
	char *name;              /* key name, owned */
	char *plugin_name;       /* the context's own text, borrowed */
	int data_version;        /* expected data version */
	char *_filename;         /* full path of the state file, owned */
	state_data *state_data;  /* last successful read, or null; owned */
} state_key;

/* ---- Plugin context ---- */

typedef struct kr_struct {
	char *plugin_name;  /* private copy, owned */
	state_key *state;   /* null until state retention is enabled; owned */
	int argc;
	char **argv;        /* borrowed: never copied, never released */
} kivrel_plugin;

/* The one context of the process; null before kr_init and after kr_cleanup. */
extern kivrel_plugin *this_kivrel_plugin;

/// Create the plugin context with a copy of \a plugin_name and the borrowed
/// argument vector. A second call is ignored. Dies with STATE_UNKNOWN when
/// memory runs out.
void kr_init(char *plugin_name, int argc, char **argv);

/// Replace the context's argc and argv (not copied).
/// Dies with STATE_UNKNOWN when kr_init has not been called.
void kr_set_args(int argc, char **argv);

/// Release the context and everything it owns; harmless without a context.
void kr_cleanup(void);

/// Store the current context pointer (possibly null) through \a pointer.
void _get_kivrel_plugin(kivrel_plugin **pointer);

/// Print the formatted message on standard output exactly as given, release
/// the context if there is one, and exit with \a result. Never returns.
void die(int result, const char *fmt, ...)
	__attribute__((noreturn, format(printf, 2, 3)));

/// Map "OK"/"WARNING"/"CRITICAL"/"UNKNOWN" (any letter case) or the digits
/// "0" to "3" to a plugin state. Returns ERROR for any other text.
int translate_state(char *state_text);

/* ---- Ranges and thresholds ---- */

typedef struct range_struct {
	double start;
	int start_infinity;  /* TRUE: no lower bound */
	double end;
	int end_infinity;    /* TRUE: no upper bound */
	int alert_on;        /* 0: alert outside the range; 1: alert inside */
} range;

typedef struct thresholds_struct {
	range *warning;   /* null when no warning range was given */
	range *critical;  /* null when no critical range was given */
} thresholds;

/// Parse a range text ("[@][start:][end]", "~" for minus infinity).
/// Returns a new range owned by the caller, or null when end < start.
/// Dies with STATE_UNKNOWN when memory runs out.
range *parse_range_string(char *str);

/// Set a finite lower bound.
void set_range_start(range *this_range, double value);

/// Set a finite upper bound.
void set_range_end(range *this_range, double value);

/// Returns TRUE when \a value raises an alert for \a my_range, else FALSE.
int check_range(double value, range *my_range);

/// Returns STATE_CRITICAL, STATE_WARNING or STATE_OK for \a value; the
/// critical range is tested first.
int get_status(double value, thresholds *my_thresholds);

/// Build thresholds from the two range texts (either may be null).
/// Returns 0 and stores the record through \a my_thresholds, or 1 when a text
/// is rejected (nothing is stored). Dies with STATE_UNKNOWN when memory runs out.
int _set_thresholds(thresholds **my_thresholds, char *warn_string,
                    char *critical_string);

/// As _set_thresholds, but dies with STATE_UNKNOWN and "Range format
/// incorrect" when a text is rejected.
void set_thresholds(thresholds **my_thresholds, char *warn_string,
                    char *critical_string);

/// Print one line describing \a my_threshold (may be null) on standard output.
void print_thresholds(const char *threshold_name, thresholds *my_threshold);

#ifdef __cplusplus
}
#endif

#endif /* KIVREL_KITCORE_H */
