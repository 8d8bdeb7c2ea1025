/* SPDX-License-Identifier: MIT */
/* kitrun: run a program without a shell and capture its standard output and
 * standard error as arrays of lines; read a whole file the same way. */
#ifndef KIVREL_KITRUN_H
#define KIVREL_KITRUN_H

#include <stddef.h>

#include "common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One captured stream of a child, or a file. Everything in it belongs to
 * the caller, who frees buf, line, lens and, with CMD_KEEP_BUFFER, line[0]
 * (the private copy). */
typedef struct output {
	char *buf;      /* the bytes read, in a block of buflen + 1 bytes whose
	                 * last byte is zero; null when nothing was read */
	size_t buflen;  /* number of bytes read */
	char **line;    /* start of each line (zero-terminated), or null */
	size_t *lens;   /* length of each line without its newline, or null */
	size_t lines;   /* number of lines; with CMD_BUFFER_ONLY the number of
	                 * bytes; 0 after a failed read (see below) */
} output;

/* Flag bits of the flags arguments; other bits are ignored. */
#define CMD_BUFFER_ONLY 0x01 /* fill buf and buflen only; no line arrays */
#define CMD_KEEP_BUFFER 0x02 /* split a private copy; buf stays as read */

/* A failed read shows in the record as lines 0 with line and lens null,
 * while buf and buflen keep the bytes read before the failure; the message
 * "read() returned <n>: <error text>" goes to standard output and the call
 * returns -1. A record with buflen > 0 and line null is therefore either a
 * CMD_BUFFER_ONLY capture or a failed one; lines never counts absent lines.
 *
 * Running out of memory while capturing ends the program: STATE_UNKNOWN
 * and "Cannot allocate memory: <error text>". */

/// Size the table of child pipes from the descriptor limit (at most 8192
/// entries, 256 when the limit is unknown). Only the first call does
/// anything. Dies with STATE_UNKNOWN when the table cannot be allocated.
void cmd_init(void);

/// Split \a cmdstring into arguments (blanks, tabs and line ends separate
/// them; single quotes at the start of an argument enclose one) and run it
/// as cmd_run_array does. Returns the child's exit status 0-255, or -1 when
/// \a cmdstring is null (records untouched), refused (a double quote,
/// " ' ", "'''" or an unclosed quote: nothing is started), short of memory
/// for the split (after printing "Could not malloc argv array in popen()"
/// when the argument vector is what failed), or as cmd_run_array fails.
int cmd_run(const char *cmdstring, output *out, output *err, int flags);

/// Run the program named by argv[0] (a path; no search) with \a argv and
/// the environment, after setting LC_ALL to "C" in this process. Clears the
/// records that are given and fills them with the child's standard output
/// and standard error; a record given for both holds standard error. A
/// stream without a record goes to /dev/null, so that a process the child
/// leaves running cannot hold the call. The captured streams are read to
/// their end and the child is reaped before returning.
/// Returns the child's exit status 0-255 (3 when the program cannot be
/// started), or -1 when the child was ended by a signal, a read failed, or
/// the child could not be tracked. Dies with STATE_UNKNOWN and "Could not
/// open pipe: <program>" when a pipe or the fork cannot be made, or when
/// \a argv is null.
int cmd_run_array(char *const *argv, output *out, output *err, int flags);

/// Read the whole file \a filename into \a out (may be null: the file is
/// only opened and closed). Returns 0, or -1 after a failed read. Dies with
/// STATE_UNKNOWN and "Error opening <name>: <error text>" or "Error closing
/// <name>: <error text>" (no line end) when the file cannot be opened or
/// closed, or is no regular file ("Not a regular file"; a FIFO or a device
/// is opened without blocking and never read).
int cmd_file_read(const char *filename, output *out, int flags);

/* ---- Module-internal, for the tests and the fuzz target ---- */

/// Split the writable text \a cmd in place into arguments as cmd_run does
/// and store them, then a null entry, in \a argv, which must have room for
/// strlen(cmd) / 2 + 2 entries. Returns the number of arguments (at least
/// one), or -1 when the text is refused; \a cmd may then be changed.
long _cmd_split(char *cmd, char **argv);

/// The pid table's size for a descriptor limit of \a open_max: the limit
/// itself up to 8192, and 256 for a negative (unknown) limit.
long _cmd_table_size(long open_max);

/// The current size of the pid table; 0 before cmd_init has run.
long _cmd_maxfd(void);

/// When set, called with the new number of entries each time the line
/// arrays of a record are sized. Null unless a test observes the sizing.
extern void (*_cmd_line_capacity_hook)(size_t entries);

#ifdef __cplusplus
}
#endif

#endif /* KIVREL_KITRUN_H */
