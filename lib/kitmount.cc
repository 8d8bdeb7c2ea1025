// SPDX-License-Identifier: MIT
// kitmount: name and parameter lists, best-match of requested paths against
// the mounted file systems, and the mount table reader.
#include "kitmount.h"

#include <mntent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

template <typename T> T *_new_node() {
	T *node = static_cast<T *>(calloc(1, sizeof(T)));
	if (!node)
		_kr_die_errno(_("Cannot allocate memory:"));
	return node;
}

// Mount points are compared by their start only: an empty one begins every
// name, and any longer one that qualifies beats it.
bool _prefix_qualifies(const char *wanted, size_t wanted_len, const char *dir,
                       size_t best_len) {
	size_t len = strlen(dir);
	if (len < best_len || len > wanted_len)
		return false;
	return len == 1 || strncmp(wanted, dir, len) == 0;
}

mount_entry *_best_match_of(const char *wanted, mount_entry *mount_list, int exact) {
	mount_entry *candidate = nullptr;
	for (mount_entry *me = mount_list; me; me = me->me_next)
		if (me->me_devname && strcmp(me->me_devname, wanted) == 0)
			candidate = me;
	if (candidate)
		return candidate;

	size_t wanted_len = strlen(wanted), best_len = 0;
	for (mount_entry *me = mount_list; me; me = me->me_next) {
		if (!me->me_mountdir)
			continue;
		bool qualifies = false;
		if (exact == FALSE)
			qualifies = _prefix_qualifies(wanted, wanted_len, me->me_mountdir, best_len);
		else if (exact == TRUE)
			qualifies = strcmp(me->me_mountdir, wanted) == 0;
		if (qualifies) {
			candidate = me;
			best_len = strlen(me->me_mountdir);
		}
	}
	return candidate;
}

// File systems without storage of their own: nothing to measure, and some
// (autofs) mount on first access.
const char *const kDummyTypes[] = {
	"autofs",  "binfmt_misc", "bpf",      "cgroup",   "cgroup2",    "configfs",
	"debugfs", "devpts",      "efivarfs", "fusectl",  "hugetlbfs",  "ignore",
	"mqueue",  "none",        "nsfs",     "proc",     "pstore",     "rootfs",
	"rpc_pipefs", "securityfs", "selinuxfs", "sysfs", "tracefs",
};

const char *const kRemoteTypes[] = {
	"9p",   "afs",  "ceph",  "cifs",  "coda",       "davfs",  "fuse.glusterfs",
	"fuse.rclone", "fuse.s3fs", "fuse.sshfs", "glusterfs", "lustre", "ncpfs",
	"nfs",  "nfs4", "smb3",  "smbfs", "sshfs",
};

template <size_t N> bool _type_in(const char *type, const char *const (&types)[N]) {
	for (const char *t : types)
		if (strcmp(type, t) == 0)
			return true;
	return false;
}

bool _is_remote(const char *devname, const char *type) {
	// "host:/export" and "//server/share" name a file system on another host.
	return _type_in(type, kRemoteTypes) || strchr(devname, ':') ||
	       strncmp(devname, "//", 2) == 0;
}

// NULL with errno ENOMEM when a copy fails; the entry is released then.
mount_entry *_mount_entry_of(const struct mntent &m) {
	mount_entry *me = static_cast<mount_entry *>(calloc(1, sizeof(mount_entry)));
	if (!me)
		return nullptr;
	me->me_devname = strdup(m.mnt_fsname);
	me->me_mountdir = strdup(m.mnt_dir);
	me->me_type = strdup(m.mnt_type);
	me->me_type_malloced = 1;
	if (!me->me_devname || !me->me_mountdir || !me->me_type) {
		kr_free_mount_list(me);
		errno = ENOMEM;
		return nullptr;
	}
	me->me_dummy = _type_in(m.mnt_type, kDummyTypes);
	me->me_remote = _is_remote(m.mnt_fsname, m.mnt_type);
	me->me_dev = static_cast<dev_t>(-1);
	// A stat waits for the file system: one on a dead server or behind a
	// hung FUSE daemon would never return. A mount point that is no
	// absolute path (a swap line of a file system table) is nothing to stat.
	bool may_block = me->me_remote || me->me_dummy || strncmp(m.mnt_type, "fuse", 4) == 0;
	struct stat st;
	if (!may_block && m.mnt_dir[0] == '/' && stat(m.mnt_dir, &st) == 0)
		me->me_dev = st.st_dev;
	return me;
}

}  // namespace

