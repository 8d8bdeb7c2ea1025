// kitcore: plugin context, termination, state words, ranges and thresholds.
#include "kitcore.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

kivrel_plugin *this_kivrel_plugin = nullptr;

namespace {

// The two shapes of a fatal library message: a message alone, or a message
// ending in a colon followed by the system's error text.
[[noreturn]] void die_message(const char *msg) {
	die(STATE_UNKNOWN, "%s\n", msg);
}

[[noreturn]] void die_errno(const char *msg) {
	const char *why = strerror(errno);
	die(STATE_UNKNOWN, "%s %s\n", msg, why);
}

void release_state_key(state_key *key) {
	if (key->state_data) {
		free(key->state_data->data);
		key->state_data->data = nullptr;
		free(key->state_data);
		key->state_data = nullptr;
	}
	free(key->name);
	key->name = nullptr;
	free(key->_filename);
	free(key);
}

}  // namespace

void kr_init(char *plugin_name, int argc, char **argv) {
	if (this_kivrel_plugin)
		return;
	this_kivrel_plugin = static_cast<kivrel_plugin *>(calloc(1, sizeof(kivrel_plugin)));
	if (!this_kivrel_plugin)
		die_errno(_("Cannot allocate memory:"));
	this_kivrel_plugin->plugin_name = strdup(plugin_name);
	if (!this_kivrel_plugin->plugin_name)
		die_errno(_("Cannot execute strdup:"));
	this_kivrel_plugin->argc = argc;
	this_kivrel_plugin->argv = argv;
}

void kr_set_args(int argc, char **argv) {
	if (!this_kivrel_plugin)
		die_message(_("This requires kr_init to be called"));
	this_kivrel_plugin->argc = argc;
	this_kivrel_plugin->argv = argv;
}

void kr_cleanup(void) {
	if (this_kivrel_plugin) {
		if (this_kivrel_plugin->state) {
			release_state_key(this_kivrel_plugin->state);
			this_kivrel_plugin->state = nullptr;
		}
		free(this_kivrel_plugin->plugin_name);
		this_kivrel_plugin->plugin_name = nullptr;
		free(this_kivrel_plugin);
	}
	this_kivrel_plugin = nullptr;
}

void _get_kivrel_plugin(kivrel_plugin **pointer) {
	*pointer = this_kivrel_plugin;
}

void die(int result, const char *fmt, ...) {
	va_list ap;
	va_start(ap, fmt);
	vprintf(fmt, ap);
	va_end(ap);
	if (this_kivrel_plugin)
		kr_cleanup();
	exit(result);
}

int translate_state(char *state_text) {
	struct row {
		const char *word;
		const char *digit;
		int state;
	};
	static const row rows[] = {
		{"OK", "0", STATE_OK},
		{"WARNING", "1", STATE_WARNING},
		{"CRITICAL", "2", STATE_CRITICAL},
		{"UNKNOWN", "3", STATE_UNKNOWN},
	};
	for (const row &r : rows) {
		if (strcasecmp(state_text, r.word) == 0 || strcmp(state_text, r.digit) == 0)
			return r.state;
	}
	return ERROR;
}

// ---- Ranges and thresholds ----

range *parse_range_string(char *str) {
	range *temp_range = static_cast<range *>(calloc(1, sizeof(range)));
	if (!temp_range)
		die_errno(_("Cannot allocate memory:"));
	temp_range->start = 0;
	temp_range->start_infinity = FALSE;
	temp_range->end = 0;
	temp_range->end_infinity = TRUE;
	temp_range->alert_on = 0;

	if (*str == '@') {
		temp_range->alert_on = 1;
		str++;
	}

	const char *end_str = strchr(str, ':');
	if (end_str) {
		if (*str == '~')
			temp_range->start_infinity = TRUE;
		else
			set_range_start(temp_range, strtod(str, nullptr));
		end_str++;
	} else {
		end_str = str;
	}
	if (*end_str != '\0')
		set_range_end(temp_range, strtod(end_str, nullptr));

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
		die_errno(_("Cannot allocate memory:"));
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
	die_message(_("Range format incorrect"));
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
