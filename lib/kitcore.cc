// kitcore: plugin context, termination, state words, ranges and thresholds,
// state retention, and text and privilege helpers.
#include "kitcore.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include <string>

#include "build_config.h"

kivrel_plugin *this_kivrel_plugin = nullptr;

namespace {

// The two shapes of a fatal library message: a message alone, or a message
// ending in a colon followed by the system's error text.
[[noreturn]] void die_message(const char *msg) {
	die(STATE_UNKNOWN, "%s\n", msg);
}

// Release a key's retained data, if any, and forget it.
void release_state_data(state_key *key) {
	if (key && key->state_data) {
		free(key->state_data->data);
		free(key->state_data);
		key->state_data = nullptr;
	}
}

void release_state_key(state_key *key) {
	release_state_data(key);
	free(key->name);
	key->name = nullptr;
	free(key->_filename);
	free(key);
}

}  // namespace

void kr_init(char *plugin_name, int argc, char **argv) {
	if (this_kivrel_plugin)
		return;
	this_kivrel_plugin = static_cast<kivrel_plugin *>(calloc(1, sizeof(kivrel_plugin)));
	if (!this_kivrel_plugin)
		_kr_die_errno(_("Cannot allocate memory:"));
	this_kivrel_plugin->plugin_name = strdup(plugin_name);
	if (!this_kivrel_plugin->plugin_name)
		_kr_die_errno(_("Cannot execute strdup:"));
	this_kivrel_plugin->argc = argc;
	this_kivrel_plugin->argv = argv;
}

void kr_set_args(int argc, char **argv) {
	if (!this_kivrel_plugin)
		die_message(_("This requires kr_init to be called"));
	this_kivrel_plugin->argc = argc;
	this_kivrel_plugin->argv = argv;
}

void kr_cleanup(void) {
	if (this_kivrel_plugin) {
		if (this_kivrel_plugin->state) {
			release_state_key(this_kivrel_plugin->state);
			this_kivrel_plugin->state = nullptr;
		}
		free(this_kivrel_plugin->plugin_name);
		this_kivrel_plugin->plugin_name = nullptr;
		free(this_kivrel_plugin);
	}
	this_kivrel_plugin = nullptr;
}

void _kr_die_errno(const char *msg) {
	const char *why = strerror(errno);
	die(STATE_UNKNOWN, "%s %s\n", msg, why);
}

void _get_kivrel_plugin(kivrel_plugin **pointer) {
	*pointer = this_kivrel_plugin;
}

void die(int result, const char *fmt, ...) {
	va_list ap;
	va_start(ap, fmt);
	vprintf(fmt, ap);
	va_end(ap);
	if (this_kivrel_plugin)
		kr_cleanup();
	exit(result);
}

int translate_state(char *state_text) {
	struct row {
		const char *word;
		const char *digit;
		int state;
	};
	static const row rows[] = {
		{"OK", "0", STATE_OK},
		{"WARNING", "1", STATE_WARNING},
		{"CRITICAL", "2", STATE_CRITICAL},
		{"UNKNOWN", "3", STATE_UNKNOWN},
	};
	for (const row &r : rows) {
		if (strcasecmp(state_text, r.word) == 0 || strcmp(state_text, r.digit) == 0)
			return r.state;
	}
	return ERROR;
}

// ---- Ranges and thresholds ----

namespace {

bool only_blanks(const char *from, const char *to) {
	for (; from < to; from++)
		if (!isspace(static_cast<unsigned char>(*from)))
			return false;
	return true;
}

// The number that fills [from, to) but for blanks around it; a bound that
// is not a number (NaN) is refused. An empty part is the number 0, as
// before ":10" meant 0 to 10.
bool read_bound(const char *from, const char *to, double *value) {
	if (only_blanks(from, to)) {
		*value = 0;
		return true;
	}
	std::string part(from, to);
	char *rest = nullptr;
	double v = strtod(part.c_str(), &rest);
	if (rest == part.c_str() || !only_blanks(rest, part.c_str() + part.size()) || std::isnan(v))
		return false;
	*value = v;
	return true;
}

}  // namespace

