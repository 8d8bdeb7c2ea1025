// SPDX-License-Identifier: MIT
// Fuzz target for kr_escaped_string: the result is never longer than the
// input, and a text without backslashes comes back unchanged.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kitcore.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
	std::string text(reinterpret_cast<const char *>(data), size);
	text = text.substr(0, text.find('\0'));
	char *out = kr_escaped_string(text.c_str());
	if (!out)
		abort();
	size_t backslashes = 0;
	for (char c : text)
		backslashes += c == '\\';
	// Each escape shrinks two characters into one; a lone final backslash
	// vanishes.
	if (strlen(out) > text.size() || strlen(out) < text.size() - backslashes ||
	    (backslashes == 0 && text != out))
		abort();
	free(out);
	return 0;
}
