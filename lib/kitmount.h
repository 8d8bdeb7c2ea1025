/* SPDX-License-Identifier: MIT */
/* kitmount: the lists a check of mounted file systems works with (names,
 * requested paths or devices with their thresholds and figures), the choice
 * of the mounted file system that holds each requested path, and a reader of
 * the system's mount table. */
#ifndef KIVREL_KITMOUNT_H
#define KIVREL_KITMOUNT_H

#include <regex.h>
#include <stdint.h>
#include <sys/types.h>

#include "common.h"
#include "kitcore.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One node of a list of names. */
typedef struct name_list {
	const char *name;        /* the caller's text, not copied */
	struct name_list *next;  /* null at the end */
} name_list;

/* One mounted file system, in a singly linked list. */
typedef struct mount_entry {
	char *me_devname;                   /* device name */
	char *me_mountdir;                  /* mount point */
	char *me_type;                      /* file system type */
	dev_t me_dev;                       /* device number, or (dev_t)-1 if unknown */
	unsigned int me_dummy : 1;          /* pseudo file system without own storage */
	unsigned int me_remote : 1;         /* network file system */
	unsigned int me_type_malloced : 1;  /* me_type is owned by the entry */
	struct mount_entry *me_next;
} mount_entry;

/* One requested path or device, its thresholds and, once measured, its
 * figures. The thresholds are the check's; the entry only points at them. */
typedef struct parameter_list {
	const char *name;  /* as requested; the caller's text, not copied */
	thresholds *freespace_bytes;
	thresholds *freespace_units;
	thresholds *freespace_percent;
	thresholds *usedspace_bytes;
	thresholds *usedspace_units;
	thresholds *usedspace_percent;
	thresholds *usedinodes_percent;
	thresholds *freeinodes_percent;
	char *group;                     /* group the entry belongs to, or null */
	struct mount_entry *best_match;  /* file system holding the entry, or null */
	struct parameter_list *name_next;
	uint64_t total;
	uint64_t available;          /* available to ordinary users */
	uint64_t available_to_root;
	uint64_t used;
	uint64_t inodes_free;
	uint64_t inodes_total;
	double dfree_pct;  /* -1.0 until measured */
	double dused_pct;  /* -1.0 until measured */
	double dused_units;
	double dfree_units;
	double dtotal_units;
	double dused_inodes_percent;
	double dfree_inodes_percent;
} parameter_list;

/* ---- Name lists ---- */

/// Put a node holding \a name (not copied) in front of *\a list.
/// Dies with STATE_UNKNOWN when memory runs out.
void kr_add_name(name_list **list, const char *name);

/// Returns TRUE when \a name is in \a list; FALSE when either is null.
int kr_find_name(const name_list *list, const char *name);

/// Returns TRUE when \a name is in \a list; FALSE for an empty list and,
/// as a safeguard, for a null name.
int kr_seen_name(const name_list *list, const char *name);

/* ---- Parameter lists ---- */

/// Append a new entry for \a name (not copied) at the tail of *\a list, all
/// figures at their initial values, and return it.
/// Dies with STATE_UNKNOWN when memory runs out.
parameter_list *kr_add_parameter(parameter_list **list, const char *name);

/// Free \a item (not its name, thresholds or group), link \a prev (may be
/// null) to its successor, and return that successor (or null). When \a item
/// is the head, the caller makes the result its new head.
parameter_list *kr_del_parameter(parameter_list *item, parameter_list *prev);

/// Returns the first entry, from \a list on, whose name equals \a name, or null
/// (also for a null name).
parameter_list *kr_find_parameter(parameter_list *list, const char *name);

/// Give every entry of \a desired whose best_match is still null the mounted
/// file system that holds it: the last mount entry whose device name equals
/// the entry's name; else, with \a exact FALSE, the longest mount point that
/// begins the name (a later one wins a tie; an empty one begins every name),
/// with \a exact TRUE the mount point equal to the name. Entries without a
/// match keep a null best_match.
void kr_set_best_match(parameter_list *desired, mount_entry *mount_list, int exact);

/// Returns TRUE when \a re (compiled by the caller) matches the device name
/// or else the mount point of \a me, FALSE otherwise.
int kr_regex_match_mount_entry(const mount_entry *me, const regex_t *re);

/* ---- Mount table ---- */

/// Read the mount table \a path (null: "/proc/self/mounts") into a list in
/// table order; every text is the entry's own copy. A line without a
/// device, a mount point and a type is skipped. me_dev is taken from a
/// stat of the mount point only for local file systems with own storage
/// mounted on an absolute path; network, pseudo and FUSE file systems,
/// which may hang or mount on demand, are never touched and get (dev_t)-1,
/// as does a failed stat.
/// Returns the list, to be freed with kr_free_mount_list, or null with errno
/// set when the table cannot be opened or memory runs out (errno 0 for an
/// empty table).
mount_entry *kr_read_mount_list(const char *path);

/// Free a list returned by kr_read_mount_list; null is harmless.
void kr_free_mount_list(mount_entry *list);

#ifdef __cplusplus
}
#endif

#endif /* KIVREL_KITMOUNT_H */
