/* SPDX-License-Identifier: MIT */
/* status_queries: the SQL of check_dbstatus's probes, each one row at most;
 * plain C, so that the benchmark's bare floor runs the very same text. */
#ifndef KIVREL_STATUS_QUERIES_H
#define KIVREL_STATUS_QUERIES_H

/* Seconds, id, user, database and first 60 characters of the longest
 * running statement; NULLs when there is none. Without PROCESS the list
 * holds only the user's own threads, and the probe would quietly say 0:
 * INNODB_TRX, which needs PROCESS, makes the query fail instead. */
#define STATUS_LONGEST_QUERY_SQL                                                    \
	"SELECT p.TIME, p.ID, p.USER, p.DB, LEFT(p.INFO, 60)"                         \
	" FROM (SELECT COUNT(*) FROM information_schema.INNODB_TRX) AS needs_process" \
	" LEFT JOIN information_schema.PROCESSLIST p"                                 \
	" ON p.ID <> CONNECTION_ID()"                                                 \
	" AND p.COMMAND NOT IN ('Sleep', 'Daemon', 'Binlog Dump', 'Binlog Dump GTID',"  \
	" 'Slave_IO', 'Slave_SQL', 'Slave_worker')"                                   \
	" AND p.USER NOT IN ('system user', 'event_scheduler')"                       \
	" ORDER BY p.TIME DESC LIMIT 1"

/* Seconds since the oldest open InnoDB transaction started, and its
 * thread; trx_started has whole seconds, the id breaks ties. */
#define STATUS_OLDEST_TRANSACTION_SQL                                               \
	"SELECT TIMESTAMPDIFF(SECOND, trx_started, NOW()), trx_mysql_thread_id"       \
	" FROM information_schema.INNODB_TRX WHERE trx_mysql_thread_id <> CONNECTION_ID()" \
	" ORDER BY trx_started, trx_id LIMIT 1"

/* Transactions waiting for a lock. */
#define STATUS_LOCK_WAITS_SQL \
	"SELECT COUNT(*) FROM information_schema.INNODB_TRX WHERE trx_state = 'LOCK WAIT'"

#endif /* KIVREL_STATUS_QUERIES_H */
