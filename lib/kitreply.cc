// SPDX-License-Identifier: MIT
// kitreply: expect-string matching of a server's reply.
#include "kitreply.h"

#include <cstdio>
#include <cstring>

kr_match_result kr_expect_match(const char *status, char **server_expect,
                                int expect_count, int flags) {
	const bool prefix = (flags & KR_MATCH_PREFIX) != 0;
	const bool verbose = (flags & KR_MATCH_VERBOSE) != 0;
	const size_t status_len = strlen(status);
	int match = 0, partial = 0;

	// Every string is tried even after a match, so the trace shows them all.
	// The trace serves whoever debugs a check and stays untranslated.
	for (int i = 0; i < expect_count; i++) {
		const char *expect = server_expect[i];
		if (verbose)
			printf("looking for [%s] %s [%s]\n", expect,
			       prefix ? "in beginning of" : "anywhere in", status);

		const char *outcome = "couldn't find it";
		if (prefix) {
			if (strncmp(status, expect, strlen(expect)) == 0) {
				match++;
				outcome = "found it";
			} else if (strncmp(expect, status, status_len) == 0) {
				// The reply stopped short inside this string.
				partial++;
				outcome = "found a substring";
			}
		} else if (strstr(status, expect)) {
			match++;
			outcome = "found it";
		}
		if (verbose)
			printf("%s\n", outcome);
	}

	if ((flags & KR_MATCH_ALL) ? match == expect_count : match > 0)
		return KR_MATCH_SUCCESS;
	// Without the prefix rule, any further text may still contain a string.
	if (partial > 0 || !prefix)
		return KR_MATCH_RETRY;
	return KR_MATCH_FAILURE;
}
