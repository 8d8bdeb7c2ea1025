// SPDX-License-Identifier: MIT
// Black-box runs of check_sysinfo: exact standard output, standard error and
// exit code. The release-file runs happen in a private mount namespace whose
// /etc is a throw-away directory, so the machine's real /etc is never touched.

#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "build_config.h"
#include "test_helpers.h"

namespace {

namespace fs = std::filesystem;

const std::string kProgram = CHECK_SYSINFO_PATH;
const std::string kFailure = "Unable to retrieve system information";

struct Uname {
  std::string os, host;
};

Uname ReadUname() {
  struct utsname uts;
  EXPECT_EQ(uname(&uts), 0) << strerror(errno);
  return {uts.sysname, uts.nodename};
}

// The option parser's own diagnostics, in the C library's wording; the
// program never sets a locale, so they are never translated.
std::string InvalidOption(char c) {
  return kProgram + ": invalid option -- '" + c + "'\n";
}
std::string MissingArgument(char c) {
  return kProgram + ": option requires an argument -- '" + c + "'\n";
}
std::string UnknownType(const std::string& type) {
  return "Unknown type '" + type + "': the only type is sys.\n";
}

struct testcase {
  std::vector<std::string> args;  // after the program path
  std::string out;
  std::string err;
  int exit_code;
};

std::string Describe(const std::vector<std::string>& args) {
  std::string text;
  for (const auto& a : args) text += " [" + a + "]";
  return text.empty() ? " (no arguments)" : text;
}

void RunTable(const std::vector<testcase>& cases) {
  for (const auto& tc : cases) {
    std::vector<std::string> argv{kProgram};
    argv.insert(argv.end(), tc.args.begin(), tc.args.end());
    // A set POSIXLY_CORRECT would stop option parsing at the first
    // non-option and change what the rows with operands mean.
    RunResult r = RunProgram(argv, {{"POSIXLY_CORRECT", ""}});
    SCOPED_TRACE("arguments:" + Describe(tc.args));
    EXPECT_EQ(r.out, tc.out);
    EXPECT_EQ(r.err, tc.err);
    EXPECT_EQ(r.exit_code, tc.exit_code);
  }
}

// Runs the program with a private /etc: a directory of symbolic links to
// every entry of the real /etc (reached through a read-only bind mount made
// only inside the namespace), except the release files, which each row
// supplies itself.
class PrivateEtc {
 public:
  PrivateEtc() {
    std::string templ = std::string(TEST_TMP_DIR) + "/kivrel-realetc-XXXXXX";
    if (!mkdtemp(templ.data())) {
      ADD_FAILURE() << "mkdtemp: " << strerror(errno);
      return;
    }
    real_ = templ;
    fake_ = dir_.path() + "/etc";
    fs::create_directory(fake_);
    for (const auto& entry : fs::directory_iterator("/etc")) {
      std::string name = entry.path().filename().string();
      if (name == "redhat-release" || name == "SuSE-release" || name == "os-release") continue;
      fs::create_symlink(real_ + "/" + name, fake_ + "/" + name);
    }
  }

  ~PrivateEtc() {
    // rmdir, never a recursive removal: should the bind mount of the real
    // /etc ever outlive the namespace, this fails instead of emptying /etc.
    if (!real_.empty() && rmdir(real_.c_str()) != 0)
      ADD_FAILURE() << "cannot remove " << real_ << ": " << strerror(errno);
  }

  /// True when this process may create mount namespaces; the reason why
  /// not goes to \a why.
  static bool Permitted(std::string* why) {
    RunResult r = RunProgram({"/usr/bin/unshare", "--mount", "--propagation",
                              "private", "/bin/true"});
    *why = r.err;
    if (r.exit_code == 0) return true;
    EXPECT_NE(r.err.find("Operation not permitted"), std::string::npos)
        << "unshare failed for another reason than a missing permission: "
        << r.err;
    return false;
  }

  /// Lay down the release files and the os-release file; an absent text
  /// means no such file.
  void SetRelease(const std::optional<std::string>& redhat,
                  const std::optional<std::string>& suse,
                  const std::optional<std::string>& os_release = std::nullopt) {
    Place("redhat-release", redhat);
    Place("SuSE-release", suse);
    Place("os-release", os_release);
  }

  /// Make \a name a link to \a target, or a FIFO when \a target is empty.
  void MakeSpecial(const std::string& name, const std::string& target) {
    std::string path = fake_ + "/" + name;
    fs::remove_all(path);
    if (target.empty())
      mkfifo(path.c_str(), 0644);
    else
      fs::create_symlink(target, path);
  }

