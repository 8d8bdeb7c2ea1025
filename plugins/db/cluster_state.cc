// SPDX-License-Identifier: MIT
// cluster_state: judging a Galera node.
#include "cluster_state.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iterator>

#include "common.h"
#include "db_connect.h"
#include "db_failure.h"
#include "db_state_key.h"
#include "plugin_routines.h"
#include "status_text.h"

const char *const cluster_status_names[11] = {
	"wsrep_ready", "wsrep_connected", "wsrep_cluster_status", "wsrep_local_state_comment",
	// The numbers, from here on.
	"wsrep_cluster_size", "wsrep_flow_control_paused", "wsrep_local_recv_queue_avg",
	"wsrep_flow_control_paused_ns", "wsrep_local_recv_queue", "wsrep_local_cert_failures", "Uptime",
};
static const int first_number = 4;

const std::set<std::string> cluster_counters = {"wsrep_flow_control_paused_ns",
                                                "wsrep_local_cert_failures"};

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

// \a value rounded to \a decimals places, so that 12.34 does not print as
// 12.340000000000002.
double rounded(double value, int decimals) {
	double scale = std::pow(10.0, decimals);
	return std::round(value * scale) / scale;
}

// " (WARNING)" after a measure outside its range; nothing when OK.
std::string state_mark(int state) {
	return state == STATE_OK ? "" : std::string(" (") + db_state_word(state) + ")";
}

}  // namespace

cluster_verdict judge_cluster(const std::string &wsrep_on,
                              const std::map<std::string, std::string> &status,
                              const cluster_settings &settings,
                              const cluster_interval &interval) {
	if (wsrep_on != "ON")
		return verdict(STATE_UNKNOWN, _("not a cluster node"));
	std::map<std::string, double> numbers;
	for (int i = 0; i < static_cast<int>(std::size(cluster_status_names)); i++) {
		const char *name = cluster_status_names[i];
		auto found = status.find(name);
		if (found == status.end())
			return unreadable(status_printf(_("%s not reported"), name));
		if (i >= first_number) {
			if (!kr_read_number(found->second.c_str(), &numbers[name]))
				return unreadable(status_printf(_("%s is not a number: %s"), name, status_shown(found->second).c_str()));
		}
	}
	const std::string &local_state = status.at("wsrep_local_state_comment");
	const std::string &component = status.at("wsrep_cluster_status");
	const double size = numbers["wsrep_cluster_size"];
	const double queue = numbers["wsrep_local_recv_queue"];
	// The share of the interval that flow control paused replication: the
	// paused nanoseconds over the interval's. The two clocks differ a
	// little, so the share is kept within 0 to 100. Without an interval,
	// the server's fraction since its start.
	const bool since_start = interval.since_start || interval.seconds <= 0;
	double paused, cert_rate;
	if (since_start) {
		paused = numbers["wsrep_flow_control_paused"] * 100;
		double uptime = numbers["Uptime"];
		cert_rate = uptime > 0 ? numbers["wsrep_local_cert_failures"] / uptime : NAN;
	} else {
		paused = (numbers["wsrep_flow_control_paused_ns"] - interval.paused_ns) /
		         (interval.seconds * 1e9) * 100;
		paused = std::clamp(paused, 0.0, 100.0);
		cert_rate = (numbers["wsrep_local_cert_failures"] - interval.cert_failures) / interval.seconds;
	}
	paused = rounded(paused, 4);

	cluster_verdict v;
	v.measured = true;
	std::string problems;
	if (status.at("wsrep_ready") != "ON") {
		v.state = STATE_CRITICAL;
		problems += std::string(_("not ready")) + ", ";
	}
	if (status.at("wsrep_connected") != "ON") {
		v.state = STATE_CRITICAL;
		problems += std::string(_("not connected")) + ", ";
	}
	const bool donor = local_state == "Donor/Desynced";
	if (component != "Primary" || (local_state != "Synced" && !donor))
		v.state = STATE_CRITICAL;
	const int size_state = get_status(size, settings.size);
	const int flow_state = get_status(paused, settings.flow_control);
	const int queue_state = get_status(queue, settings.recv_queue);
	if (v.state == STATE_OK) {
		v.state = std::max({size_state, flow_state, queue_state});
		if (donor && !settings.donor_ok)
			v.state = std::max(v.state, static_cast<int>(STATE_WARNING));
	}

	v.text = problems + status_shown(local_state) + ", " + status_shown(component) +
	         ", " + status_printf(_("size %.0f"), size) + state_mark(size_state);
	if (settings.verbose || flow_state != STATE_OK || since_start)
		v.text += ", " + status_printf(_("flow control paused %g%%"), paused) +
		          (since_start ? std::string(" ") + _("since start") : "") + state_mark(flow_state);
	if (settings.verbose || queue_state != STATE_OK)
		v.text += ", " + status_printf(_("receive queue %.0f"), queue) + state_mark(queue_state);
	if (settings.verbose)
		v.text += ", " + status_printf(_("average receive queue %g"), numbers["wsrep_local_recv_queue_avg"]);
	const thresholds &fc = *settings.flow_control, &rq = *settings.recv_queue;
	v.perf = status_taken(rperfdata("size", size, "", settings.size->warning,
	                                settings.size->critical, TRUE, 0.0, FALSE, 0.0)) + " " +
	         status_taken(rperfdata("flow_control_paused", paused, "%", fc.warning, fc.critical, TRUE,
	                                0.0, TRUE, 100.0)) + " " +
	         status_taken(rperfdata("recv_queue", queue, "", rq.warning, rq.critical, TRUE, 0.0,
	                                FALSE, 0.0)) + " " +
	         status_taken(rperfdata("recv_queue_avg", numbers["wsrep_local_recv_queue_avg"], "",
	                                nullptr, nullptr, TRUE, 0.0, FALSE, 0.0));
	// A rate over no time, or of counters set back, has no value: its item
	// is left out.
	if (std::isfinite(cert_rate) && cert_rate >= 0)
		v.perf += " " + status_taken(rperfdata("cert_failure_rate", rounded(cert_rate, 6), "",
		                                       nullptr, nullptr, TRUE, 0.0, FALSE, 0.0));
	return v;
}

std::string cluster_state_key(const char *host, unsigned port, const char *socket) {
	return db_server_state_key("cluster", host, port, socket);
}
