// SPDX-License-Identifier: MIT
// db_state_key: the name of a database check's state file.
#ifndef KIVREL_DB_STATE_KEY_H
#define KIVREL_DB_STATE_KEY_H

#include <string>
#include <string_view>
#include <vector>

/// \a prefix, "_" and 16 hexadecimal digits of a 64-bit FNV-1a hash of
/// \a pieces, each with its length, so that no two lists run together:
/// stable across builds and machines, and a valid state key name.
std::string db_state_key(const char *prefix, const std::vector<std::string_view> &pieces);

/// db_state_key of the server connected to at \a host, \a port and
/// \a socket (null: none), followed by the pieces \a more.
std::string db_server_state_key(const char *prefix, const char *host, unsigned port, const char *socket,
                                const std::vector<std::string_view> &more = {});

/// Keep the state of the program \a program under the key name \a key,
/// rather than under one made from its command line: the plugin context
/// and its state key (kr_init, kr_enable_state).
void db_state_enable(const char *program, const std::string &key);

#endif  // KIVREL_DB_STATE_KEY_H
