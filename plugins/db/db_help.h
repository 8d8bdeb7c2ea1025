/* SPDX-License-Identifier: MIT */
/* db_help: the parts of the help screen that the database checks share. */
#ifndef KIVREL_DB_HELP_H
#define KIVREL_DB_HELP_H

#include "common.h"

#ifdef __cplusplus
extern "C" {
#endif

/// Print the revision banner of \a name, the licence notice and an empty line.
void db_help_banner(const char *name);

/// Print the -h, -V and --extra-opts entries, after an empty line.
void db_help_standard_options(void);

/// Print the -H and -P entries; the port entry shows the default 3306.
void db_help_host_port(void);

/// Print the -p entry with \a description and the warning about passwords
/// in the process table.
void db_help_password(const char *description);

/// Print the -f and -g entries.
void db_help_option_files(void);

/// Print one entry: the option line, then \a help indented below it.
void db_help_entry(const char *option, const char *help);

/// Print the -s, -d, -f, -g, -u and -p entries of the checks that take
/// check_dbhealth's connection options.
void db_help_login(void);

/// Print the TLS and login entries: -l, -C, -a, -k, -D, -L, --ssl-chain-only,
/// --server-public-key and --socket-owner, then the note on TLS as a
/// paragraph of its own between empty lines.
void db_help_tls(void);

/// Print the --check-grants entry.
void db_help_check_grants(void);

/// Print the -t entry; it shows the default bound.
void db_help_timeout(void);

/// Print the notes on empty passwords and the support paragraph.
void db_help_footer(void);

#ifdef __cplusplus
}
#endif

#endif /* KIVREL_DB_HELP_H */
