/* SPDX-License-Identifier: MIT */
/* state_queries: the statements that check_dbreplica and check_dbcluster
 * send, for them and for the benchmark floor that sends the same. */
#ifndef KIVREL_STATE_QUERIES_H
#define KIVREL_STATE_QUERIES_H

/* Every replication channel: MariaDB 10.5.1 and later, older MariaDB,
 * MySQL 8.0.22 and later, older MySQL. */
#define REPLICA_STATUS_MARIADB "SHOW ALL REPLICAS STATUS"
#define REPLICA_STATUS_MARIADB_OLD "SHOW ALL SLAVES STATUS"
#define REPLICA_STATUS_MYSQL "SHOW REPLICA STATUS"
#define REPLICA_STATUS_MYSQL_OLD "SHOW SLAVE STATUS"

/* The age of every heartbeat row in microseconds: HEARTBEAT_SELECT, the
 * clock (HEARTBEAT_CLOCK_UTC or HEARTBEAT_CLOCK_LOCAL), HEARTBEAT_FROM and
 * the quoted table. */
#define HEARTBEAT_SELECT "SELECT server_id, TIMESTAMPDIFF(MICROSECOND, ts, "
#define HEARTBEAT_CLOCK_UTC "UTC_TIMESTAMP(6)"
#define HEARTBEAT_CLOCK_LOCAL "NOW(6)"
#define HEARTBEAT_FROM ") FROM "

/* read_only, and super_read_only where the server has it (MySQL). */
#define READ_ONLY_VARIABLES \
	"SHOW GLOBAL VARIABLES WHERE Variable_name IN ('read_only', 'super_read_only')"

/* Whether the server is a cluster node, and the node's status variables
 * (Uptime tells a restart of the node). */
#define CLUSTER_WSREP_ON "SHOW GLOBAL VARIABLES LIKE 'wsrep\\_on'"
#define CLUSTER_STATUS                                                            \
	"SHOW GLOBAL STATUS WHERE Variable_name IN ('wsrep_ready', 'wsrep_connected', " \
	"'wsrep_cluster_status', 'wsrep_local_state_comment', 'wsrep_cluster_size', "   \
	"'wsrep_flow_control_paused', 'wsrep_local_recv_queue_avg', "                     \
	"'wsrep_flow_control_paused_ns', 'wsrep_local_recv_queue', "                    \
	"'wsrep_local_cert_failures', 'Uptime')"

#endif /* KIVREL_STATE_QUERIES_H */
