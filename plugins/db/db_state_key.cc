// SPDX-License-Identifier: MIT
// db_state_key: hashing a server and what is kept of it into a key name.
#include "db_state_key.h"

#include <charconv>
#include <cstdint>
#include <cstdio>

std::string db_state_key(const char *prefix, const std::vector<std::string_view> &pieces) {
	uint64_t hash = 14695981039346656037ULL;
	auto add = [&hash](std::string_view bytes) {
		for (char c : bytes) {
			hash ^= static_cast<unsigned char>(c);
			hash *= 1099511628211ULL;
		}
	};
	for (std::string_view p : pieces) {
		char length[24];
		char *end = std::to_chars(length, length + sizeof length - 1, p.size()).ptr;
		*end++ = ':';
		add(std::string_view(length, static_cast<size_t>(end - length)));
		add(p);
	}
	char digits[17];
	snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(hash));
	return std::string(prefix) + "_" + digits;
}