range *parse_range_string(char *str) {
	range *temp_range = static_cast<range *>(calloc(1, sizeof(range)));
	if (!temp_range)
		_kr_die_errno(_("Cannot allocate memory:"));
	temp_range->start = 0;
	temp_range->start_infinity = FALSE;
	temp_range->end = 0;
	temp_range->end_infinity = TRUE;
	temp_range->alert_on = 0;

	if (*str == '@') {
		temp_range->alert_on = 1;
		str++;
	}

	// Each bound must be wholly a number (blanks around it allowed), so that
	// a typo such as "5x" or "sixty" is refused rather than read as 0.
	const char *end_str = strchr(str, ':');
	if (end_str) {
		if (*str == '~') {
			if (!only_blanks(str + 1, end_str)) {
				free(temp_range);
				return nullptr;
			}
			temp_range->start_infinity = TRUE;
		} else {
			double start;
			if (!read_bound(str, end_str, &start)) {
				free(temp_range);
				return nullptr;
			}
			set_range_start(temp_range, start);
		}
		end_str++;
	} else {
		end_str = str;
	}
	if (*end_str != '\0') {
		double end;
		if (!read_bound(end_str, end_str + strlen(end_str), &end)) {
			free(temp_range);
			return nullptr;
		}
		set_range_end(temp_range, end);
	}

	// "end >= start" is false for a NaN bound too, which rejects it.
	if (!temp_range->start_infinity && !temp_range->end_infinity &&
	    !(temp_range->end >= temp_range->start)) {
		free(temp_range);
		return nullptr;
	}
	return temp_range;
}

void set_range_start(range *this_range, double value) {
	this_range->start = value;
	this_range->start_infinity = FALSE;
}

void set_range_end(range *this_range, double value) {
	this_range->end = value;
	this_range->end_infinity = FALSE;
}

int check_range(double value, range *my_range) {
	bool inside;
	if (!my_range->start_infinity && !my_range->end_infinity)
		inside = my_range->start <= value && value <= my_range->end;
	else if (!my_range->start_infinity)
		inside = my_range->start <= value;
	else if (!my_range->end_infinity)
		inside = value <= my_range->end;
	else
		inside = true;
	if (my_range->alert_on == 1)
		return inside ? TRUE : FALSE;
	return inside ? FALSE : TRUE;
}

int get_status(double value, thresholds *my_thresholds) {
	if (my_thresholds->critical && check_range(value, my_thresholds->critical) == TRUE)
		return STATE_CRITICAL;
	if (my_thresholds->warning && check_range(value, my_thresholds->warning) == TRUE)
		return STATE_WARNING;
	return STATE_OK;
}

int _set_thresholds(thresholds **my_thresholds, char *warn_string, char *critical_string) {
	thresholds *temp = static_cast<thresholds *>(calloc(1, sizeof(thresholds)));
	if (!temp)
		_kr_die_errno(_("Cannot allocate memory:"));
	if (warn_string && !(temp->warning = parse_range_string(warn_string))) {
		free(temp);
		return 1;
	}
	if (critical_string && !(temp->critical = parse_range_string(critical_string))) {
		free(temp->warning);
		free(temp);
		return 1;
	}
	*my_thresholds = temp;
	return 0;
}

void set_thresholds(thresholds **my_thresholds, char *warn_string, char *critical_string) {
	if (_set_thresholds(my_thresholds, warn_string, critical_string) == 0)
		return;
	die_message(_("Range format incorrect"));
}

void print_thresholds(const char *threshold_name, thresholds *my_threshold) {
	printf("%s - ", threshold_name);
	if (!my_threshold) {
		printf("Threshold not set");
	} else {
		if (my_threshold->warning)
			printf("Warning: start=%g end=%g; ", my_threshold->warning->start,
			       my_threshold->warning->end);
		else
			printf("Warning not set; ");
		if (my_threshold->critical)
			printf("Critical: start=%g end=%g", my_threshold->critical->start,
			       my_threshold->critical->end);
		else
			printf("Critical not set");
	}
	printf("\n");
}

