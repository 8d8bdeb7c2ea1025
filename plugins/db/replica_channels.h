// SPDX-License-Identifier: MIT
// replica_channels: the replication channels in a server's replica status,
// read in either spelling of the columns, and the verdict on each and on all
// of them together. Nothing here talks to a server.
#ifndef KIVREL_REPLICA_CHANNELS_H
#define KIVREL_REPLICA_CHANNELS_H

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "db_rows.h"
#include "kitcore.h"

/// The statement that lists every channel of a server whose version text is
/// \a server_info and version number \a version (10.11.19 is 101119).
const char *replica_status_statement(const char *server_info, unsigned long version);

/// The privilege that the statement of replica_status_statement needs on
/// that server: SLAVE MONITOR on MariaDB 10.5.9 and later, REPLICATION SLAVE
/// ADMIN on MariaDB 10.5.2 to 10.5.8, REPLICATION CLIENT before and on MySQL.
const char *replica_status_privilege(const char *server_info, unsigned long version);

/// What one row of the replica status says about its channel; absent fields
/// are SQL NULL or columns the server does not have.
struct channel_row {
	std::string name;  // "" for the default channel
	db_field io_running, sql_running, lag, source_server_id, source_host, source_port;
	db_field sql_delay, io_errno, io_error, sql_errno, sql_error;
	db_field gtid_position;  // only where the channel replicates by GTID
};

/// The channels of a replica status result. Returns false when the result
/// lacks a thread column (a layout this program does not know).
bool read_channels(const db_rows &status, std::vector<channel_row> *channels);

/// Heartbeat lags in seconds by source server id, from rows of server id and
/// microseconds since the heartbeat; rows without both are left out.
std::map<unsigned long, double> read_heartbeats(const db_rows &rows);

/// How the channels are judged.
struct channel_settings {
	thresholds *lag = nullptr;    // -w and -c, on the lag in seconds; required
	bool subtract_delay = false;  // classify the lag less SQL_Delay
	bool heartbeat = false;       // the heartbeat lag replaces the lag
	std::optional<unsigned long> heartbeat_server_id;  // else the channel's source
	double heartbeat_skew = 2;    // seconds a heartbeat may lie in the future
	std::optional<double> lag_disagreement;  // seconds the two lags may differ
	bool verbose = false;         // show source and GTID position
};

struct channel_verdict {
	int state = 0;                  // a plugin state
	std::string text;               // what the status line says of the channel
	std::vector<std::string> perf;  // its performance-data items
};

/// The verdict on one channel: CRITICAL when a thread does not run (an IO
/// thread still "Connecting" included), when the lag is NULL, or when a
/// heartbeat was asked for and has no row; UNKNOWN when the lag is a text
/// but no finite number; else the lag (or heartbeat lag) against the
/// ranges. A heartbeat more than heartbeat_skew seconds in the future is
/// WARNING at least, with the server's lag judged in its place; a heartbeat
/// lag that differs from the server's lag by more than lag_disagreement is
/// WARNING at least. Failures name the last IO and SQL errors. With
/// subtract_delay the lag judged also appears unsubtracted, as lag_raw.
channel_verdict judge_channel(const channel_row &row, const std::map<unsigned long, double> &heartbeats,
                              const channel_settings &settings);

/// The verdict on a channel that was asked for and does not exist.
channel_verdict missing_channel(const std::string &name);

/// The worst state of \a verdicts, and the status line after its "REPLICA
/// STATE: " start: the channel count, the channels (the failing ones first)
/// and the performance data.
int report_channels(std::vector<channel_verdict> verdicts, std::string *line);

/// What --read-only asks of read_only: nothing, ON, OFF, or ON exactly
/// on a server with replication channels.
enum class read_only_rule { unchecked, on, off, automatic };

/// The verdict of \a rule on a server with or without channels (\a replica)
/// whose read_only is \a read_only and super_read_only \a super (absent
/// where the server has none): STATE_OK or STATE_CRITICAL, and in \a text
/// the values or the mismatch. Where read_only must be ON it suffices and
/// super_read_only is only shown; where it must be OFF, both must be OFF.
/// OFF (or 0) is off, every other value (ON, a stronger mode) on.
int judge_read_only(read_only_rule rule, bool replica, const std::string &read_only,
                    const db_field &super, std::string *text);

#endif  // KIVREL_REPLICA_CHANNELS_H
