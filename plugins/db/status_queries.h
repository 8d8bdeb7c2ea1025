/* SPDX-License-Identifier: MIT */
/* status_queries: the SQL of check_dbstatus's probes, each one row at most;
 * plain C, so that the benchmark's bare floor runs the very same text. */
#ifndef KIVREL_STATUS_QUERIES_H
#define KIVREL_STATUS_QUERIES_H

/* Seconds, id, user, database and first 60 characters of the longest
 * running statement; NULLs when there is none. Without PROCESS the list
 * holds only the user's own threads, and the probe would quietly say 0:
 * INNODB_TRX, which needs PROCESS, makes the query fail instead. */
#define STATUS_LONGEST_QUERIES_SQL                                                  \
	"SELECT p.TIME, p.ID, p.USER, p.DB, LEFT(p.INFO, 60)"                         \
	" FROM (SELECT COUNT(*) FROM information_schema.INNODB_TRX) AS needs_process" \
	" LEFT JOIN information_schema.PROCESSLIST p"                                 \
	" ON p.ID <> CONNECTION_ID()"                                                 \
	" AND p.COMMAND NOT IN ('Sleep', 'Daemon', 'Binlog Dump', 'Binlog Dump GTID',"  \
	" 'Slave_IO', 'Slave_SQL', 'Slave_worker')"                                   \
	" AND p.USER NOT IN ('system user', 'event_scheduler')"                       \
	" ORDER BY p.TIME DESC"
#define STATUS_LONGEST_QUERY_SQL STATUS_LONGEST_QUERIES_SQL " LIMIT 1"

/* Seconds since the oldest open InnoDB transaction started, and its
 * thread; trx_started has whole seconds, the id breaks ties. */
#define STATUS_OLDEST_TRANSACTION_SQL                                               \
	"SELECT TIMESTAMPDIFF(SECOND, trx_started, NOW()), trx_mysql_thread_id"       \
	" FROM information_schema.INNODB_TRX WHERE trx_mysql_thread_id <> CONNECTION_ID()" \
	" ORDER BY trx_started, trx_id LIMIT 1"

/* Transactions waiting for a lock. */
#define STATUS_LOCK_WAITS_SQL \
	"SELECT COUNT(*) FROM information_schema.INNODB_TRX WHERE trx_state = 'LOCK WAIT'"

/* The thread states of a wait for a table's metadata lock, a table lock or
 * a table flush. */
#define STATUS_TABLE_WAIT_STATES                                                   \
	"('Waiting for table metadata lock', 'Waiting for schema metadata lock',"     \
	" 'Waiting for table level lock', 'Waiting for table lock',"                  \
	" 'Waiting for table flush', 'Waiting for tables')"

/* Id and user of each thread waiting on a table (a row of NULLs for none);
 * INNODB_TRX makes the query fail without PROCESS, as above. */
#define STATUS_METADATA_LOCK_WAITS_SQL                                              \
	"SELECT p.ID, p.USER"                                                         \
	" FROM (SELECT COUNT(*) FROM information_schema.INNODB_TRX) AS needs_process" \
	" LEFT JOIN information_schema.PROCESSLIST p"                                 \
	" ON p.ID <> CONNECTION_ID() AND p.STATE IN " STATUS_TABLE_WAIT_STATES

/* Seconds since its transaction started, id, user and host of each
 * sleeping session with an open transaction, longest first, while another
 * session waits for a row lock or on a table. Which transaction a row-lock
 * or table wait is for the server does not say in one portable table:
 * every idle transaction then counts as a blocker. */
#define STATUS_IDLE_BLOCKERS_SQL                                                    \
	"SELECT TIMESTAMPDIFF(SECOND, t.trx_started, NOW()), p.ID, p.USER, p.HOST"     \
	" FROM information_schema.INNODB_TRX t"                                       \
	" JOIN information_schema.PROCESSLIST p ON p.ID = t.trx_mysql_thread_id"      \
	" WHERE p.COMMAND = 'Sleep' AND p.ID <> CONNECTION_ID()"                      \
	" AND (EXISTS (SELECT 1 FROM information_schema.INNODB_TRX w"                 \
	" WHERE w.trx_state = 'LOCK WAIT')"                                           \
	" OR EXISTS (SELECT 1 FROM information_schema.PROCESSLIST w"                  \
	" WHERE w.STATE IN " STATUS_TABLE_WAIT_STATES "))"                            \
	" ORDER BY t.trx_started, t.trx_id"

/* The binary logs, one row each; the columns are read by name. */
#define STATUS_BINARY_LOGS_SQL "SHOW BINARY LOGS"

/* Schema, table, column, type, full type and the table's next value of
 * each auto-increment column, from the catalogue, which the caller bounds
 * with LIMIT and a time limit. The statement starts after its SELECT, so
 * that a hint can stand between the two. */
#define STATUS_AUTOINC_COLUMNS_SQL                                                  \
	" c.TABLE_SCHEMA, c.TABLE_NAME, c.COLUMN_NAME, c.DATA_TYPE, c.COLUMN_TYPE,"   \
	" t.AUTO_INCREMENT"                                                           \
	" FROM information_schema.COLUMNS c JOIN information_schema.TABLES t"         \
	" ON t.TABLE_SCHEMA = c.TABLE_SCHEMA AND t.TABLE_NAME = c.TABLE_NAME"         \
	" WHERE c.EXTRA LIKE '%auto_increment%' AND t.AUTO_INCREMENT IS NOT NULL"

/* The end of the server's certificate, for this (TLS) connection. */
#define STATUS_CERT_NOT_AFTER_SQL "SHOW SESSION STATUS LIKE 'Ssl_server_not_after'"

#endif /* KIVREL_STATUS_QUERIES_H */
