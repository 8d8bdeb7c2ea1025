// SPDX-License-Identifier: MIT
// kitcore: choosing the state key, kr_enable_state and the default key
// (the SHA-1 of the arguments). Apart, so that a plugin that keeps no state
// links neither this nor the digest's library.
#include <sha1.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "kitcore.h"

void kr_enable_state(const char *keyname, int expected_data_version) {
	if (!this_kivrel_plugin)
		die(STATE_UNKNOWN, "%s\n", _("This requires kr_init to be called"));
	state_key *key = static_cast<state_key *>(calloc(1, sizeof(state_key)));
	if (!key)
		_kr_die_errno(_("Cannot allocate memory:"));
	char *name = keyname ? strdup(keyname) : _kr_state_generate_key();
	if (!name)
		_kr_die_errno(_("Cannot execute strdup:"));
	for (const char *c = name; *c; c++) {
		if (!isalnum(static_cast<unsigned char>(*c)) && *c != '_')
			die(STATE_UNKNOWN, "%s\n", _("Invalid character for keyname - only alphanumerics or '_'"));
	}
	if (!_kr_valid_plugin_name(this_kivrel_plugin->plugin_name))
		die(STATE_UNKNOWN, "%s\n", _("Invalid plugin name for state retention - not empty, '.' or '..', and no '/'"));
	key->name = name;
	key->state_data = nullptr;
	key->plugin_name = this_kivrel_plugin->plugin_name;
	key->data_version = expected_data_version;
	if (asprintf(&key->_filename, "%s/%lu/%s/%s", _kr_state_calculate_location_prefix(),
	             static_cast<unsigned long>(geteuid()), key->plugin_name, key->name) < 0)
		_kr_die_errno(_("Cannot allocate memory:"));
	if (this_kivrel_plugin->state)
		_kr_release_state_key(this_kivrel_plugin->state);
	this_kivrel_plugin->state = key;
}

char *_kr_state_generate_key(void) {
	SHA1_CTX ctx;
	SHA1Init(&ctx);
	for (int i = 0; i < this_kivrel_plugin->argc; i++) {
		const char *arg = this_kivrel_plugin->argv[i];
		SHA1Update(&ctx, reinterpret_cast<const uint8_t *>(arg), strlen(arg));
	}
	char hex[SHA1_DIGEST_STRING_LENGTH];
	SHA1End(&ctx, hex);
	char *key = strdup(hex);
	if (!key)
		_kr_die_errno(_("Cannot execute strdup:"));
	return key;
}