  /// Replace a release file by a directory, which opens but cannot be read.
  void MakeDirectory(const std::string& name) {
    fs::remove_all(fake_ + "/" + name);
    fs::create_directory(fake_ + "/" + name);
  }

  RunResult Run(const std::vector<std::string>& args) {
    static const char kSetUp[] =
        "mount --make-rprivate / &&"
        " mount --bind /etc \"$1\" &&"
        " mount -o remount,bind,ro \"$1\" &&"
        " mount --bind \"$2\" /etc || exit 99\n"
        "shift 2\n"
        "exec \"$@\"\n";
    std::vector<std::string> argv{"/usr/bin/unshare", "--mount", "--propagation",
                                  "private", "/bin/sh", "-c", kSetUp, "sh",
                                  real_, fake_, kProgram};
    argv.insert(argv.end(), args.begin(), args.end());
    RunResult r = RunProgram(argv);
    EXPECT_NE(r.exit_code, 99) << "namespace set-up failed: " << r.err;
    return r;
  }

 private:
  void Place(const std::string& name, const std::optional<std::string>& text) {
    std::string path = fake_ + "/" + name;
    fs::remove_all(path);
    if (text) std::ofstream(path, std::ios::binary) << *text;
  }

  ScopedTempDir dir_;
  std::string real_;
  std::string fake_;
};

}  // namespace

TEST(CheckSysinfo, Items) {
  const Uname u = ReadUname();
  const std::string& os = u.os;
  const std::string& host = u.host;
  const std::string help = "HELP\n";

  RunTable({
      {{"-t", "sys", "-c", "os"}, os, "", 0},
      {{"-t", "sys", "-c", "hostname"}, host, "", 0},
      {{"-tsys", "-cos"}, os, "", 0},
      {{"-t", "other", "-t", "sys", "-c", "os"}, os, UnknownType("other"), 0},
      // Several items run together; the last one decides the exit code.
      {{"-t", "sys", "-c", "os", "-c", "hostname"}, os + host, "", 0},
      {{"-t", "sys", "-c", "hostname", "-c", "os"}, host + os, "", 0},
      {{"-t", "sys", "-c", "bogus", "-c", "os"}, os, kFailure, 0},
      {{"-t", "sys", "-c", "os", "-c", "bogus"}, os, kFailure, 3},
      {{"-t", "sys", "-c", "bogus", "-c", "bogus"}, "", kFailure + kFailure, 3},
      {{"-t", "sys", "-c", "OS"}, "", kFailure, 3},
      {{"-t", "sys", "-c", ""}, "", kFailure, 3},
      // Operands are skipped; "--" ends the options.
      {{"-t", "sys", "operand", "-c", "os"}, os, "", 0},
      {{"-t", "sys", "-c", "os", "--", "-c", "hostname"}, os, "", 0},
      // Help prints and carries on without touching the result.
      {{"-h", "-t", "sys", "-c", "hostname"}, help + host, "", 0},
      {{"-t", "sys", "-c", "os", "-h"}, os + help, "", 0},
      {{"-ht", "sys", "-c", "os"}, help + os, "", 0},
      {{"-t", "sys", "-c", "bogus", "-h"}, help, kFailure, 3},
  });

}

TEST(CheckSysinfo, UsageErrors) {
  const std::string os = ReadUname().os;
  const std::string no_item = "No item asked for: give -t sys -c os|hostname|distro.\n";
  const std::string no_type = "Option -c needs -t sys before it.\n";
  RunTable({
      // Asking for nothing is no success.
      {{}, "", no_item, 3},
      {{"-h"}, "HELP\n", no_item, 3},
      {{"operand"}, "", no_item, 3},
      // The type is "sys", exactly and case-sensitively; -c needs it first.
      {{"-c", "os", "-t", "sys"}, "", no_type, 3},
      {{"-t", "SYS", "-c", "os"}, "", UnknownType("SYS"), 3},
      {{"-t", "sysx", "-c", "os"}, "", UnknownType("sysx"), 3},
      {{"-t", "", "-c", "os"}, "", UnknownType(""), 3},
      {{"-t", "sys", "-t", "other", "-c", "os"}, "", UnknownType("other"), 3},
      {{"-t", "other", "-c", "bogus"}, "", UnknownType("other"), 3},
      {{"-t", "sys", "-c", "os", "-t", "x"}, os, UnknownType("x"), 3},
      // The type is shown on one line, as any text from outside.
      {{"-t", "a\nb|c"}, "", UnknownType("a b/c"), 3},
      // A usage error already said is not followed by the missing item.
      {{"-x"}, "", InvalidOption('x') + "Unknown option '-x'.\n", 3},
      // Unknown long options, and an argument to one that takes none.
      {{"--bogus", "-t", "sys", "-c", "os"}, os,
       kProgram + ": unrecognized option '--bogus'\nUnknown option '--bogus'.\n", 0},
      {{"--help=x"}, "",
       kProgram + ": option '--help' doesn't allow an argument\nOption --help takes no argument.\n",
       3},
  });
}

