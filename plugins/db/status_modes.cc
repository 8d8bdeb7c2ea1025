// SPDX-License-Identifier: MIT
// status_modes: the table of check_dbstatus's modes.
#include "status_modes.h"

#include <cstdio>
#include <cstring>

#include "common.h"

namespace {

const status_mode modes[] = {
	{"uptime", N_("uptime"), "Uptime", "s", "600:", nullptr},
	{"connections", N_("connections"), "100*Threads_connected/@max_connections", "%", "80", "95"},
	{"connections-peak", N_("connections peak"), "100*Max_used_connections/@max_connections", "%",
	 nullptr, nullptr, false, true},
	{"threads-running", N_("threads running"), "Threads_running", "", nullptr, nullptr},
	{"thread-cache-hit", N_("thread cache hit"),
	 "100-100*delta(Threads_created)/delta(Connections)", "%", "90:", nullptr},
	{"table-cache-hit", N_("table cache hit"),
	 "100*delta(Table_open_cache_hits)/(delta(Table_open_cache_hits)+delta(Table_open_cache_misses))",
	 "%", "90:", nullptr},
	{"buffer-pool-hit", N_("buffer pool hit"),
	 "100-100*delta(Innodb_buffer_pool_reads)/delta(Innodb_buffer_pool_read_requests)", "%", "99:",
	 "95:"},
	{"buffer-pool-wait-free", N_("buffer pool wait free"), "rate(Innodb_buffer_pool_wait_free)", "",
	 "1", "10"},
	{"tmp-disk-tables", N_("tmp disk tables"),
	 "100*delta(Created_tmp_disk_tables)/delta(Created_tmp_tables)", "%", "25", "50"},
	{"slow-queries", N_("slow queries"), "rate(Slow_queries)", "", "1", "10"},
	{"aborted-connects", N_("aborted connects"), "rate(Aborted_connects)", "", "1", "10"},
	{"aborted-clients", N_("aborted clients"), "rate(Aborted_clients)", "", "1", "10"},
	{"queries", N_("queries"), "rate(Questions)", "", nullptr, nullptr},
	{"open-files", N_("open files"), "100*Open_files/@open_files_limit", "%", "80", "95"},
	{"deadlocks", N_("deadlocks"), "rate(Innodb_deadlocks)", "", "0.1", "1"},
	{"long-query", N_("long query"), "longest_query()", "s", "60", "300"},
	{"long-transaction", N_("long transaction"), "oldest_transaction()", "s", "60", "300"},
	{"lock-waits", N_("lock waits"), "lock_waits()", "", "1", "10"},
	{"history-list", N_("history list"), "Innodb_history_list_length", "", "1000000", "5000000"},
	{"metadata-lock-waits", N_("metadata lock waits"), "metadata_lock_waits()", "", "1", "10"},
	{"idle-blocker", N_("idle blocker"), "idle_blocker()", "s", "60", "600"},
	{"binlog-space", N_("binlog space"), "binlog_bytes()", "B", nullptr, nullptr},
	{"binlog-files", N_("binlog files"), "binlog_files()", "", nullptr, nullptr},
	{"autoinc-headroom", N_("autoinc used"), "autoinc_used()", "%", "80", "95"},
	// An expired certificate has days below 0.
	{"tls-cert-expiry", N_("tls cert expiry"), "tls_cert_days()", "d", "30:", "7:", true},
	{"log-waits", N_("log waits"), "rate(Innodb_log_waits)", "", "1", "10"},
	{"row-lock-time", N_("row lock time"), "delta(Innodb_row_lock_time)/delta(Innodb_row_lock_waits)",
	 "ms", "100", "1000"},
	{"refused-connections", N_("refused connections"), "rate(Connection_errors_max_connections)", "",
	 "0", "1"},
};

}  // namespace

const char *status_perf_uom(const char *uom) {
	return strcmp(uom, "d") == 0 ? "" : uom;
}

const status_mode *find_status_mode(const char *name) {
	for (const status_mode &m : modes)
		if (strcmp(m.name, name) == 0)
			return &m;
	return nullptr;
}

void print_status_modes(void) {
	const char *none = "-";
	printf("%-22s %-8s %-10s %-10s %s\n", _("mode"), _("unit"), _("warning"), _("critical"),
	       _("expression"));
	for (const status_mode &m : modes)
		printf("%-22s %-8s %-10s %-10s %s\n", m.name, m.uom[0] ? m.uom : none,
		       m.warning ? m.warning : none, m.critical ? m.critical : none, m.expression);
}
