// SPDX-License-Identifier: MIT
// db_help: help-screen entries shared by the database checks.
#include "db_help.h"

#include <mysql.h>

#include <cstdio>

#include <cstdlib>

#include "build_config.h"
#include "db_connect.h"
#include "plugin_routines.h"

void db_help_banner(const char *name) {
	print_revision(name, NP_VERSION);
	print_notice();
}

void db_help_standard_options(void) {
	printf(_("\nOptions:\n -h, --help\n    Print detailed help screen\n"
	         " -V, --version\n    Print version information\n"));
	printf(_(" --extra-opts=[section][@file]\n"
	         "    Read options from an ini file. See\n"
	         "    https://www.kivrel-plugins.org/doc/extra-opts.html\n"
	         "    for usage and examples.\n"));
}

void db_help_host_port(void) {
	// The built-in default, whatever -P said before -h.
	char *myport = nullptr;
	xasprintf(&myport, "%d", MYSQL_PORT);
	printf(_(" -H, --hostname=ADDRESS\n"
	         "    Host name, IP Address, or unix socket (must be an absolute path)\n"
	         " -%c, --port=INTEGER\n    Port number (default: %s)\n"),
	       'P', myport);
}

void db_help_password(const char *description) {
	printf(" -p, --password=STRING\n");
	printf("    %s\n", description);
	printf("    ==> %s <==\n", _("IMPORTANT: THIS FORM OF AUTHENTICATION IS NOT SECURE!!!"));
	printf("    %s\n", _("Your clear-text password could be visible as a process table entry"));
}

void db_help_option_files(void) {
	printf(" %s\n", "-f, --file=STRING");
	printf("    %s\n", _("Read from the specified client options file"));
	printf(" %s\n", "-g, --group=STRING");
	printf("    %s\n", _("Use a client options group"));
}

void db_help_entry(const char *option, const char *help) {
	printf(" %s\n", option);
	printf("    %s\n", help);
}

void db_help_login(void) {
	db_help_entry("-s, --socket=STRING", _("Use the specified socket (has no effect if -H is used)"));
	db_help_entry("-d, --database=STRING", _("Check database with indicated name"));
	db_help_option_files();
	db_help_entry("-u, --username=STRING", _("Connect using the indicated username"));
	db_help_password(_("Use the indicated password to authenticate the connection"));
}

void db_help_tls(void) {
	db_help_entry("-l, --ssl", _("Use ssl encryptation"));
	db_help_entry("-C, --ca-cert=STRING", _("Path to CA signing the cert"));
	db_help_entry("-a, --cert=STRING", _("Path to SSL certificate"));
	db_help_entry("-k, --key=STRING", _("Path to private SSL key"));
	db_help_entry("-D, --ca-dir=STRING", _("Path to CA directory"));
	db_help_entry("-L, --ciphers=STRING", _("List of valid SSL ciphers"));
	db_help_entry("--ssl-chain-only",
	      _("With -C or -D, check only that the server's certificate chains to the CA,"));
	printf("    %s\n", _("not that it names the host connected to."));
	db_help_entry("--server-public-key=FILE",
	      _("The server's RSA public key (PEM) for logins that need the password itself"));
	printf("    %s\n", _("(caching_sha2_password, sha256_password): the password is sent encrypted"));
	printf("    %s\n", _("to this key. Without it such a login is refused, CRITICAL, unless the"));
	printf("    %s\n", _("server is verified with -C or -D, or the unix socket is trusted. The"));
	printf("    %s\n", _("server's own key is never asked for. Also server-public-key in the -f file."));
	db_help_entry("--socket-owner=USER",
	      _("Trust a unix socket with the password if it belongs to USER (and the server"));
	printf("    %s\n", _("runs as USER or root). Without it, a socket is trusted only if no one but"));
	printf("    %s\n", _("root and its owner can write to its folder and the folders above it."));
	// A paragraph of its own, not a line of the entry above, so that the
	// manual pages do not run it into that entry's text.
	printf("\n");
	printf(" %s\n", _("Any TLS option makes TLS a must: without it the check ends CRITICAL."));
	printf(" %s\n", _("With -C or -D the server's certificate must chain to that CA and name"));
	printf(" %s\n", _("the host connected to."));
	printf("\n");
}

void db_help_timeout(void) {
	char *text = nullptr;
	xasprintf(&text, _("Seconds before the check ends CRITICAL (default: %d)"), DB_DEFAULT_TIMEOUT);
	db_help_entry("-t, --timeout=INTEGER", text);
	free(text);
}

void db_help_footer(void) {
	printf("%s\n", _("Notes:"));
	printf(" %s\n", _("You must specify -p with an empty string to force an empty password,"));
	printf(" %s\n", _("overriding any my.cnf settings."));
	print_support();
}

void db_help_check_grants(void) {
	db_help_entry("--check-grants",
	              _("Measure nothing: check that the user may run each statement that the other"));
	printf("    %s\n", _("options need, and show the GRANT statement for each privilege missing"));
}
