// SPDX-License-Identifier: MIT
// cluster_state: judging a Galera node.
#include "cluster_state.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "common.h"
#include "db_failure.h"
#include "plugin_routines.h"
#include "status_text.h"

const char *const cluster_status_names[7] = {
	"wsrep_ready", "wsrep_connected", "wsrep_cluster_status", "wsrep_local_state_comment",
	"wsrep_cluster_size", "wsrep_flow_control_paused", "wsrep_local_recv_queue_avg",
};

namespace {

cluster_verdict verdict(int state, const std::string &text) {
	cluster_verdict v;
	v.state = state;
	v.text = text;
	return v;
}

cluster_verdict unreadable(const std::string &text) {
	return verdict(db_unreadable_state, text);
}

}  // namespace

cluster_verdict judge_cluster(const std::string &wsrep_on,
                              const std::map<std::string, std::string> &status,
                              const cluster_settings &settings) {
	if (wsrep_on != "ON")
		return verdict(STATE_UNKNOWN, _("not a cluster node"));
	std::map<std::string, double> numbers;
	for (const char *name : cluster_status_names) {
		auto found = status.find(name);
		if (found == status.end())
			return unreadable(status_printf(_("%s not reported"), name));
		if (name == cluster_status_names[4] || name == cluster_status_names[5] ||
		    name == cluster_status_names[6]) {
			if (!is_numeric(found->second.c_str()))
				return unreadable(status_printf(_("%s is not a number: %s"), name, status_shown(found->second).c_str()));
			numbers[name] = strtod(found->second.c_str(), nullptr);
		}
	}
	const std::string &local_state = status.at("wsrep_local_state_comment");
	const std::string &component = status.at("wsrep_cluster_status");
	const double size = numbers["wsrep_cluster_size"];
	// The server's fraction as a percentage, with the four decimals its six
	// give: 12.34, not 12.340000000000002.
	const double paused = std::round(numbers["wsrep_flow_control_paused"] * 1e6) / 1e4;

	cluster_verdict v;
	std::string problems;
	if (status.at("wsrep_ready") != "ON") {
		v.state = STATE_CRITICAL;
		problems += std::string(_("not ready")) + ", ";
	}
	if (status.at("wsrep_connected") != "ON") {
		v.state = STATE_CRITICAL;
		problems += std::string(_("not connected")) + ", ";
	}
	if (component != "Primary" || (local_state != "Synced" && local_state != "Donor/Desynced"))
		v.state = STATE_CRITICAL;
	if (v.state == STATE_OK) {
		v.state = std::max(get_status(size, settings.size), get_status(paused, settings.flow_control));
		if (local_state == "Donor/Desynced")
			v.state = std::max(v.state, static_cast<int>(STATE_WARNING));
	}

	v.text = problems + status_shown(local_state) + ", " + status_shown(component) +
	         ", " + status_printf(_("size %.0f"), size);
	if (settings.verbose || get_status(paused, settings.flow_control) != STATE_OK)
		v.text += ", " + status_printf(_("flow control paused %g%%"), paused);
	if (settings.verbose)
		v.text += ", " + status_printf(_("receive queue %g"), numbers["wsrep_local_recv_queue_avg"]);
	const thresholds &fc = *settings.flow_control;
	v.perf = status_taken(rperfdata("size", size, "", settings.size->warning,
	                                settings.size->critical, TRUE, 0.0, FALSE, 0.0)) + " " +
	         status_taken(rperfdata("flow_control_paused", paused, "%", fc.warning, fc.critical, TRUE,
	                                0.0, TRUE, 100.0)) + " " +
	         status_taken(rperfdata("recv_queue_avg", numbers["wsrep_local_recv_queue_avg"], "",
	                                nullptr, nullptr, TRUE, 0.0, FALSE, 0.0));
	return v;
}