// ---- Name lists ----

void kr_add_name(name_list **list, const char *name) {
	name_list *node = _new_node<name_list>();
	node->name = name;
	node->next = *list;
	*list = node;
}

int kr_find_name(const name_list *list, const char *name) {
	if (!list || !name)
		return FALSE;
	return kr_seen_name(list, name);
}

int kr_seen_name(const name_list *list, const char *name) {
	if (!name)
		return FALSE;
	for (const name_list *node = list; node; node = node->next)
		if (node->name && strcmp(node->name, name) == 0)
			return TRUE;
	return FALSE;
}

// ---- Parameter lists ----

parameter_list *kr_add_parameter(parameter_list **list, const char *name) {
	parameter_list *entry = _new_node<parameter_list>();
	entry->name = name;
	entry->dfree_pct = -1.0;
	entry->dused_pct = -1.0;

	parameter_list **tail = list;
	while (*tail)
		tail = &(*tail)->name_next;
	*tail = entry;
	return entry;
}

parameter_list *kr_del_parameter(parameter_list *item, parameter_list *prev) {
	parameter_list *next = item->name_next;
	free(item);
	if (prev)
		prev->name_next = next;
	return next;
}

parameter_list *kr_find_parameter(parameter_list *list, const char *name) {
	if (!name)
		return nullptr;
	for (parameter_list *entry = list; entry; entry = entry->name_next)
		if (entry->name && strcmp(entry->name, name) == 0)
			return entry;
	return nullptr;
}

void kr_set_best_match(parameter_list *desired, mount_entry *mount_list, int exact) {
	for (parameter_list *d = desired; d; d = d->name_next) {
		if (d->best_match || !d->name)
			continue;
		d->best_match = _best_match_of(d->name, mount_list, exact);
	}
}

int kr_regex_match_mount_entry(const mount_entry *me, const regex_t *re) {
	if (me->me_devname && regexec(re, me->me_devname, 0, nullptr, 0) == 0)
		return TRUE;
	if (me->me_mountdir && regexec(re, me->me_mountdir, 0, nullptr, 0) == 0)
		return TRUE;
	return FALSE;
}

// ---- Mount table ----

mount_entry *kr_read_mount_list(const char *path) {
	FILE *table = setmntent(path ? path : "/proc/self/mounts", "r");
	if (!table)
		return nullptr;

	mount_entry *head = nullptr, **tail = &head;
	// Options of overlay mounts can run to kilobytes; a longer line loses
	// only its options, which are not kept.
	std::vector<char> line(16384);
	struct mntent m;
	int failure = 0;
	errno = 0;
	while (getmntent_r(table, &m, line.data(), static_cast<int>(line.size()))) {
		// A line that ends before the device, the mount point or the type
		// is no mount entry.
		if (!*m.mnt_fsname || !*m.mnt_dir || !*m.mnt_type)
			continue;
		mount_entry *me = _mount_entry_of(m);
		if (!me) {
			failure = errno;
			break;
		}
		*tail = me;
		tail = &me->me_next;
	}
	if (!failure && ferror(table))
		failure = errno ? errno : EIO;
	endmntent(table);

	if (failure) {
		kr_free_mount_list(head);
		errno = failure;
		return nullptr;
	}
	if (!head)
		errno = 0;
	return head;
}

void kr_free_mount_list(mount_entry *list) {
	while (list) {
		mount_entry *next = list->me_next;
		free(list->me_devname);
		free(list->me_mountdir);
		if (list->me_type_malloced)
			free(list->me_type);
		free(list);
		list = next;
	}
}
