// range_pair: ranges for both the verdict and the performance data.
#include "range_pair.h"

#include <cstdlib>

#include "common.h"
#include "plugin_routines.h"

namespace {

// A range text without the blanks the range parser lets pass, which would
// split the performance data.
std::string field(const char *text) {
	std::string out;
	for (const char *p = text ? text : ""; *p; p++)
		if (*p != ' ' && *p != '\t')
			out += *p;
	return out;
}

}  // namespace

void range_pair_build(range_pair *pair) {
	set_thresholds(&pair->limits, const_cast<char *>(pair->warning),
	               const_cast<char *>(pair->critical));
}

int range_pair_state(const range_pair &pair, double value) {
	return pair.limits ? get_status(value, pair.limits) : STATE_OK;
}

std::string range_pair_item(const char *label, double value, const char *uom,
                            const range_pair &pair, const char *min, const char *max) {
	// The label's quoting and the number's text are those of every item.
	char *head = fperfdata(label, value, uom, FALSE, 0.0, FALSE, 0.0, FALSE, 0.0, FALSE, 0.0);
	std::string item = head;
	free(head);
	const std::string fields[4] = {field(pair.warning), field(pair.critical), field(min),
	                               field(max)};
	// Trailing empty fields are left out; inner ones stay empty.
	int last = 3;
	while (last >= 0 && fields[last].empty())
		last--;
	for (int i = 0; i <= last; i++)
		item += ";" + fields[i];
	return item;
}
