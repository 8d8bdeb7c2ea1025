// SPDX-License-Identifier: MIT
// db_sql: the one way a program puts a name or a text of its input into
// SQL. db_connect makes every session utf8mb4, so a quote doubled byte by
// byte in valid UTF-8 cannot be swallowed by the byte before it.
#ifndef KIVREL_DB_SQL_H
#define KIVREL_DB_SQL_H

#include <optional>
#include <string>
#include <string_view>

/// \a name as one identifier: in backticks, each backtick doubled. Empty
/// (nothing) when \a name cannot be quoted safely: it is empty, holds a NUL
/// byte, or is not valid UTF-8.
std::optional<std::string> db_quote_identifier(std::string_view name);

/// \a text as one string literal: in single quotes, each single quote
/// doubled. Empty (nothing) when \a text holds a NUL byte or a backslash
/// (whose meaning hangs on the server's sql_mode), or is not valid UTF-8.
std::optional<std::string> db_quote_literal(std::string_view text);

/// db_quote_identifier, for a program that cannot go on without it: ends
/// the run with STATE_UNKNOWN, naming \a what and the refused name, when it
/// gives nothing.
std::string db_identifier_or_die(std::string_view name, const char *what);

/// As db_identifier_or_die, with db_quote_literal.
std::string db_literal_or_die(std::string_view text, const char *what);

#endif  // KIVREL_DB_SQL_H
