/* SPDX-License-Identifier: MIT */
/* plugin_help: the parts of the help screen that every program prints, the
 * standalone probe included: revision banner, notice and support paragraph.
 * Needs nothing but the C library. */
#ifndef KIVREL_PLUGIN_HELP_H
#define KIVREL_PLUGIN_HELP_H

#ifdef __cplusplus
extern "C" {
#endif

/// Print "<progname> v<revision> (<package> <version>)" on standard output.
void print_revision(const char *progname, const char *revision);

/// Print the copyright and warranty notice that follows the banner, then an
/// empty line.
void print_notice(void);

/// Print the paragraph that says where to send questions and patches,
/// framed by empty lines.
void print_support(void);

#ifdef __cplusplus
}
#endif

#endif /* KIVREL_PLUGIN_HELP_H */
