// SPDX-License-Identifier: MIT
// kitcore: ranges and thresholds.
#include "kitcore.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "build_config.h"

namespace {

bool only_blanks(const char *from, const char *to) {
	for (; from < to; from++)
		if (!isspace(static_cast<unsigned char>(*from)))
			return false;
	return true;
}

// The number that fills [from, to) but for blanks around it; a bound that
// is not a finite number is refused. An empty part is the number 0, as
// before ":10" meant 0 to 10.
bool read_bound(const char *from, const char *to, double *value) {
	while (from < to && isspace(static_cast<unsigned char>(*from)))
		from++;
	while (to > from && isspace(static_cast<unsigned char>(to[-1])))
		to--;
	if (from == to) {
		*value = 0;
		return true;
	}
	return kr_read_number_n(from, static_cast<size_t>(to - from), value) == TRUE;
}

}  // namespace

range *parse_range_string(char *str) {
	range *temp_range = static_cast<range *>(calloc(1, sizeof(range)));
	if (!temp_range)
		_kr_die_errno(_("Cannot allocate memory:"));
	temp_range->start = 0;
	temp_range->start_infinity = FALSE;
	temp_range->end = 0;
	temp_range->end_infinity = TRUE;
	temp_range->alert_on = 0;

	if (*str == '@') {
		temp_range->alert_on = 1;
		str++;
	}

	// Each bound must be wholly a number (blanks around it allowed), so that
	// a typo such as "5x" or "sixty" is refused rather than read as 0.
	const char *end_str = strchr(str, ':');
	if (end_str) {
		if (*str == '~') {
			if (!only_blanks(str + 1, end_str)) {
				free(temp_range);
				return nullptr;
			}
			temp_range->start_infinity = TRUE;
		} else {
			double start;
			if (!read_bound(str, end_str, &start)) {
				free(temp_range);
				return nullptr;
			}
			set_range_start(temp_range, start);
		}
		end_str++;
	} else {
		end_str = str;
	}
	if (*end_str != '\0') {
		double end;
		if (!read_bound(end_str, end_str + strlen(end_str), &end)) {
			free(temp_range);
			return nullptr;
		}
		set_range_end(temp_range, end);
	}

	// "end >= start" is false for a NaN bound too, which rejects it.
	if (!temp_range->start_infinity && !temp_range->end_infinity &&
	    !(temp_range->end >= temp_range->start)) {
		free(temp_range);
		return nullptr;
	}
	return temp_range;
}

void set_range_start(range *this_range, double value) {
	this_range->start = value;
	this_range->start_infinity = FALSE;
}

void set_range_end(range *this_range, double value) {
	this_range->end = value;
	this_range->end_infinity = FALSE;
}

int check_range(double value, range *my_range) {
	bool inside;
	if (!my_range->start_infinity && !my_range->end_infinity)
		inside = my_range->start <= value && value <= my_range->end;
	else if (!my_range->start_infinity)
		inside = my_range->start <= value;
	else if (!my_range->end_infinity)
		inside = value <= my_range->end;
	else
		inside = true;
	if (my_range->alert_on == 1)
		return inside ? TRUE : FALSE;
	return inside ? FALSE : TRUE;
}

int get_status(double value, thresholds *my_thresholds) {
	if (my_thresholds->critical && check_range(value, my_thresholds->critical) == TRUE)
		return STATE_CRITICAL;
	if (my_thresholds->warning && check_range(value, my_thresholds->warning) == TRUE)
		return STATE_WARNING;
	return STATE_OK;
}

int _set_thresholds(thresholds **my_thresholds, char *warn_string, char *critical_string) {
	thresholds *temp = static_cast<thresholds *>(calloc(1, sizeof(thresholds)));
	if (!temp)
		_kr_die_errno(_("Cannot allocate memory:"));
	if (warn_string && !(temp->warning = parse_range_string(warn_string))) {
		free(temp);
		return 1;
	}
	if (critical_string && !(temp->critical = parse_range_string(critical_string))) {
		free(temp->warning);
		free(temp);
		return 1;
	}
	*my_thresholds = temp;
	return 0;
}

void set_thresholds(thresholds **my_thresholds, char *warn_string, char *critical_string) {
	if (_set_thresholds(my_thresholds, warn_string, critical_string) == 0)
		return;
	die(STATE_UNKNOWN, "%s\n", _("Range format incorrect"));
}

void print_thresholds(const char *threshold_name, thresholds *my_threshold) {
	printf("%s - ", threshold_name);
	if (!my_threshold) {
		printf("Threshold not set");
	} else {
		if (my_threshold->warning)
			printf("Warning: start=%g end=%g; ", my_threshold->warning->start,
			       my_threshold->warning->end);
		else
			printf("Warning not set; ");
		if (my_threshold->critical)
			printf("Critical: start=%g end=%g", my_threshold->critical->start,
			       my_threshold->critical->end);
		else
			printf("Critical not set");
	}
	printf("\n");
}
