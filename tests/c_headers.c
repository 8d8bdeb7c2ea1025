/* Compiled as C: every public header of checkkit and the common header must
 * stay valid C, and the library must link into a C program. */
#include <stdio.h>
#include <string.h>

#include "argmerge.h"
#include "ini_defaults.h"
#include "common.h"
#include "db_connect.h"
#include "db_help.h"
#include "kitcore.h"
#include "plugin_routines.h"

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
	db_settings s = db_settings_default();
	if (s.db_port != 3306 || s.db_host || db_connect_failure_state(2005) != STATE_WARNING)
		return 1;
	puts("C build of the public headers works");
	return 0;
}
