// What the server tells about a mirror, read from its open record and its profile through the public interface.
#pragma once

#include <mirrorkit/v1/mirror.pb.h>

#include <KRV.h>

#include <string>

namespace MirrorKit::Server {

// Everything about an open record that does not change while it is open.
void describeMirror(const DM& dm, ::mirrorkit::v1::MirrorInfo& info);
// The parts that do change (whether a calibration is loaded).
void refreshMirror(const DM& dm, ::mirrorkit::v1::MirrorInfo& info);
// Driver type and actuator count of a profile that is not open, when the kit can read it.
void fillProfileEntry(const std::string& folder, const std::string& serial, ::mirrorkit::v1::MirrorEntry& entry);

}  // namespace MirrorKit::Server
