// range_pair: a warning and a critical range kept as the operator wrote
// them, for classifying a value and for showing both in its performance
// data, as "size=3;3:;2:;0".
#ifndef KIVREL_RANGE_PAIR_H
#define KIVREL_RANGE_PAIR_H

#include <string>

#include "kitcore.h"

struct range_pair {
	const char *warning = nullptr;   // the range text, or null when not given
	const char *critical = nullptr;
	thresholds *limits = nullptr;    // built by range_pair_build
};

/// Build the thresholds of \a pair from its texts. A text that is no range
/// ends the run with STATE_UNKNOWN and "Range format incorrect".
void range_pair_build(range_pair *pair);

/// STATE_CRITICAL, STATE_WARNING or STATE_OK for \a value; STATE_OK before
/// range_pair_build.
int range_pair_state(const range_pair &pair, double value);

/// The performance-data item "label=value<uom>;warning;critical;min;max"
/// with the range texts (blanks left out, empty when not given) and the
/// texts \a min and \a max (null for none); trailing empty fields are left
/// out.
std::string range_pair_item(const char *label, double value, const char *uom,
                            const range_pair &pair, const char *min, const char *max);

#endif  // KIVREL_RANGE_PAIR_H