// ---- State retention ----

namespace {

const char state_directory_variable[] = "KIVREL_PLUGIN_STATE_DIRECTORY";
const char state_file_header[] = "# KR State file\n";
const int state_format_version = 1;
// Lines are read in pieces of at most this many bytes less one.
const size_t state_line_size = 1024;

state_key *current_key() {
	return this_kivrel_plugin ? this_kivrel_plugin->state : nullptr;
}

// Create the missing parent directories of \a path, each with mode 0700
// less the file creation mask. One that appears meanwhile (another run
// creating it) is as good as one created here.
void make_parent_directories(const char *path) {
	char *copy = strdup(path);
	if (!copy)
		_kr_die_errno(_("Cannot allocate memory:"));
	for (char *p = copy + 1; *p; p++) {
		if (*p != '/')
			continue;
		*p = '\0';
		struct stat st;
		if (stat(copy, &st) != 0 && mkdir(copy, 0700) != 0 &&
		    !(errno == EEXIST && stat(copy, &st) == 0 && S_ISDIR(st.st_mode))) {
			// The message names the directory; the copy goes with the
			// process.
			die(STATE_UNKNOWN, "%s %s\n", _("Cannot create directory:"), copy);
		}
		*p = '/';
	}
	free(copy);
}

// Remove the temporary file, release its name and end the run.
[[noreturn]] void abandon_temp_file(char *temp_name, const char *msg) {
	unlink(temp_name);
	free(temp_name);
	die_message(msg);
}

}  // namespace

void kr_enable_state(const char *keyname, int expected_data_version) {
	if (!this_kivrel_plugin)
		die_message(_("This requires kr_init to be called"));
	state_key *key = static_cast<state_key *>(calloc(1, sizeof(state_key)));
	if (!key)
		_kr_die_errno(_("Cannot allocate memory:"));
	char *name = keyname ? strdup(keyname) : _kr_state_generate_key();
	if (!name)
		_kr_die_errno(_("Cannot execute strdup:"));
	for (const char *c = name; *c; c++) {
		if (!isalnum(static_cast<unsigned char>(*c)) && *c != '_')
			die_message(_("Invalid character for keyname - only alphanumerics or '_'"));
	}
	key->name = name;
	key->state_data = nullptr;
	key->plugin_name = this_kivrel_plugin->plugin_name;
	key->data_version = expected_data_version;
	if (asprintf(&key->_filename, "%s/%lu/%s/%s", _kr_state_calculate_location_prefix(),
	             static_cast<unsigned long>(geteuid()), key->plugin_name, key->name) < 0)
		_kr_die_errno(_("Cannot allocate memory:"));
	if (this_kivrel_plugin->state)
		release_state_key(this_kivrel_plugin->state);
	this_kivrel_plugin->state = key;
}

char *_kr_state_generate_key(void) {
	unsigned char digest[EVP_MAX_MD_SIZE];
	unsigned int digest_len = 0;
	EVP_MD_CTX *ctx = EVP_MD_CTX_new();
	bool ok = ctx && EVP_DigestInit_ex(ctx, EVP_sha1(), nullptr) == 1;
	for (int i = 0; ok && i < this_kivrel_plugin->argc; i++) {
		const char *arg = this_kivrel_plugin->argv[i];
		ok = EVP_DigestUpdate(ctx, arg, strlen(arg)) == 1;
	}
	ok = ok && EVP_DigestFinal_ex(ctx, digest, &digest_len) == 1 && digest_len == 20;
	EVP_MD_CTX_free(ctx);
	if (!ok)
		die_message(_("Cannot compute the state key"));
	char hex[41];
	for (unsigned int i = 0; i < digest_len; i++)
		snprintf(hex + 2 * i, 3, "%02x", digest[i]);
	char *key = strdup(hex);
	if (!key)
		_kr_die_errno(_("Cannot execute strdup:"));
	return key;
}

