// SPDX-License-Identifier: MIT
#include "kitmount.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_helpers.h"

namespace {

struct mount_spec {
  const char* dev;
  const char* dir;
};

// A mount list in the order given, as the mountlist module hands it over.
struct MountList {
  explicit MountList(const std::vector<mount_spec>& specs) : entries(specs.size()) {
    for (size_t i = 0; i < specs.size(); i++) {
      entries[i].me_devname = const_cast<char*>(specs[i].dev);
      entries[i].me_mountdir = const_cast<char*>(specs[i].dir);
      entries[i].me_next = i + 1 < specs.size() ? &entries[i + 1] : nullptr;
    }
  }
  MountList(const MountList&) = delete;  // the entries link to each other
  mount_entry* head() { return entries.empty() ? nullptr : &entries[0]; }
  int index_of(const mount_entry* me) const {
    return me ? static_cast<int>(me - entries.data()) : -1;
  }
  std::vector<mount_entry> entries;
};

struct best_match_case {
  const char* wanted;
  int exact;
  std::vector<mount_spec> mounts;
  int expected;  // index into mounts, -1 for no match
};

TEST(KitmountBestMatch, Table) {
  const std::vector<mount_spec> root_var = {{"/dev/a", "/"}, {"/dev/b", "/var"}};
  const std::vector<mount_spec> boot = {{"/dev/a", "/"}, {"/dev/sda1", "/boot"}};
  const best_match_case cases[] = {
      {"/var/log", FALSE, root_var, 1},
      {"/var/log", TRUE, root_var, -1},
      {"/var", TRUE, root_var, 1},
      {"/homework", FALSE, {{"/dev/a", "/"}, {"/dev/b", "/home"}}, 1},
      {"/dev/sda1", FALSE, boot, 1},
      {"/dev/sda1", TRUE, boot, 1},
      {"/mnt/x", FALSE, {{"/dev/a", "/mnt"}, {"/dev/b", "/mnt"}}, 1},
      {"/dev/sdb", FALSE, {{"/dev/sdb", "/a"}, {"/dev/c", "/dev"}, {"/dev/sdb", "/b"}}, 2},
      {"/var/x", FALSE, {{"/dev/b", "/var"}, {"/dev/a", "/"}}, 0},
      {"/v", FALSE, {{"/dev/b", "/var"}}, -1},
      {"relative", FALSE, {{"/dev/a", "/"}}, 0},
      {"", FALSE, {{"/dev/a", "/"}}, -1},
      {"/x", FALSE, {{"none", ""}}, 0},
      {"", FALSE, {{"none", ""}}, 0},
      {"/x", FALSE, {{"none", ""}, {"/dev/a", "/"}}, 1},
      {"/x", FALSE, {{"/dev/a", "/"}, {"none", ""}}, 0},
      {"/x", TRUE, {{"none", ""}}, -1},
      {"/", 2, {{"/dev/a", "/"}}, -1},
      {"/dev/a", 2, {{"/dev/a", "/"}}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("wanted «") + c.wanted + "», exact " + std::to_string(c.exact));
    MountList mounts(c.mounts);
    parameter_list* list = nullptr;
    parameter_list* entry = kr_add_parameter(&list, c.wanted);
    kr_set_best_match(list, mounts.head(), c.exact);
    EXPECT_EQ(mounts.index_of(entry->best_match), c.expected);
    kr_del_parameter(entry, nullptr);
  }
}

TEST(KitmountBestMatch, OnlyUnmatchedEntriesAreFilled) {
  MountList first(std::vector<mount_spec>{{"/dev/a", "/"}});
  MountList better({{"/dev/a", "/"}, {"/dev/b", "/srv"}});
  parameter_list* list = nullptr;
  parameter_list* kept = kr_add_parameter(&list, "/srv/www");
  parameter_list* open = kr_add_parameter(&list, "/srv/ftp");
  kept->best_match = first.head();
  kr_set_best_match(list, nullptr, FALSE);
  EXPECT_EQ(open->best_match, nullptr);
  kr_set_best_match(list, better.head(), FALSE);
  EXPECT_EQ(kept->best_match, first.head()) << "an existing match is kept";
  EXPECT_EQ(open->best_match, &better.entries[1]);
  EXPECT_EQ(kr_del_parameter(kr_del_parameter(kept, nullptr), nullptr), nullptr);
}

TEST(KitmountNames, AddFindSeen) {
  name_list* list = nullptr;
  EXPECT_EQ(kr_find_name(list, "a") + kr_seen_name(list, "a"), FALSE);
  kr_add_name(&list, "a");
  kr_add_name(&list, "b");
  ASSERT_TRUE(list && list->next);
  EXPECT_EQ(std::string(list->name) + list->next->name, "ba");
  EXPECT_EQ(list->next->next, nullptr);
  EXPECT_EQ(kr_find_name(list, "a"), TRUE);
  EXPECT_EQ(kr_find_name(list, nullptr), FALSE);
  EXPECT_EQ(kr_find_name(list, "a "), FALSE) << "whole texts are compared";
  EXPECT_EQ(kr_seen_name(list, "b"), TRUE);
  EXPECT_EQ(kr_seen_name(list, ""), FALSE);
  free(list->next);
  free(list);
}

TEST(KitmountParameters, AddFindDelete) {
  parameter_list* list = nullptr;
  for (const char* name : {"a", "b", "c"}) {
    parameter_list* entry = kr_add_parameter(&list, name);
    EXPECT_EQ(entry->name, name) << "the caller's text is kept, not copied";
    parameter_list blank;
    memset(&blank, 0, sizeof blank);
    blank.name = name;
    blank.dfree_pct = blank.dused_pct = -1.0;
    EXPECT_EQ(memcmp(entry, &blank, sizeof blank), 0) << "percentages -1, all else zero";
  }
  std::string order;
  for (parameter_list* p = list; p; p = p->name_next) order += p->name;
  EXPECT_EQ(order, "abc");
  EXPECT_EQ(kr_find_parameter(list, "b"), list->name_next);
  EXPECT_EQ(kr_find_parameter(list, "d"), nullptr);

  parameter_list* head = list;
  parameter_list* third = list->name_next->name_next;
  EXPECT_EQ(kr_del_parameter(list->name_next, list), third);
  EXPECT_EQ(list->name_next, third) << "the predecessor is linked on";
  EXPECT_EQ(kr_del_parameter(list, nullptr), third);
  EXPECT_EQ(list, head) << "the caller's head is left alone";
  EXPECT_EQ(kr_del_parameter(third, nullptr), nullptr);
}

TEST(KitmountRegex, MatchesDeviceOrMountPoint) {
  const struct {
    const char* pattern;
    int expected;
  } cases[] = {{"^/srv", TRUE}, {"sdb1$", TRUE}, {"^/data", FALSE}};
  MountList mounts(std::vector<mount_spec>{{"/dev/sdb1", "/srv/data"}});
  for (const auto& c : cases) {
    regex_t re;
    ASSERT_EQ(regcomp(&re, c.pattern, REG_EXTENDED | REG_NOSUB), 0);
    EXPECT_EQ(kr_regex_match_mount_entry(mounts.head(), &re), c.expected) << c.pattern;
    regfree(&re);
  }
}

TEST(KitmountReader, SystemTableHoldsRoot) {
  mount_entry* list = kr_read_mount_list(nullptr);
  ASSERT_NE(list, nullptr) << strerror(errno);
  int roots = 0;
  for (mount_entry* me = list; me; me = me->me_next)
    roots += std::string(me->me_mountdir) == "/" && me->me_devname && me->me_type;
  EXPECT_GE(roots, 1);
  kr_free_mount_list(list);
}

TEST(KitmountReader, FlagsAndDeviceNumbers) {
  ScopedTempDir tmp;
  struct stat st;
  ASSERT_EQ(stat(tmp.path().c_str(), &st), 0);
  const std::string local = " dev " + std::to_string(st.st_dev);
  const std::string unknown = " dev " + std::to_string(static_cast<dev_t>(-1));
  const std::string at = " on " + tmp.path() + " ";
  // Table line, then the entry read from it; the space of the second mount
  // point is written as the table escapes it.
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/dev/sda1" + at + "ext4", "/dev/sda1" + at + "ext4" + local},
      {"/dev/sdb1 on /none/a\\040b ext4", "/dev/sdb1 on /none/a b ext4" + unknown},
      {"server:/export" + at + "nfs4", "server:/export" + at + "nfs4 remote" + unknown},
      {"//srv/share" + at + "cifs", "//srv/share" + at + "cifs remote" + unknown},
      {"u@h:" + at + "fuse.sshfs", "u@h:" + at + "fuse.sshfs remote" + unknown},
      {"proc on /proc proc", "proc on /proc proc dummy" + unknown},
      {"systemd-1" + at + "autofs", "systemd-1" + at + "autofs dummy" + unknown},
      {"/dev/sdc1 on / fuseblk", "/dev/sdc1 on / fuseblk" + unknown},
  };
  std::string table;
  for (const auto& c : cases) table += Split(c.first, ' ')[0] + " " +
                                       c.first.substr(c.first.find(" on ") + 4) + " rw 0 0\n";
  mount_entry* list = kr_read_mount_list(tmp.WriteFile("mounts", table).c_str());
  ASSERT_NE(list, nullptr) << strerror(errno);
  mount_entry* me = list;
  for (const auto& c : cases) {
    ASSERT_NE(me, nullptr);
    EXPECT_EQ(std::string(me->me_devname) + " on " + me->me_mountdir + " " + me->me_type +
                  (me->me_dummy ? " dummy" : "") + (me->me_remote ? " remote" : "") +
                  " dev " + std::to_string(me->me_dev),
              c.second);
    me = me->me_next;
  }
  EXPECT_EQ(me, nullptr);
  kr_free_mount_list(list);
}

