// A ShapeDesk built without the remote client library: served mirrors cannot be reached.
#include "mirrorlink.h"

namespace {
const char* const kWhy = "this ShapeDesk was built without network support";
}

bool listRemoteMirrors(const RemoteTarget&, std::vector<RemoteMirror>& mirrors, KRVRC& rc, QString& message) {
    mirrors.clear();
    rc = ERR_NOT_IMPLEMENTED;
    message = kWhy;
    return false;
}

std::unique_ptr<MirrorLink> connectRemoteLink(const RemoteTarget&, DM&, KRVRC& rc, QString& message) {
    rc = ERR_NOT_IMPLEMENTED;
    message = kWhy;
    return nullptr;
}
