// SPDX-License-Identifier: MIT
// cluster_state: the verdict on a Galera cluster node from its wsrep
// variables, without a connection.
#ifndef KIVREL_CLUSTER_STATE_H
#define KIVREL_CLUSTER_STATE_H

#include <map>
#include <set>
#include <string>

#include "kitcore.h"

/// The status variables the verdict reads, for a statement that asks for
/// them alone.
extern const char *const cluster_status_names[11];

/// The counters kept from one run to the next, by their lower-case names.
extern const std::set<std::string> cluster_counters;

struct cluster_settings {
	thresholds *size = nullptr;          // -w and -c, on wsrep_cluster_size; required
	thresholds *flow_control = nullptr;  // on the time paused by flow control in percent; required
	thresholds *recv_queue = nullptr;    // on wsrep_local_recv_queue; required
	bool donor_ok = false;    // Donor/Desynced is OK, not WARNING
	bool verbose = false;     // show flow control and the receive queue
};

/// The previous run that the counters count from.
struct cluster_interval {
	bool since_start = true;   // none: flow control is the server's average
	                           // since its start, certification failures a
	                           // rate over its Uptime
	double seconds = 0;        // since the previous run's sample
	double paused_ns = 0;      // its wsrep_flow_control_paused_ns
	double cert_failures = 0;  // its wsrep_local_cert_failures
};

struct cluster_verdict {
	int state = 0;     // a plugin state
	std::string text;  // the message: "Synced, Primary, size 3"
	std::string perf;  // the performance data
	bool measured = false;  // the node's counters were read: keep them
};

/// Judge a node whose wsrep_on is \a wsrep_on ("ON" for a cluster node) from
/// its \a status variables: UNKNOWN when it is no cluster node or a variable
/// is missing; CRITICAL when it is not ready, not connected, not in the
/// Primary component, or in a local state other than Synced and
/// Donor/Desynced; WARNING when Donor/Desynced (OK with donor_ok); else the
/// cluster size, the share of the time flow control paused replication in
/// percent (over \a interval, or since the start) and the receive queue
/// against their ranges. A measure outside its range carries its state word.
cluster_verdict judge_cluster(const std::string &wsrep_on,
                              const std::map<std::string, std::string> &status,
                              const cluster_settings &settings,
                              const cluster_interval &interval);

/// The state key of the server connected to by \a host, \a port and
/// \a socket (each may be null): "cluster_" and a hash of the three.
std::string cluster_state_key(const char *host, unsigned port, const char *socket);

#endif  // KIVREL_CLUSTER_STATE_H