// A line that ends before the type is no entry, and a mount point that is
// no absolute path is not looked up from the current directory.
TEST(KitmountReader, IncompleteLinesAreSkipped) {
  ScopedTempDir tmp;
  ASSERT_EQ(mkdir((tmp.path() + "/rel").c_str(), 0700), 0);
  const std::string table = tmp.WriteFile(
      "mounts", "lonely\ndev rel\n/dev/x rel ext4 rw 0 0\ndev2 /y\n/dev/y / ext4 rw 0 0\n");
  RunResult r = RunInChild([&] {
    if (chdir(tmp.path().c_str()) != 0) printf("chdir failed\n");
    mount_entry* list = kr_read_mount_list(table.c_str());
    for (mount_entry* me = list; me; me = me->me_next)
      printf("%s %s %s %d\n", me->me_devname, me->me_mountdir, me->me_type,
             me->me_dev != static_cast<dev_t>(-1));
    kr_free_mount_list(list);
  });
  EXPECT_EQ(r.out, "/dev/x rel ext4 0\n/dev/y / ext4 1\n");
}

TEST(KitmountReader, MissingOrEmptyTable) {
  ScopedTempDir tmp;
  errno = 0;
  EXPECT_EQ(kr_read_mount_list((tmp.path() + "/absent").c_str()), nullptr);
  EXPECT_EQ(errno, ENOENT);
  errno = EINVAL;
  EXPECT_EQ(kr_read_mount_list(tmp.WriteFile("empty", "").c_str()), nullptr);
  EXPECT_EQ(errno, 0);
}

}  // namespace
