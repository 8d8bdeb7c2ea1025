/* SPDX-License-Identifier: MIT */
// replica_status: judging one row of a server's replica status, the part of
// check_dbhealth -S that needs no connection.
#ifndef KIVREL_REPLICA_STATUS_H
#define KIVREL_REPLICA_STATUS_H

#include <string>

#include "kitcore.h"

enum class replica_outcome {
	good,           // both threads run and the lag (if any) is in range
	not_running,    // a thread, or replication, is not running: CRITICAL
	unavailable,    // the row lacks the thread columns: CRITICAL
	slow_warning,   // the lag alerts on the warning range
	slow_critical,  // the lag alerts on the critical range
	not_a_number,   // the lag is text but no finite number: UNKNOWN
};

struct replica_verdict {
	replica_outcome outcome = replica_outcome::unavailable;
	// The summary; like the program's 70-byte buffer, cut at 69 characters.
	char summary[70] = "";
	// The lag's performance-data item; empty when no lag was read.
	std::string lag_item;
	// What three -v print before the status line; empty otherwise.
	std::string trace;
};

/// Judge the first row of a replica status result with \a num_fields
/// columns named \a names holding \a values (a null value is SQL NULL).
/// \a replica_names: the row came from SHOW REPLICA STATUS, whose columns say
/// Replica_IO_Running, Replica_SQL_Running and Seconds_Behind_Source, or, on
/// some servers, the Slave_* and Seconds_Behind_Master names.
/// The lag is classified against \a limits; its item shows \a warning_time
/// and \a critical_time. Never ends the process.
replica_verdict judge_replica_row(int num_fields, const char *const *names,
                                  const char *const *values, bool replica_names,
                                  thresholds *limits, double warning_time,
                                  double critical_time, int verbose);

#endif  // KIVREL_REPLICA_STATUS_H
