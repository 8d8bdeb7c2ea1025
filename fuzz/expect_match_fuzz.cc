// SPDX-License-Identifier: MIT
// Fuzz target for kr_expect_match: the first byte gives the flags, the rest
// is cut at NUL bytes into the received text and the expected strings. The
// result is checked against a plain model of the matching rules and against
// the guarantees callers build their read loops on.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "kitreply.h"

namespace {

kr_match_result model(const std::string &status, const std::vector<std::string> &expects,
                      int flags) {
	size_t match = 0, partial = 0;
	for (const std::string &e : expects) {
		if (flags & KR_MATCH_PREFIX) {
			if (status.compare(0, e.size(), e) == 0)
				match++;
			else if (e.compare(0, status.size(), status) == 0)
				partial++;
		} else if (status.find(e) != std::string::npos) {
			match++;
		}
	}
	if ((flags & KR_MATCH_ALL) ? match == expects.size() : match > 0)
		return KR_MATCH_SUCCESS;
	return partial > 0 || !(flags & KR_MATCH_PREFIX) ? KR_MATCH_RETRY : KR_MATCH_FAILURE;
}

}  // namespace

// The verbose trace is exercised, not read.
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
	if (!freopen("/dev/null", "w", stdout))
		abort();
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
	if (size == 0)
		return 0;
	const int flags = data[0];
	std::vector<std::string> pieces(1);
	for (size_t i = 1; i < size; i++) {
		if (data[i] == '\0')
			pieces.emplace_back();
		else
			pieces.back() += static_cast<char>(data[i]);
	}
	const std::string status = pieces[0];
	std::vector<std::string> expects(pieces.begin() + 1, pieces.end());
	std::vector<char *> array;
	for (std::string &e : expects)
		array.push_back(e.data());
	const int count = static_cast<int>(array.size());

	kr_match_result quiet = kr_expect_match(status.c_str(), array.data(), count,
	                                        flags & ~KR_MATCH_VERBOSE);
	kr_match_result again = kr_expect_match(status.c_str(), array.data(), count,
	                                        flags & ~KR_MATCH_VERBOSE);
	kr_match_result verbose = kr_expect_match(status.c_str(), array.data(), count,
	                                          flags | KR_MATCH_VERBOSE);
	if (quiet < KR_MATCH_FAILURE || quiet > KR_MATCH_RETRY)
		abort();
	if (quiet != again || quiet != verbose)
		abort();
	if (!(flags & KR_MATCH_PREFIX) && quiet == KR_MATCH_FAILURE)
		abort();
	if ((flags & KR_MATCH_ALL) && count == 0 && quiet != KR_MATCH_SUCCESS)
		abort();
	if (quiet != model(status, expects, flags))
		abort();
	return 0;
}