TEST(CheckSysinfo, HelpAndVersion) {
  const std::string version =
      std::string("check_sysinfo v") + PACKAGE_VERSION + " (kivrel-plugins " PACKAGE_VERSION ")\n";
  RunResult v = RunProgram({kProgram, "--version", "-t", "sys", "-c", "os"});
  EXPECT_EQ(v.out, version);
  EXPECT_EQ(v.err, "");
  EXPECT_EQ(v.exit_code, 0);
  // Options before --help act; it ends the run before the ones after it.
  RunResult h = RunProgram({kProgram, "-t", "sys", "-c", "os", "--help", "-c", "bogus"});
  EXPECT_EQ(h.out.rfind(ReadUname().os + version, 0), 0u) << h.out;
  EXPECT_NE(h.out.find("\nUsage:\n check_sysinfo -t sys -c os|hostname|distro"), std::string::npos);
  EXPECT_EQ(h.err, "");
  EXPECT_EQ(h.exit_code, 0);
}

TEST(CheckSysinfo, BadOptions) {
  const std::string os = ReadUname().os;
  RunTable({
      // Bad options: the parser's line, then ours; processing goes on.
      {{"-x", "-t", "sys", "-c", "os"}, os, InvalidOption('x') + "Unknown option '-x'.\n", 0},
      {{"-t", "sys", "-c", "os", "-x"}, os, InvalidOption('x') + "Unknown option '-x'.\n", 3},
      {{"-?"}, "", InvalidOption('?') + "Unknown option '-?'.\n", 3},
      {{"-:"}, "", InvalidOption(':') + "Unknown option '-:'.\n", 3},
      // Printable means codes 32 to 126, whatever the locale.
      {{"- "}, "", InvalidOption(' ') + "Unknown option '- '.\n", 3},
      {{"-~"}, "", InvalidOption('~') + "Unknown option '-~'.\n", 3},
      {{"-\x1f"}, "", InvalidOption('\x1f') + "Unknown option character '\\x1f'.\n", 3},
      {{"-\x01"}, "", InvalidOption('\x01') + "Unknown option character '\\x1'.\n", 3},
      {{"-\x7f"}, "", InvalidOption('\x7f') + "Unknown option character '\\x7f'.\n", 3},
      {{"-\xe9"}, "", InvalidOption('\xe9') + "Unknown option character '\\xe9'.\n", 3},
      {{"-xy"}, "",
       InvalidOption('x') + "Unknown option '-x'.\n" + InvalidOption('y') +
           "Unknown option '-y'.\n",
       3},
      {{"-t"}, "", MissingArgument('t') + "Option -t requires an argument.\n", 3},
      {{"-t", "sys", "-c"}, "", MissingArgument('c') + "Option -c requires an argument.\n", 3},
      {{"-t", "sys", "-c", "os", "-c"}, os,
       MissingArgument('c') + "Option -c requires an argument.\n", 3},
  });
}

TEST(CheckSysinfo, WriteFailure) {
  // An answer that cannot be written must not be reported as a success.
  struct outcase {
    const char* redirect;
    std::vector<std::string> args;
    std::string err;
    int exit_code;
  };
  const outcase out_cases[] = {
      {">/dev/full", {"-t", "sys", "-c", "os"},
       "Cannot write to standard output: No space left on device\n", 3},
      {">/dev/full", {"-h", "-t", "sys", "-c", "os"},
       "Cannot write to standard output: No space left on device\n", 3},
      {">/dev/full", {"--version"}, "Cannot write to standard output: No space left on device\n", 3},
      {">&-", {"-t", "sys", "-c", "hostname"},
       "Cannot write to standard output: Bad file descriptor\n", 3},
      // Nothing to write: the usage error alone.
      {">/dev/full", {"-t", "other", "-c", "os"}, "Unknown type 'other': the only type is sys.\n", 3},
  };
  for (const auto& tc : out_cases) {
    std::vector<std::string> argv{"/bin/sh", "-c",
                                  std::string("exec \"$0\" \"$@\" ") + tc.redirect, kProgram};
    argv.insert(argv.end(), tc.args.begin(), tc.args.end());
    RunResult r = RunProgram(argv);
    SCOPED_TRACE(std::string("stdout ") + tc.redirect + ", arguments:" + Describe(tc.args));
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, tc.err);
    EXPECT_EQ(r.exit_code, tc.exit_code);
  }
}

