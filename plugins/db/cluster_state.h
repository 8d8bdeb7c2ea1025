// SPDX-License-Identifier: MIT
// cluster_state: the verdict on a Galera cluster node from its wsrep
// variables, without a connection.
#ifndef KIVREL_CLUSTER_STATE_H
#define KIVREL_CLUSTER_STATE_H

#include <map>
#include <string>

#include "kitcore.h"

/// The status variables the verdict reads, for a statement that asks for
/// them alone.
extern const char *const cluster_status_names[7];

struct cluster_settings {
	thresholds *size = nullptr;          // -w and -c, on wsrep_cluster_size; required
	thresholds *flow_control = nullptr;  // on wsrep_flow_control_paused in percent; required
	bool verbose = false;     // show flow control and the receive queue
};

struct cluster_verdict {
	int state = 0;     // a plugin state
	std::string text;  // the message: "Synced, Primary, size 3"
	std::string perf;  // the performance data
};

/// Judge a node whose wsrep_on is \a wsrep_on ("ON" for a cluster node) from
/// its \a status variables: UNKNOWN when it is no cluster node or a variable
/// is missing; CRITICAL when it is not ready, not connected, not in the
/// Primary component, or in a local state other than Synced and
/// Donor/Desynced; WARNING when Donor/Desynced; else the cluster size and
/// the share of the time flow control paused replication, in percent,
/// against their ranges.
cluster_verdict judge_cluster(const std::string &wsrep_on,
                              const std::map<std::string, std::string> &status,
                              const cluster_settings &settings);

#endif  // KIVREL_CLUSTER_STATE_H