const char *_kr_state_calculate_location_prefix(void) {
	// A set-id program must not be steered to another directory by whoever
	// runs it, through its user ids or its group ids.
	if (getuid() != geteuid() || getgid() != getegid())
		return KIVREL_STATE_DIR;
	const char *env = getenv(state_directory_variable);
	if (env && *env)
		return env;
	return KIVREL_STATE_DIR;
}

state_data *kr_state_read(void) {
	if (!this_kivrel_plugin)
		die_message(_("This requires kr_init to be called"));
	state_key *key = current_key();
	// Every read replaces what the last one found.
	_cleanup_state_data();
	FILE *file = fopen(key->_filename, "re");
	if (!file)
		return nullptr;
	key->state_data = static_cast<state_data *>(calloc(1, sizeof(state_data)));
	if (!key->state_data) {
		fclose(file);
		_kr_die_errno(_("Cannot allocate memory:"));
	}
	int found = _kr_state_read_file(file);
	fclose(file);
	if (!found)
		_cleanup_state_data();
	return key->state_data;
}

int _kr_state_read_file(FILE *state_file) {
	state_key *key = current_key();
	time_t now = time(nullptr);
	char *line = static_cast<char *>(calloc(state_line_size, 1));
	if (!line)
		_kr_die_errno(_("Cannot allocate memory:"));
	int expected = STATE_FILE_VERSION;
	int result = FALSE;
	bool stop = false;
	while (!stop && fgets(line, static_cast<int>(state_line_size), state_file)) {
		size_t len = strlen(line);
		if (len > 0 && line[len - 1] == '\n')
			line[len - 1] = '\0';
		if (line[0] == '#')
			continue;
		switch (expected) {
		case STATE_FILE_VERSION:
			stop = strtol(line, nullptr, 10) != state_format_version;
			expected = STATE_DATA_VERSION;
			break;
		case STATE_DATA_VERSION:
			stop = strtol(line, nullptr, 10) != key->data_version;
			expected = STATE_DATA_TIME;
			break;
		case STATE_DATA_TIME: {
			unsigned long when = strtoul(line, nullptr, 10);
			// A time from the future is no state of ours.
			stop = when > static_cast<unsigned long>(now);
			key->state_data->time = static_cast<time_t>(when);
			expected = STATE_DATA_TEXT;
			break;
		}
		case STATE_DATA_TEXT:
			key->state_data->data = strdup(line);
			if (!key->state_data->data) {
				free(line);
				_kr_die_errno(_("Cannot execute strdup:"));
			}
			result = TRUE;
			expected = STATE_DATA_END;
			break;
		default:  // STATE_DATA_END: the rest of the file is not ours to read
			break;
		}
	}
	free(line);
	return result;
}

void kr_state_write_string(time_t data_time, const char *data_string) {
	state_key *key = current_key();
	time_t when = data_time ? data_time : time(nullptr);

	struct stat st;
	if (stat(key->_filename, &st) != 0)
		make_parent_directories(key->_filename);

	char *temp_name = nullptr;
	if (asprintf(&temp_name, "%s.XXXXXX", key->_filename) < 0)
		_kr_die_errno(_("Cannot allocate memory:"));
	int fd = mkstemp(temp_name);
	if (fd < 0) {
		free(temp_name);
		die_message(_("Cannot create temporary filename"));
	}
	FILE *fp = fdopen(fd, "w");
	if (!fp) {
		close(fd);
		abandon_temp_file(temp_name, _("Unable to open temporary state file"));
	}
	fputs(state_file_header, fp);
	fprintf(fp, "%d\n", state_format_version);
	fprintf(fp, "%d\n", key->data_version);
	fprintf(fp, "%lu\n", static_cast<unsigned long>(when));
	fprintf(fp, "%s\n", data_string);
	fchmod(fd, 0640);
	// A write that failed (a full disk) must not be renamed into place as
	// if it were the new state.
	bool written = fflush(fp) == 0 && !ferror(fp);
	fsync(fd);
	if (fclose(fp) != 0 || !written)
		abandon_temp_file(temp_name, _("Error writing temp file"));
	if (rename(temp_name, key->_filename) != 0)
		abandon_temp_file(temp_name, _("Cannot rename state temp file"));
	free(temp_name);
}

