// SPDX-License-Identifier: MIT
// Fuzz target for kr_extract_value: the input holds the separator, the name
// and the list. Whatever comes back is a non-empty value without white
// space at either end and without the separator, found in the list.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kitcore.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
	if (size < 1)
		return 0;
	char sep = static_cast<char>(data[0]);
	// The name runs to the first NUL byte after the separator, the list is
	// the rest (up to its own first NUL).
	std::string rest(reinterpret_cast<const char *>(data) + 1, size - 1);
	size_t nul = rest.find('\0');
	std::string name = rest.substr(0, nul);
	std::string list = nul == std::string::npos ? "" : rest.substr(nul + 1);
	list = list.substr(0, list.find('\0'));

	char *value = kr_extract_value(list.c_str(), name.c_str(), sep);
	if (!value)
		return 0;
	size_t len = strlen(value);
	if (len == 0 || isspace(static_cast<unsigned char>(value[0])) ||
	    isspace(static_cast<unsigned char>(value[len - 1])) ||
	    (sep && strchr(value, sep)) || list.find(value) == std::string::npos)
		abort();
	free(value);
	return 0;
}
