/* SPDX-License-Identifier: MIT */
/* Compiled as C: every public header of checkkit and the common header must
 * stay valid C, and the library must link into a C program. */
#include <stdio.h>
#include <string.h>

#include "argmerge.h"
#include "ini_defaults.h"
#include "common.h"
#include "db_connect.h"
#include "db_help.h"
#include "db_login.h"
#include "db_option_file.h"
#include "kitcore.h"
#include "kitrun.h"
#include "kitmount.h"
#include "kitreply.h"
#include "plugin_help.h"
#include "plugin_routines.h"
#include "status_text.h"

const char *progname = "c_headers";
void print_usage(void) { printf("Usage: c_headers\n"); }

int main(void) {
	char warn[] = "10", crit[] = "20", word[] = "critical";
	thresholds *t = NULL;
	set_thresholds(&t, warn, crit);
	if (get_status(15, t) != STATE_WARNING || translate_state(word) != STATE_CRITICAL)
		return 1;
	if (!is_numeric("1.5") || is_option2("---x") != FALSE || OK != 0 || ERROR != -1)
		return 1;
	if (strcmp(fperfdata("result", 15, "", TRUE, 10, TRUE, 20, FALSE, 0, FALSE, 0),
	           "result=15;10;20") != 0)
		return 1;
	if (strcmp(status_shown_text("a|b\nc"), "a/b c") != 0 || is_perf_label("a=b"))
		return 1;
	db_settings s = db_settings_default();
	if (s.db_port != 3306 || s.db_host || db_connect_failure_state(2005) != STATE_WARNING)
		return 1;
	parameter_list *params = NULL;
	char root_dir[] = "/";
	struct mount_entry root = {0};
	root.me_mountdir = root_dir;
	kr_set_best_match(kr_add_parameter(&params, "/var"), &root, FALSE);
	if (params->best_match != &root || params->dfree_pct != -1.0)
		return 1;
	params = kr_del_parameter(params, NULL);
	char *expect[] = {"220"};
	if (kr_expect_match("22", expect, 1, KR_MATCH_PREFIX) != KR_MATCH_RETRY)
		return 1;
	output out;
	if (cmd_run("/bin/echo C", &out, NULL, CMD_BUFFER_ONLY) != 0 || out.buflen != 2)
		return 1;
	puts("C build of the public headers works");
	return 0;
}
