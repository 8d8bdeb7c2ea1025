/* SPDX-License-Identifier: MIT */
/* kitreply: judges the text a server has sent so far against the strings a
 * check expects from it. */
#ifndef KIVREL_KITREPLY_H
#define KIVREL_KITREPLY_H

#include "common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The judgement of a reply. */
typedef enum {
	KR_MATCH_FAILURE = 0,  /* the text cannot meet the expectation */
	KR_MATCH_SUCCESS = 1,  /* the expectation is met */
	KR_MATCH_RETRY = 2     /* not met yet; more text could meet it */
} kr_match_result;

/* Bits of the flags of kr_expect_match; other bits are ignored. */
enum {
	KR_MATCH_ALL = 0x1,     /* every expected string must be found, not one */
	KR_MATCH_PREFIX = 0x2,  /* a string counts only at the start of the text */
	KR_MATCH_VERBOSE = 0x4  /* trace each comparison on standard output */
};

/// Judge \a status against the \a expect_count strings of \a server_expect
/// (all zero-terminated and only read). Returns KR_MATCH_SUCCESS when one
/// (with KR_MATCH_ALL: every) string is found; otherwise KR_MATCH_RETRY when
/// \a status is a beginning of an expected string or KR_MATCH_PREFIX is not
/// set, else KR_MATCH_FAILURE. Never fails; allocates nothing.
kr_match_result kr_expect_match(const char *status, char **server_expect,
                                int expect_count, int flags);

#ifdef __cplusplus
}
#endif

#endif /* KIVREL_KITREPLY_H */
