// SPDX-License-Identifier: MIT
// argmerge: take --extra-opts out of an argument vector and put the options
// it names between the program name and the remaining arguments.
#include "argmerge.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "kitcore.h"

namespace {

const char option_name[] = "--extra-opts";
const size_t option_len = sizeof(option_name) - 1;

// Close the gap of \a count entries at \a pos; the terminating null moves
// down with the rest so the vector stays null-terminated.
void remove_args(int *argc, char **argv, int pos, int count) {
	memmove(&argv[pos], &argv[pos + count],
	        static_cast<size_t>(*argc - pos - count + 1) * sizeof(char *));
	*argc -= count;
}

}  // namespace

int is_option2(const char *str) {
	if (!str)
		return FALSE;
	size_t dashes = strspn(str, "-");
	return (dashes == 1 || dashes == 2) ? TRUE : FALSE;
}

char **kr_argmerge(int *argc, char **argv, const char *plugin_name) {
	if (*argc <= 1)
		return argv;

	kr_arg_list *head = nullptr;
	kr_arg_list **tail = &head;
	size_t added = 0;

	int i = 1;
	while (i < *argc) {
		char *value;
		int removed;
		if (strncmp(argv[i], option_name, option_len) == 0 &&
		    argv[i][option_len] == '=') {
			value = argv[i] + option_len + 1;
			removed = 1;
		} else if (strcmp(argv[i], option_name) == 0) {
			if (i + 1 < *argc && !is_option2(argv[i + 1])) {
				value = argv[i + 1];
				removed = 2;
			} else {
				value = nullptr;
				removed = 1;
			}
		} else {
			++i;
			continue;
		}
		// The texts stay where they are; only the entries move, so
		// value remains valid after the removal.
		remove_args(argc, argv, i, removed);

		kr_arg_list *list = kr_get_defaults(value, plugin_name);
		*tail = list;
		for (; *tail; tail = &(*tail)->next)
			++added;
	}

	if (!head)
		return argv;

	// A count that does not fit an int cannot be allocated either.
	if (added > static_cast<size_t>(INT_MAX - 1 - *argc))
		die(STATE_UNKNOWN, "%s", _("malloc() failed!\n"));
	int final_count = *argc + static_cast<int>(added);
	char **merged = static_cast<char **>(
	    malloc((static_cast<size_t>(final_count) + 1) * sizeof(char *)));
	if (!merged)
		die(STATE_UNKNOWN, "%s", _("malloc() failed!\n"));

	int n = 0;
	merged[n++] = argv[0];
	while (head) {
		kr_arg_list *next = head->next;
		merged[n++] = head->arg;
		free(head);
		head = next;
	}
	for (int j = 1; j < *argc; ++j)
		merged[n++] = argv[j];
	merged[n] = nullptr;

	*argc = n;
	return merged;
}
