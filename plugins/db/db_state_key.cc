// SPDX-License-Identifier: MIT
// db_state_key: hashing a server and what is kept of it into a key name.
#include "db_state_key.h"

#include <cstdint>
#include <cstdio>

std::string db_state_key(const char *prefix, const std::vector<std::string> &pieces) {
	uint64_t hash = 14695981039346656037ULL;
	for (const std::string &p : pieces)
		for (char c : std::to_string(p.size()) + ":" + p) {
			hash ^= static_cast<unsigned char>(c);
			hash *= 1099511628211ULL;
		}
	char digits[17];
	snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(hash));
	return std::string(prefix) + "_" + digits;
}
