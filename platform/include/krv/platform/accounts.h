// User and group accounts: names, group membership, and what a user must do to be let into a shared file.
#pragma once

#include <sys/types.h>

#include <string>

namespace MirrorKit::platform::accounts {

// The group the kit's users share (data folders, USB drive units, the PCIe transfer lock): "plugdev" unless the
// build chose another.
std::string kitGroup();

std::string userName(uid_t uid);    // the number when the account is unknown
std::string groupName(gid_t gid);   // the number when the group is unknown
bool groupId(const std::string& name, gid_t* gid);

// The group database lists the user in the group, as a member or as the primary group.
bool listedInGroup(uid_t uid, gid_t gid);
// This process carries the group now. A process takes its groups when its session starts, so a user added
// to a group later is listed in it but does not carry it until the next login.
bool processHasGroup(gid_t gid);

// For a file-system entry that this process may not use although it is meant for the kit's group: what to
// do, as one sentence. groupBits are the mode bits the group needs (0060 read and write, 0030 to create files
// in a folder). In order: a mode that does not give the group those bits (chmod), a group that is not
// sharedGroup when that group exists (chgrp), a user listed in the group who has not logged in again since, a
// user outside the group.
std::string accessAdvice(const std::string& path, uid_t owner, gid_t group, unsigned mode, unsigned groupBits,
                         const std::string& sharedGroup = kitGroup());

}  // namespace MirrorKit::platform::accounts
