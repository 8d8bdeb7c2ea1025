/* SPDX-License-Identifier: MIT */
/* db_login: the client side of the login methods caching_sha2_password and
 * sha256_password, in place of the client library's own, which asks the
 * server for its public key and sends the password in clear over any TLS
 * session or unix socket.
 *
 * These do only what never gives the password away to a peer that has not
 * proven itself:
 *   - the scramble (the quick path of caching_sha2_password);
 *   - the password encrypted to a public key that the operator pinned;
 *   - the password as it stands, only over TLS to a verified server or over
 *     a trusted unix socket (db_socket_trusted).
 * Any other login that needs the password itself is refused before a byte
 * of it leaves. The server's public key is never asked for. */
#ifndef KIVREL_DB_LOGIN_H
#define KIVREL_DB_LOGIN_H

#include <mysql.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* What the coming login may do. */
typedef struct db_login_policy {
	int tls_required;          /* TRUE: refuse a server that offers no TLS */
	int verified;              /* TRUE: TLS with the server's certificate verified */
	const char *socket_owner;  /* --socket-owner's user, or null */
} db_login_policy;

/// Pin the RSA public key of the PEM file \a path: the full exchange then
/// sends the password encrypted to it. Returns TRUE; returns FALSE with a
/// new text naming the file and the reason in \a error when it cannot be
/// read or holds no RSA public key. Never ends the process.
int db_login_pin_key(const char *path, char **error);

/// Register this module's two login methods with the client library (once
/// per process), set what the login of \a mysql may do, and, with TLS
/// required, make caching_sha2_password the first method, so that a server
/// without TLS is refused before anything of the login is sent. Call after
/// mysql_init and before mysql_real_connect. Returns TRUE; FALSE with a new
/// text in \a error when a method could not be registered.
int db_login_prepare(MYSQL *mysql, const db_login_policy *policy, char **error);

/// Why this module refused the last login before the password left, or
/// null when it refused none.
const char *db_login_refusal(void);

/// Whether the password may go as it stands through the unix socket at
/// \a path, served by a process of user \a peer_uid. Without \a owner the
/// socket, reached without following a link that others could have placed,
/// must lie in folders that only root and the socket's owner can write, up
/// to "/", and the server must run as root or as that owner; with \a owner
/// (a user name or number) the socket must belong to that user and the
/// server run as root or as that user. Returns TRUE; FALSE with a new text
/// giving the reason in \a reason.
int db_socket_trusted(const char *path, uid_t peer_uid, const char *owner, char **reason);

/// The uid of user \a name (a name or a number). Returns TRUE and sets
/// \a uid, or FALSE when there is no such user.
int db_login_user_id(const char *name, uid_t *uid);

#ifdef __cplusplus
}
#endif

#endif /* KIVREL_DB_LOGIN_H */
