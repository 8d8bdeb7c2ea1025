// SPDX-License-Identifier: MIT
// Fuzz target for the state-file reader: any bytes, read as a state file of
// data version 3, give either no data or one line of data with a time that
// is not in the future, and the same answer twice.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "kitcore.h"

namespace {

// The reader works on the state key of a plugin context.
void set_up_once() {
	static bool done = false;
	if (done)
		return;
	static char name[] = "fuzz";
	static char *argv[] = {name, nullptr};
	setenv("KIVREL_PLUGIN_STATE_DIRECTORY", "/nonexistent", 1);
	kr_init(name, 1, argv);
	kr_enable_state("k", 3);
	done = true;
}

// Read \a data as the state file; returns the reader's answer and leaves the
// record in the key.
int read_state(const uint8_t *data, size_t size) {
	state_key *key = this_kivrel_plugin->state;
	_cleanup_state_data();
	key->state_data = static_cast<state_data *>(calloc(1, sizeof(state_data)));
	FILE *file = fmemopen(const_cast<uint8_t *>(data), size, "r");
	if (!file)  // fmemopen refuses an empty buffer
		file = fopen("/dev/null", "r");
	int found = _kr_state_read_file(file);
	fclose(file);
	return found;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
	set_up_once();
	state_key *key = this_kivrel_plugin->state;
	int found = read_state(data, size);
	state_data *record = key->state_data;
	if (found != TRUE && found != FALSE)
		abort();
	if (found) {
		const char *text = static_cast<const char *>(record->data);
		if (!text || strlen(text) > 1023 || strchr(text, '\n') || text[0] == '#' ||
		    record->time > time(nullptr) || record->length != 0)
			abort();
	} else if (record->data) {
		abort();
	}
	char *first = found ? strdup(static_cast<char *>(record->data)) : nullptr;
	if (read_state(data, size) != found ||
	    (found && strcmp(first, static_cast<char *>(key->state_data->data)) != 0))
		abort();
	free(first);
	_cleanup_state_data();
	return 0;
}
