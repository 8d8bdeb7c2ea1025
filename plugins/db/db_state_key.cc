// SPDX-License-Identifier: MIT
// db_state_key: hashing a server and what is kept of it into a key name.
#include "db_state_key.h"

#include <charconv>
#include <cstdint>
#include <cstdio>

#include "kitcore.h"

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

std::string db_server_state_key(const char *prefix, const char *host, unsigned port, const char *socket,
                                const std::vector<std::string_view> &more) {
	const std::string host_piece = std::string("host=") + (host ? host : "");
	const std::string port_piece = "port=" + std::to_string(port);
	const std::string socket_piece = std::string("socket=") + (socket ? socket : "");
	std::vector<std::string_view> pieces = {host_piece, port_piece, socket_piece};
	pieces.insert(pieces.end(), more.begin(), more.end());
	return db_state_key(prefix, pieces);
}

void db_state_enable(const char *program, const std::string &key) {
	// The context's argument vector is borrowed for the rest of the run.
	static char *argv[2] = {nullptr, nullptr};
	argv[0] = const_cast<char *>(program);
	kr_init(const_cast<char *>(program), 1, argv);
	kr_enable_state(key.c_str(), 1);
}
