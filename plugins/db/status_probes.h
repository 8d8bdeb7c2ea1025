// SPDX-License-Identifier: MIT
// status_probes: what check_dbstatus's probes make of the rows the server
// gives: the share of an auto-increment column's range that is used, the
// days a certificate has left, and the users whose sessions do not count.
#ifndef KIVREL_STATUS_PROBES_H
#define KIVREL_STATUS_PROBES_H

#include <regex.h>

#include <ctime>
#include <memory>
#include <string>
#include <vector>

/// The percentage of its type's range that an auto-increment column of
/// \a data_type ("tinyint" to "bigint", any letter case) has used, its
/// COLUMN_TYPE \a column_type telling the sign ("... unsigned"), when the
/// table's next value is \a next (a decimal text). From 0 (nothing handed
/// out) to 100 (the last value handed out); -1 for a column that is no
/// integer or a \a next that is no whole number.
double autoinc_used_percent(const std::string &data_type, const std::string &column_type,
                            const std::string &next);

/// The days from \a now to \a not_after, a certificate's end as the server
/// shows it ("Dec  6 22:59:59 2036 GMT"); negative once it has passed.
/// False when the text has another form.
bool cert_days_left(const std::string &not_after, time_t now, double *days);

/// The users whose sessions the probes leave out: POSIX extended regular
/// expressions, any of which may match anywhere in a user name.
class ignored_users {
public:
	/// Add \a pattern. False, with the compiler's message in \a error, when
	/// it is no valid expression.
	bool add(const char *pattern, std::string *error);
	/// True when one of the expressions matches \a user; a NULL user (null)
	/// matches none.
	bool match(const char *user) const;
	bool empty() const { return patterns_.empty(); }

private:
	struct compiled {
		regex_t re;
		bool made = false;
		~compiled() {
			if (made)
				regfree(&re);
		}
	};
	std::vector<std::unique_ptr<compiled>> patterns_;
};

#endif  // KIVREL_STATUS_PROBES_H
