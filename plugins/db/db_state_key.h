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

#endif  // KIVREL_DB_STATE_KEY_H