void _cleanup_state_data(void) {
	release_state_data(current_key());
}

// ---- Text and privilege helpers ----

namespace {

const char *skip_space(const char *p) {
	while (*p && isspace(static_cast<unsigned char>(*p)))
		p++;
	return p;
}

// The next separator at or after \a p; never the terminating zero byte.
const char *find_sep(const char *p, char sep) {
	return sep ? strchr(p, sep) : nullptr;
}

}  // namespace

char *kr_extract_value(const char *varlist, const char *name, char sep) {
	if (!varlist || !name)
		return nullptr;
	size_t name_len = strlen(name);
	const char *cursor = varlist;
	for (;;) {
		cursor = skip_space(cursor);
		if (strncmp(cursor, name, name_len) == 0) {
			const char *after = skip_space(cursor + name_len);
			if (*after == '=') {
				const char *value = skip_space(after + 1);
				const char *end = find_sep(value, sep);
				if (end == value || (!end && !*value)) {
					// An empty value never wins; a later entry may.
					cursor = end ? end : value;
				} else {
					size_t len = end ? static_cast<size_t>(end - value) : strlen(value);
					while (len > 0 && isspace(static_cast<unsigned char>(value[len - 1])))
						len--;
					return strndup(value, len);
				}
			} else {
				cursor = after;
			}
		}
		const char *next = find_sep(cursor, sep);
		if (!next)
			return nullptr;
		cursor = next + 1;
	}
}

char *kr_escaped_string(const char *string) {
	char *out = static_cast<char *>(malloc(strlen(string) + 1));
	if (!out)
		return nullptr;
	char *w = out;
	for (const char *p = string; *p; p++) {
		if (*p != '\\') {
			*w++ = *p;
			continue;
		}
		p++;
		if (!*p)
			break;  // a lone backslash at the end ends the text
		switch (*p) {
		case 'n':
			*w++ = '\n';
			break;
		case 'r':
			*w++ = '\r';
			break;
		case 't':
			*w++ = '\t';
			break;
		default:  // a backslash, or any other character, stands for itself
			*w++ = *p;
		}
	}
	*w = '\0';
	return out;
}

int kr_check_if_root(void) {
	return geteuid() == 0 ? TRUE : FALSE;
}

int kr_warn_if_not_root(void) {
	if (kr_check_if_root())
		return TRUE;
	printf("%s", _("Warning: "));
	printf("%s\n", _("This plugin must be either run as root or setuid root."));
	printf("%s\n", _("To run as root, you can use a tool like sudo."));
	printf("%s\n", _("To set the setuid permissions, use the command:"));
	printf("\t%s\n", _("chmod u+s yourpluginfile"));
	return FALSE;
}

int idpriv_temp_drop(void) {
	uid_t uid = getuid(), euid = geteuid();
	gid_t gid = getgid(), egid = getegid();
	// The group first, while the privileged user may still change it; the
	// privileged ids stay saved for idpriv_temp_restore.
	if (setresgid(static_cast<gid_t>(-1), gid, egid) != 0 ||
	    setresuid(static_cast<uid_t>(-1), uid, euid) != 0)
		return -1;
	return geteuid() == uid && getegid() == gid ? 0 : -1;
}

int idpriv_temp_restore(void) {
	uid_t ruid, euid, suid;
	gid_t rgid, egid, sgid;
	if (getresuid(&ruid, &euid, &suid) != 0 || getresgid(&rgid, &egid, &sgid) != 0)
		return -1;
	// The user first: its saved id is what may change the group back.
	if (setresuid(static_cast<uid_t>(-1), suid, static_cast<uid_t>(-1)) != 0 ||
	    setresgid(static_cast<gid_t>(-1), sgid, static_cast<gid_t>(-1)) != 0)
		return -1;
	return geteuid() == suid && getegid() == sgid ? 0 : -1;
}
