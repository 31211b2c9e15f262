// SPDX-License-Identifier: MIT
// Who may read or write a file does not change when xorscramble rewrites it: on each file system
// the test can mount, every piece of metadata survives a run exactly, and so does what every other
// user may do with the file; or the run is refused and the file left exactly as it was.

#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <grp.h>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "command_harness.h"

namespace command_test {
namespace {

// What the file `name` in `dir` carries, as getfacl, getfattr, lsattr, xfs_io (XFS's flags and
// hints, but whether it has attributes, which any file system's own) and stat tell it.
std::string Metadata(const std::string& dir, const std::string& name) {
  return Shell("cd " + dir + " && getfacl -cpn " + name + "; getfattr -d -m - -e hex " + name +
               " | grep =" + "; lsattr -p " + name + "; xfs_io -r -c 'lsattr -v' -c extsize -c " +
               "cowextsize " + name + " 2>&1 | sed 's/,* *has-xattr//'; stat -c '%A %u:%g' " +
               name);
}

// What each of three ordinary users may do with `path`: "rw", "r-", "-w" or "--" each.
std::string Access(const std::string& path) {
  std::string can_do;
  // daemon, bin and nobody, each in the group of its number, as the system has them.
  for (uid_t uid : {1u, 2u, kNobody}) {
    const int can = AsUser(uid, uid, [&] {
      return (access(path.c_str(), R_OK) == 0 ? 1 : 0) | (access(path.c_str(), W_OK) == 0 ? 2 : 0);
    });
    can_do += std::to_string(uid) + ":" + (can & 1 ? "r" : "-") + (can & 2 ? "w" : "-") + " ";
  }
  return can_do;
}

struct MetadataCase {
  const char* name;
  const char* arrange;  // shell, in a folder holding data.json, the plain sample (0644, root's);
                        // exit status 77 where it cannot be done here, saying why
  uid_t caller;         // who runs the command (0: root), in GroupOf(caller): 65533 for nobody
  const char* refusal;  // the reason the run is refused with, or "" where everything is kept
  const char* only_on;  // the one file system that has what the case needs, or nullptr
  const char* dropped;  // what the run drops as any write would (getfattr's line), or nullptr
};

const MetadataCase kMetadataCases[] = {
    {"restrictive ACL",
     "chgrp bin data.json && chmod 664 data.json && "
     "setfacl -m g::---,u:daemon:rw-,m::rw- data.json",
     0, "", nullptr, nullptr},
    {"restrictive ACL, run by the file's owner",
     "chown nobody:65533 data.json && chmod 664 data.json && chmod 777 . && "
     "setfacl -m g::---,u:daemon:rw-,m::rw- data.json",
     kNobody, "", nullptr, nullptr},
    {"folder's default ACL over a file without one",
     "chmod 640 data.json && setfacl -d -m u:nobody:rw-,g:bin:r-- .", 0, "", nullptr, nullptr},
    {"extended attributes",
     "setfattr -n user.note -v hello data.json && setfattr -n trusted.origin -v test data.json", 0,
     "", nullptr, nullptr},
    {"attribute flags", "chattr +dA data.json", 0, "", nullptr, nullptr},
    {"data journaling, which only a capability lets one set", "chattr +j data.json 2>&1 || exit 77",
     0, "", "ext4", nullptr},
    {"data journaling, run by the file's owner",
     "chattr +j data.json 2>&1 || exit 77; chown nobody:65533 data.json && chmod 777 .", kNobody,
     "cannot keep its attribute flags (chattr +j): Operation not permitted", "ext4", nullptr},
    {"XFS extent size hints, no defragmenting, file streams",
     "mv data.json plain && touch data.json && "
     "xfs_io -c 'extsize 64k' -c 'cowextsize 128k' -c 'chattr +fS' data.json && "
     "cat plain >data.json && rm plain",
     0, "", "xfs", nullptr},
    {"no copy-on-write, set while empty",
     "mv data.json plain && touch data.json && chattr +C data.json && cat plain >data.json && "
     "rm plain",
     0, "", "btrfs", nullptr},
    {"set-group-ID bit, caller outside the file's group",
     "chown nobody:bin data.json && chmod 2755 data.json && chgrp bin . && chmod 2777 .", kNobody,
     "cannot keep its set-group-ID bit: only a member of its group may set it", nullptr, nullptr},
    {"project ID", "chattr -p 42 data.json", 0, "", "xfs", nullptr},
    {"project ID its directory would not give it", "chattr -p 7 +P . && chattr -p 42 data.json", 0,
     "cannot keep its project ID: its directory gives every file in it the directory's own", "xfs",
     nullptr},
    {"file capability, which any write drops",
     "setfattr -n security.capability -v 0sAQAAAgAgAAAAAAAAAAAAAAAAAAA= data.json", 0, "", nullptr,
     "security.capability="},
};

class KeepsMetadata : public testing::TestWithParam<std::string> {};

// On each file system: every piece of metadata survives a run exactly, and so does what every
// other user may do with the file; or the run is refused and the file left exactly as it was.
TEST_P(KeepsMetadata, OrRefuses) {
  const ScratchMount mount(GetParam());
  if (mount.path().empty()) GTEST_SKIP() << mount.why();
  int ran = 0;
  std::string skipped;  // every reason once
  const auto skip = [&skipped](const std::string& why) {
    if (skipped.find(why) == std::string::npos) skipped += (skipped.empty() ? "" : "; ") + why;
  };
  for (const MetadataCase& c : kMetadataCases) {
    if (c.only_on != nullptr && c.only_on != GetParam()) continue;
    SCOPED_TRACE(c.name);
    if (kEmulated && (strstr(c.arrange, "chattr -p") || strstr(c.arrange, "xfs_io"))) {
      skip(
          "under the emulator, which passes no ioctls for XFS's attributes, the project ID and "
          "XFS hint cases are skipped");
      continue;
    }
    const std::string dir = mount.path() + "/" + std::to_string(++ran);
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    WriteFile(dir + "/data.json", kPlain);
    ASSERT_EQ(chmod((dir + "/data.json").c_str(), 0644), 0);
    int status;
    const std::string out = Shell(std::string("cd ") + dir + " && " + c.arrange, &status);
    if (status == 77) {
      skip(std::string(c.name) + ": " + out.substr(0, out.find('\n')));
      continue;
    }
    ASSERT_EQ(status, 0) << out;
    std::string metadata = Metadata(dir, "data.json");
    if (c.dropped != nullptr) {
      const std::size_t at = metadata.find(c.dropped);
      ASSERT_NE(at, std::string::npos) << metadata;
      metadata.erase(at, metadata.find('\n', at) + 1 - at);
    }
    const std::string access = Access(dir + "/data.json");
    const auto tree = Tree(dir);

    // Where the folder would give new files an ACL, the new file must have none while it is
    // written, whoever the ACL names: the fault shim looks at its first write.
    RunOptions options = RunOptions().As(c.caller);
    const std::string seen = mount.path() + "/acl-seen-" + std::to_string(ran);
    const bool look = strstr(c.arrange, "setfacl -d") != nullptr;
    if (look && kEmulated) {
      skip(
          "under the emulator, which never loads the fault shim, the new file's ACL while it "
          "is written is not looked at");
    } else if (look) {
      WriteFile(seen, "");
      ASSERT_EQ(chmod(seen.c_str(), 0666), 0);
      options.Faults({"XORSCRAMBLE_TEST_ACL_SEEN=" + seen});
    }
    const Result run = RunTool(dir, {"data.json"}, options);
    if (look && !kEmulated) {
      EXPECT_EQ(ReadFile(seen), "none") << "the new file had an ACL while it was written";
    }
    if (*c.refusal != '\0') {
      EXPECT_EQ(run.status, 1);
      EXPECT_EQ(run.err, std::string("xorscramble: data.json: ") + c.refusal + "\n");
      EXPECT_EQ(Tree(dir), tree) << "the folder changed";
    } else {
      EXPECT_EQ(run.status, 0) << run.err;
      EXPECT_TRUE(ReadFile(dir + "/data.json") == kScrambled);
      EXPECT_EQ(Names(dir), std::vector<std::string>{"data.json"});
    }
    EXPECT_EQ(Metadata(dir, "data.json"), metadata);
    EXPECT_EQ(Access(dir + "/data.json"), access);
  }
  if (!skipped.empty()) GTEST_SKIP() << skipped;
}

INSTANTIATE_TEST_SUITE_P(Command, KeepsMetadata, testing::Values("tmpfs", "ext4", "xfs", "btrfs"));

}  // namespace
}  // namespace command_test
