// SPDX-License-Identifier: MIT
// Fuzz target for the range parser: arbitrary text must never crash it, and
// a range it accepts must be one that check_range can use.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kitcore.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
	std::string text(reinterpret_cast<const char *>(data), size);
	std::string before = text;
	range *r = parse_range_string(text.data());
	// The text is the caller's and is never changed.
	if (text != before)
		abort();
	if (!r)
		return 0;
	if (r->alert_on != 0 && r->alert_on != 1)
		abort();
	// A bound the range holds is finite.
	if ((!r->start_infinity && !std::isfinite(r->start)) || (!r->end_infinity && !std::isfinite(r->end)))
		abort();
	if (!r->start_infinity && !r->end_infinity && r->end < r->start)
		abort();
	// The bounds are inside the range.
	if (!r->start_infinity && check_range(r->start, r) != r->alert_on)
		abort();
	// The parser keeps no state: a second run gives the same range.
	range *again = parse_range_string(text.data());
	if (!again || memcmp(r, again, sizeof *r) != 0)
		abort();
	free(again);
	free(r);
	return 0;
}
