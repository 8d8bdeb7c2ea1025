/* SPDX-License-Identifier: MIT */
/* kitcore: the plugin context, the one fatal exit, plugin-state words, the
 * warning and critical ranges with the classification of a value, state
 * retention between runs, and text and privilege helpers. */
#ifndef KIVREL_KITCORE_H
#define KIVREL_KITCORE_H

#include <stdio.h>
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

/// Print the formatted message on standard output exactly as given (after
/// the line start of kr_set_line_start, when a program set one), release
/// the context if there is one, and exit with \a result. Never returns.
void die(int result, const char *fmt, ...)
	__attribute__((noreturn, format(printf, 2, 3)));

/// Have die, and the usage routines of the programs, begin each line they
/// print with the text that \a line_start gives for the exit status, such
/// as a program's "REPLICA UNKNOWN: ". Null, the initial value, adds
/// nothing: the message is printed exactly as given.
void kr_set_line_start(const char *(*line_start)(int result));

/// The text that the routine of kr_set_line_start gives for \a result, or
/// the empty text when none is set.
const char *kr_line_start(int result);

/// End the run with STATE_UNKNOWN and "<msg> <system error text for errno>",
/// the library's message for a failed allocation or system call.
void _kr_die_errno(const char *msg) __attribute__((noreturn));

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

/// Parse a range text ("[@][start:][end]", "~" for minus infinity; an empty
/// start is 0, an empty end plus infinity). Returns a new range owned by the
/// caller, or null when a bound is not wholly a number as kr_read_number
/// reads it (blanks around it aside; so not infinite), or end < start.
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

/* ---- State retention ----
 *
 * One line of text and the time it belongs to, kept between runs in the file
 * <prefix>/<effective uid>/<plugin name>/<key>. The prefix is the variable
 * KIVREL_PLUGIN_STATE_DIRECTORY when set, not empty, and the process runs
 * with no more rights than its caller (not started set-id or with file
 * capabilities, real, effective and saved ids equal); otherwise the
 * build-time state directory. A file holds the header "# KR State file",
 * the format version 1, the data version, the data time and the data line;
 * lines that begin with "#" are skipped when reading. Writing replaces the
 * file by renaming a private temporary file over it, so a reader sees the
 * old file or the new one, never a mixture.
 *
 * The directories below the prefix (the user's and the plugin's) are
 * walked one at a time from the prefix down without following symbolic
 * links, and each must be a directory of the effective user that neither
 * group nor others can write; the state file must be a regular file of the
 * effective user, not reached through a symbolic link. A write that meets
 * anything else ends the run; a read finds no state.
 *
 * A read takes at most KR_STATE_FILE_CAP bytes; a larger file is no state,
 * and the next write replaces it. No file of this library comes near the
 * cap: a read returns at most 1023 characters of the data line, a write
 * puts no more than those, and the whole file then holds at most 1075
 * bytes. The rest is room for comment lines added by hand. */

/* The most bytes of a state file that a read takes (64 KiB). */
#define KR_STATE_FILE_CAP 65536

/* What the reader expects next. */
enum {
	STATE_FILE_VERSION = 0,
	STATE_DATA_VERSION = 1,
	STATE_DATA_TIME = 2,
	STATE_DATA_TEXT = 3,
	STATE_DATA_END = 4
};

/// Set up the state key of the plugin context: \a keyname (letters, digits
/// and '_' only), or the SHA-1 of the context's arguments when null; the
/// file carries \a expected_data_version. Replaces an earlier key.
/// Dies with STATE_UNKNOWN without a context, on an invalid key name, on a
/// plugin name that is empty, ".", ".." or holds a "/", or when memory runs
/// out.
void kr_enable_state(const char *keyname, int expected_data_version);

/// Read the state file. Returns the key's record (owned by the key, valid
/// until the next read or kr_cleanup), or null when the file is missing,
/// unreadable, invalid, larger than KR_STATE_FILE_CAP, not a regular file
/// (a FIFO does not block the read), or on a path this user cannot trust
/// (see above); prints nothing then. Dies without a context.
state_data *kr_state_read(void);

/// Replace the state file by one holding \a data_string (its first 1023
/// bytes, all that a read returns) and \a data_time (0: now), creating
/// missing directories (mode 0700), and remove this user's temporary files
/// of the key that are older than a minute (left by writers killed before
/// their rename). Dies with STATE_UNKNOWN on any failure, an unsafe
/// directory among them (a directory that cannot be created is named, the
/// first one on the path), leaving the previous file unchanged.
void kr_state_write_string(time_t data_time, const char *data_string);

/// The default key: 40 lowercase hexadecimal digits of the SHA-1 of the
/// context's arguments joined without separators. A new text.
char *_kr_state_generate_key(void);

/// The state directory prefix; not a copy, not to be released.
const char *_kr_state_calculate_location_prefix(void);

/// Parse an open state file into the key's state_data record, reading at
/// most KR_STATE_FILE_CAP bytes. Returns TRUE when the data line was
/// reached in a file no larger than that, else FALSE.
int _kr_state_read_file(FILE *state_file);

/// Release the key's retained data, if any.
void _cleanup_state_data(void);

/// Release \a key with its name, file name and retained data.
void _kr_release_state_key(state_key *key);

/// TRUE when \a name may name a plugin's state directory: not empty, not
/// "." or "..", and without "/".
int _kr_valid_plugin_name(const char *name);

/* ---- Text and privilege helpers ---- */

/// Take the character type (LC_CTYPE) from the environment's locale, once.
/// Call it before what depends on it: translated messages, which are
/// converted to its character set, regular expressions, whose characters
/// it defines, and anything that asks the locale for its character set.
void kr_ctype_from_locale(void);

/// Read the whole of \a text as one finite decimal number (digits, a sign,
/// a dot and an exponent, with a dot as decimal mark whatever the locale).
/// Returns TRUE and stores it through \a value; FALSE, leaving \a value
/// alone, for null, empty or other text, hexadecimal, "inf" and "nan", and a
/// number too large for a double ("1e400").
int kr_read_number(const char *text, double *value);

/// As kr_read_number, for the \a length characters at \a text, which need
/// not end there.
int kr_read_number_n(const char *text, size_t length, double *value);

/// The value of the first entry \a name = value of \a varlist (entries
/// separated by \a sep) whose value is not empty, without white space
/// around it. Returns a new text, or null when there is none or memory runs
/// out.
char *kr_extract_value(const char *varlist, const char *name, char sep);

/// A new text with the escapes \n, \r, \t and \\ expanded (a backslash
/// before any other character is dropped). Returns null when memory runs
/// out.
char *kr_escaped_string(const char *string);

/// Returns TRUE when the effective user id is 0, else FALSE.
int kr_check_if_root(void);

/// As kr_check_if_root; without root rights it first prints on standard
/// output how to give the plugin the rights it needs.
int kr_warn_if_not_root(void);

/// Set the effective user and group ids to the real ones for a while; the
/// privileged ones stay saved. A second drop before a restore keeps the ids
/// of the first. Returns 0, or -1 when they cannot be set.
int idpriv_temp_drop(void);

/// Take back the effective ids that the first idpriv_temp_drop since the
/// last restore gave up (without a drop: the saved ids). Returns 0, or -1
/// when they cannot be regained.
int idpriv_temp_restore(void);

#ifdef __cplusplus
}
#endif

#endif /* KIVREL_KITCORE_H */
