// User and group accounts through the system's account databases (getpwuid_r, getgrgid_r, getgroups).
#include "krv/platform/accounts.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#ifndef KRV_DEVICE_GROUP
#define KRV_DEVICE_GROUP "plugdev"
#endif

namespace MirrorKit::platform::accounts {
namespace {

constexpr size_t kBufferSize = 65536;  // large groups list many members

std::string octal(unsigned bits) {
    char text[8];
    std::snprintf(text, sizeof text, "%o", bits & 07777u);
    return text;
}

}  // namespace

std::string kitGroup() { return KRV_DEVICE_GROUP; }

std::string userName(uid_t uid) {
    std::vector<char> buffer(kBufferSize);
    passwd entry {};
    passwd* found = nullptr;
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return std::to_string(uid);
    return found->pw_name;
}

std::string groupName(gid_t gid) {
    std::vector<char> buffer(kBufferSize);
    group entry {};
    group* found = nullptr;
    if (getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return std::to_string(gid);
    return found->gr_name;
}

bool groupId(const std::string& name, gid_t* gid) {
    std::vector<char> buffer(kBufferSize);
    group entry {};
    group* found = nullptr;
    if (getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return false;
    *gid = found->gr_gid;
    return true;
}

bool listedInGroup(uid_t uid, gid_t gid) {
    std::vector<char> userBuffer(kBufferSize);
    passwd user {};
    passwd* foundUser = nullptr;
    if (getpwuid_r(uid, &user, userBuffer.data(), userBuffer.size(), &foundUser) != 0 || !foundUser) return false;
    if (foundUser->pw_gid == gid) return true;
    std::vector<char> buffer(kBufferSize);
    group entry {};
    group* found = nullptr;
    if (getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return false;
    for (char** member = found->gr_mem; member && *member; ++member)
        if (std::string(*member) == foundUser->pw_name) return true;
    return false;
}

bool processHasGroup(gid_t gid) {
    if (getegid() == gid) return true;
    const int count = getgroups(0, nullptr);
    if (count <= 0) return false;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    const int n = getgroups(count, groups.data());
    return n > 0 && std::find(groups.begin(), groups.begin() + n, gid) != groups.begin() + n;
}

std::string accessAdvice(const std::string& path, uid_t owner, gid_t group, unsigned mode, unsigned groupBits,
                         const std::string& shared) {
    const uid_t self = geteuid();
    const std::string user = userName(self);
    const std::string name = groupName(group);
    gid_t sharedId = 0;
    const bool sharedExists = groupId(shared, &sharedId);
    if (self == owner || (mode & groupBits) != groupBits)
        return "its mode " + octal(mode) + " does not let its group " + name + " in; run: sudo chmod g+" +
               ((groupBits & 0040u) ? std::string("r") : "") + "w" + ((groupBits & 0010u) ? "x" : "") + " " + path;
    if (sharedExists && group != sharedId)
        return "it belongs to the group " + name + ", not to " + shared + ", the group the kit's users share; run: " +
               "sudo chgrp " + shared + " " + path;
    if (listedInGroup(self, group) && !processHasGroup(group))
        return "user " + user + " was added to the group " + name +
               " after this session started: log out and in again (or start a shell with: newgrp " + name + ")";
    return "user " + user + " is not in the group " + name + ": run sudo adduser " + user + " " + name +
           ", then log out and in again";
}

}  // namespace MirrorKit::platform::accounts