TEST(CheckSysinfo, ReleaseFile) {
  std::string why;
  if (!PrivateEtc::Permitted(&why))
    GTEST_SKIP() << "mount namespaces are not permitted here: " << why;

  const Uname u = ReadUname();
  const std::string long_line(10000, 'r');
  const std::optional<std::string> none;

  struct releasecase {
    const char* what;
    std::optional<std::string> redhat, suse, os_release;
    std::string out;
    std::string err;
    int exit_code;
  };
  const releasecase cases[] = {
      {"redhat, several lines", "Red Hat Enterprise Linux release 9.3 (Plow)\nsecond\nthird\n",
       none, none, "Red Hat Enterprise Linux release 9.3 (Plow)", "", 0},
      {"redhat preferred", "Fedora release 39 (Thirty Nine)\n",
       "SUSE Linux Enterprise Server 11 (x86_64)\n", "PRETTY_NAME=x\n",
       "Fedora release 39 (Thirty Nine)", "", 0},
      {"SuSE only", none, "SUSE Linux Enterprise Server 11 (x86_64)\nVERSION = 11\nPATCHLEVEL = 4\n",
       none, "SUSE Linux Enterprise Server 11 (x86_64)", "", 0},
      {"no line end", "CentOS release 6.10 (Final)", none, none, "CentOS release 6.10 (Final)", "",
       0},
      {"empty redhat, SuSE not consulted", "", "SUSE Linux\n", none, "", "", 0},
      {"empty first line", "\nsecond line\n", none, none, "", "", 0},
      {"one line without |", "a\tb\r\xe9\x01 c|d\r\nnext\n", none, none, "a b \xe9  c/d ", "", 0},
      {"first line cut at 4 KiB", long_line + "\nshort\n", none, none, long_line.substr(0, 4096),
       "", 0},
      {"os-release, quoted", none, none,
       "NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nID=debian\n",
       "Debian GNU/Linux 12 (bookworm)", "", 0},
      {"os-release, bare and escaped", none, none,
       "ID=x\nPRETTY_NAME=Plain\nPRETTY_NAME=late\n", "Plain", "", 0},
      {"os-release, shell escapes", none, none, "PRETTY_NAME=\"A \\\"B\\\" \\$C\"", "A \"B\" $C", "", 0},
      {"os-release, one line without |", none, none, "PRETTY_NAME='A|B\rC'", "A/B C", "", 0},
      {"os-release without the name", none, none, "NAME=x\n", "", kFailure, 3},
      {"neither file", none, none, none, "", kFailure, 3},
  };

  PrivateEtc etc;
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.what);
    etc.SetRelease(tc.redhat, tc.suse, tc.os_release);
    RunResult r = etc.Run({"-t", "sys", "-c", "distro"});
    EXPECT_EQ(r.out, tc.out);
    EXPECT_EQ(r.err, tc.err);
    EXPECT_EQ(r.exit_code, tc.exit_code);
  }

  // The release line runs together with the other items.
  etc.SetRelease("Rocky Linux release 9.2\nx\n", none);
  RunResult r = etc.Run({"-t", "sys", "-c", "os", "-c", "distro", "-c", "hostname"});
  EXPECT_EQ(r.out, u.os + "Rocky Linux release 9.2" + u.host);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exit_code, 0);

  // A release file that opens but cannot be read is a failure, and the
  // SuSE file is not tried in its place.
  etc.SetRelease(none, "SUSE Linux\n");
  etc.MakeDirectory("redhat-release");
  r = etc.Run({"-t", "sys", "-c", "distro"});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, kFailure);
  EXPECT_EQ(r.exit_code, 3);

  // So are a FIFO and a device, which could hold the probe or never end.
  for (const std::string& target : {std::string(), std::string("/dev/zero")}) {
    etc.SetRelease(none, none, "PRETTY_NAME=x\n");
    etc.MakeSpecial("redhat-release", target);
    r = etc.Run({"-t", "sys", "-c", "distro"});
    EXPECT_EQ(r.out, "") << target;
    EXPECT_EQ(r.err, kFailure);
    EXPECT_EQ(r.exit_code, 3);
    etc.SetRelease(none, none);
    etc.MakeSpecial("os-release", target);
    r = etc.Run({"-t", "sys", "-c", "distro"});
    EXPECT_EQ(r.err, kFailure) << target;
    EXPECT_EQ(r.exit_code, 3);
  }
}
