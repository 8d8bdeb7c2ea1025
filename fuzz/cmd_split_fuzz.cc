// SPDX-License-Identifier: MIT
// Fuzz target for the command-string splitter of the command runner: the
// input up to its first NUL byte is split in place, and the arguments must
// be pieces of that text that account for every byte of it. Nothing is run.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kitrun.h"

namespace {

bool is_separator(char c) {
	return c != '\0' && strchr(" \t\r\n", c);
}

void check(bool ok) {
	if (!ok)
		abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
	const std::string orig(reinterpret_cast<const char *>(data),
	                       strnlen(reinterpret_cast<const char *>(data), size));
	const size_t len = orig.size();
	std::string copy = orig;
	// Exactly the room cmd_run gives, so that AddressSanitizer sees any
	// write beyond it.
	std::vector<char *> argv(len / 2 + 2);
	long n = _cmd_split(copy.data(), argv.data());

	bool forbidden = orig.find('"') != std::string::npos ||
	                 orig.find(" ' ") != std::string::npos ||
	                 orig.find("'''") != std::string::npos;
	if (n < 0) {
		// Besides the forbidden texts, only an unclosed quote is refused.
		check(n == -1 && (forbidden || orig.find('\'') != std::string::npos));
		return 0;
	}
	check(!forbidden && n >= 1 && static_cast<size_t>(n) <= len / 2 + 1);
	check(argv[static_cast<size_t>(n)] == nullptr);

	std::vector<bool> covered(len, false);
	std::vector<bool> terminator(len + 1, false);
	size_t prev_end = 0;
	bool prev_quoted = false;
	for (long i = 0; i < n; i++) {
		const char *arg = argv[static_cast<size_t>(i)];
		check(arg >= copy.data() && arg <= copy.data() + len);
		size_t start = static_cast<size_t>(arg - copy.data());
		size_t end = start + strlen(arg);
		check(end <= len && (i == 0 || start > prev_end));
		// A quote right behind the previous quoted argument closed it.
		bool quoted = start > 0 && orig[start - 1] == '\'' &&
		              !(prev_quoted && prev_end == start - 1);
		if (quoted) {
			check(end < len && orig[end] == '\'');
			check(orig.compare(start, end - start, arg) == 0 &&
			      memchr(arg, '\'', end - start) == nullptr);
			covered[start - 1] = covered[end] = true;
		} else {
			check(end == len || is_separator(orig[end]));
			for (size_t j = start; j < end; j++)
				check(!is_separator(orig[j]));
			check(end > start || n == 1);
		}
		for (size_t j = start; j < end; j++)
			covered[j] = true;
		terminator[end] = true;
		prev_end = end;
		prev_quoted = quoted;
	}
	// Every byte is a separator, a quote around an argument, or part of one;
	// the splitter changed nothing but the bytes that end an argument.
	for (size_t j = 0; j < len; j++) {
		check(covered[j] || is_separator(orig[j]));
		check(copy[j] == (terminator[j] ? '\0' : orig[j]));
	}
	return 0;
}
