// SPDX-License-Identifier: MIT
// kitcore: the plugin context, termination and state words.
#include "kitcore.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "build_config.h"

kivrel_plugin *this_kivrel_plugin = nullptr;

namespace {

const char *(*line_start_routine)(int result) = nullptr;

}  // namespace

// A plugin name is one directory below the user's: never the user's own
// directory, its parent, or a path.
int _kr_valid_plugin_name(const char *name) {
	return *name && strcmp(name, ".") != 0 && strcmp(name, "..") != 0 && !strchr(name, '/');
}

void kr_init(char *plugin_name, int argc, char **argv) {
	if (this_kivrel_plugin)
		return;
	this_kivrel_plugin = static_cast<kivrel_plugin *>(calloc(1, sizeof(kivrel_plugin)));
	if (!this_kivrel_plugin)
		_kr_die_errno(_("Cannot allocate memory:"));
	this_kivrel_plugin->plugin_name = strdup(plugin_name);
	if (!this_kivrel_plugin->plugin_name)
		_kr_die_errno(_("Cannot execute strdup:"));
	this_kivrel_plugin->argc = argc;
	this_kivrel_plugin->argv = argv;
}

void kr_set_args(int argc, char **argv) {
	if (!this_kivrel_plugin)
		die(STATE_UNKNOWN, "%s\n", _("This requires kr_init to be called"));
	this_kivrel_plugin->argc = argc;
	this_kivrel_plugin->argv = argv;
}

void kr_cleanup(void) {
	if (this_kivrel_plugin) {
		if (this_kivrel_plugin->state) {
			_kr_release_state_key(this_kivrel_plugin->state);
			this_kivrel_plugin->state = nullptr;
		}
		free(this_kivrel_plugin->plugin_name);
		this_kivrel_plugin->plugin_name = nullptr;
		free(this_kivrel_plugin);
	}
	this_kivrel_plugin = nullptr;
}

void _kr_die_errno(const char *msg) {
	const char *why = strerror(errno);
	die(STATE_UNKNOWN, "%s %s\n", msg, why);
}

void _get_kivrel_plugin(kivrel_plugin **pointer) {
	*pointer = this_kivrel_plugin;
}

void kr_set_line_start(const char *(*line_start)(int result)) {
	line_start_routine = line_start;
}

const char *kr_line_start(int result) {
	const char *start = line_start_routine ? line_start_routine(result) : nullptr;
	return start ? start : "";
}

void die(int result, const char *fmt, ...) {
	fputs(kr_line_start(result), stdout);
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
