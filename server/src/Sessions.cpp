// Sessions of the mirror server: see Sessions.h.
#include "Sessions.h"

#include "ChannelSum.h"
#include "MirrorInfo.h"

#include <KRV_OpenLoop.h>
#include <KRV_PCIeAPI.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <unistd.h>

namespace MirrorKit::Server {

namespace {

// Opening and closing touch what the kit keeps per process (install folder, logging set-up, the PCIe back end's
// card bookkeeping), so they run one at a time across sessions.
std::mutex& lifecycleMutex() {
    static std::mutex m;
    return m;
}

struct Channel {
    std::string name;
    double gain = 1.0;
    Values values;  // n values
    uint64_t updates = 0;
    std::string lastWriter;
};

Values zeros(uint32_t n) {
    Values v;
    v.Resize(static_cast<int>(n), 0.0);
    return v;
}

int64_t nowUnixNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool printable(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
}

bool validSerial(const std::string& serial) {
    return serial.size() == KRV_SERIAL_NUMBER_LEN && printable(serial);
}

bool bounded(double v) { return std::isfinite(v) && std::fabs(v) <= kValueBound; }

Outcome checkValues(const double* values, size_t count, const char* what) {
    const size_t i = firstOutside(values, count, kValueBound);
    if (i == count) return success();
    return malformed(std::string(what) + "[" + std::to_string(i) + "] is " + std::to_string(values[i]) +
                     "; values must be finite and within +-1e6");
}

Outcome checkNumber(double v, const char* what) {
    if (bounded(v)) return success();
    return malformed(std::string(what) + " must be finite and within +-1e6");
}

Outcome checkCount(size_t got, size_t expected, const char* what) {
    if (got == expected) return success();
    return malformed(std::string(what) + ": expected " + std::to_string(expected) + " values, got " +
                     std::to_string(got));
}

std::string randomId() {
    std::random_device device;
    char text[33];
    for (int i = 0; i < 4; ++i) std::snprintf(text + 8 * i, 9, "%08x", static_cast<unsigned>(device()));
    return text;
}

void toProto(const Saturation& s, pb::SaturationReport* out) {
    out->set_clamped(s.clamped);
    out->set_clamped_low(s.low);
    out->set_clamped_high(s.high);
    out->mutable_actuators()->Assign(s.actuators.begin(), s.actuators.end());
}

}  // namespace

class Session {
public:
    Session(std::string name, std::string serial) : name(std::move(name)), serial(std::move(serial)) {}

    const std::string name;
    const std::string serial;

    std::mutex mutex;  // guards everything below, the record included
    std::unique_ptr<DM> dm = std::make_unique<DM>();
    bool closed = false;
    uint32_t n = 0;
    pb::MirrorInfo info;
    std::map<std::string, int> attachments;  // client id -> times opened
    std::map<std::string, std::string> clientNames;
    ClientPtr holder;
    std::vector<Channel> channels;  // the default channel first
    std::vector<double> frame;
    std::vector<ChannelTerm> terms;
    uint64_t sequence = 0;
    std::vector<std::shared_ptr<FrameWatcher>> watchers;

    Channel* channel(const std::string& channelName) {
        for (auto& c : channels)
            if (c.name == channelName) return &c;
        return nullptr;
    }

    Outcome checkWriter(const ClientPtr& caller) const {
        if (!caller) return malformed("writing needs the client id of a Connect stream (metadata mirrorkit-client-id)");
        if (!attachments.count(caller->id))
            return refuse(ERR_DRIVER_NOT_OPEN, "(this client has not opened session '" + name + "')");
        if (holder && holder != caller)
            return refuse(ERR_DRIVER_ALREADY_OPEN, "(session '" + name + "' is reserved by '" + holder->name + "')");
        return success();
    }

    // Hands the applied frame to every watcher.
    void publish(pb::FrameSource source, const pb::SaturationReport& saturation, const std::string& writer) {
        if (watchers.empty()) return;
        auto record = std::make_shared<FrameRecord>();
        record->sequence = sequence;
        record->timeUnixNs = nowUnixNs();
        record->values.resize(n);
        if (KRVGetArray(dm.get(), record->values.data(), n) != NO_ERR) record->values.clear();
        record->saturation = saturation;
        record->source = source;
        record->writer = writer;
        for (auto& w : watchers) w->deliver(record);
    }

    void committed(pb::FrameSource source, const Saturation& saturation, const ClientPtr& writer,
                   pb::FrameReply& reply) {
        ++sequence;
        reply.set_sequence(sequence);
        toProto(saturation, reply.mutable_saturation());
        publish(source, reply.saturation(), writer ? writer->name : std::string());
    }

    // Sums the channels into the frame and sends it.
    Outcome sendSum(pb::FrameSource source, const ClientPtr& writer, pb::FrameReply& reply) {
        terms.clear();
        for (const auto& c : channels)
            if (static_cast<uint32_t>(c.values.size()) == n) terms.push_back({c.values.data(), c.gain});
        // One channel at gain 1 is the frame itself: the kit clamps what it is sent, so only the report is made.
        const bool alone = terms.size() == 1 && terms[0].gain == 1.0;
        const Saturation saturation =
            alone ? countSaturation(terms[0].values, n) : sumChannels(terms.data(), terms.size(), n, frame.data());
        if (KRVRC rc = KRVSetArray(dm.get(), alone ? terms[0].values : frame.data(), nullptr))
            return refuse(rc, "(sending the frame)");
        committed(source, saturation, writer, reply);
        return success();
    }

    bool otherChannels() const { return channels.size() > 1; }
};

SessionRegistry::SessionRegistry(SessionSettings settings) : settings_(std::move(settings)) {}

SessionRegistry::~SessionRegistry() { shutdown(); }

// ---- Clients ---------------------------------------------------------------------------------------------------

ClientPtr SessionRegistry::connect(const std::string& name, std::weak_ptr<ClientLink> link) {
    auto client = std::make_shared<Client>();
    client->name = name;
    client->link = std::move(link);
    std::lock_guard<std::mutex> lock(mutex_);
    do client->id = randomId();
    while (clients_.count(client->id));
    clients_[client->id] = client;
    return client;
}

ClientPtr SessionRegistry::client(const std::string& id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = clients_.find(id);
    return it == clients_.end() ? nullptr : it->second;
}

void SessionRegistry::disconnect(const ClientPtr& client) {
    std::vector<std::weak_ptr<Session>> opened;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        client->gone = true;
        clients_.erase(client->id);
        auto it = attachedTo_.find(client->id);
        if (it != attachedTo_.end()) {
            opened = std::move(it->second);
            attachedTo_.erase(it);
        }
    }
    std::vector<SessionPtr> done;
    for (auto& weak : opened) {
        SessionPtr s = weak.lock();
        if (!s || std::find(done.begin(), done.end(), s) != done.end()) continue;
        std::lock_guard<std::mutex> lock(s->mutex);
        s->attachments.erase(client->id);
        s->clientNames.erase(client->id);
        if (s->holder == client) s->holder.reset();
        if (!s->closed && s->attachments.empty() && !settings_.holdOnIdle) {
            closeMirror(*s);
            done.push_back(s);
        }
    }
    for (auto& s : done) forget(s);
}

// ---- Sessions --------------------------------------------------------------------------------------------------

SessionPtr SessionRegistry::find(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = sessions_.find(name);
    return it == sessions_.end() ? nullptr : it->second;
}

size_t SessionRegistry::sessionCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sessions_.size();
}

void SessionRegistry::forget(const SessionPtr& session) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = sessions_.find(session->name);
    if (it == sessions_.end() || it->second != session) return;
    sessions_.erase(it);
    auto serial = serials_.find(session->serial);
    if (serial != serials_.end() && serial->second == session->name) serials_.erase(serial);
}

void SessionRegistry::closeMirror(Session& s) {
    {
        std::lock_guard<std::mutex> lock(lifecycleMutex());
        KRVClearArray(s.dm.get());
        KRVClose(s.dm.get());
    }
    s.closed = true;
    s.holder.reset();
    s.attachments.clear();
    s.clientNames.clear();
    auto last = std::make_shared<FrameRecord>();
    last->sequence = s.sequence;
    last->timeUnixNs = nowUnixNs();
    last->sessionClosed = true;
    for (auto& w : s.watchers) w->deliver(last);
    s.watchers.clear();
}

Outcome SessionRegistry::listMirrors(pb::ListMirrorsReply& reply) const {
    std::string folder = settings_.profiles;
    if (folder.empty()) {
        DM probe{};
        if (KRVRC rc = KRVSetProfilesPath(&probe, nullptr)) return refuse(rc, "(finding the profiles folder)");
        folder = probe.ProfilesPath;
    }
    namespace fs = std::filesystem;
    std::vector<std::string> serials;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const fs::path& p = it->path();
        if (p.extension() != ".dm" || !it->is_regular_file(error)) continue;
        const std::string serial = p.stem().string();
        if (validSerial(serial)) serials.push_back(serial);
    }
    if (error) return refuse(ERR_OPENFILE, "(profiles folder " + folder + ": " + error.message() + ")");
    std::sort(serials.begin(), serials.end());
    for (const auto& serial : serials) {
        auto* entry = reply.add_mirrors();
        entry->set_serial(serial);
        fillProfileEntry(folder, serial, *entry);
        SessionPtr s;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = serials_.find(serial);
            if (it != serials_.end()) s = sessions_.at(it->second);
        }
        if (!s) continue;
        std::lock_guard<std::mutex> lock(s->mutex);
        if (s->closed) continue;
        entry->set_open(true);
        entry->set_session(s->name);
        uint32_t clients = 0;
        for (const auto& a : s->attachments) clients += static_cast<uint32_t>(a.second);
        entry->set_clients(clients);
        entry->set_reserved(s->holder != nullptr);
        entry->set_profile_read(true);
        entry->set_driver_type(s->info.driver_type());
        entry->set_n_actuators(s->n);
    }
    return success();
}

Outcome SessionRegistry::open(const ClientPtr& caller, const pb::OpenRequest& request, pb::OpenReply& reply) {
    if (!caller) return malformed("Open needs the client id of a Connect stream (metadata mirrorkit-client-id)");
    if (!pb::OpenRequest::Behavior_IsValid(request.behavior()))
        return malformed("behavior " + std::to_string(request.behavior()) + " is not AUTO, OPEN_NEW or ATTACH_ONLY");
    const std::string& serial = request.serial();
    const std::string name = request.session().empty() ? serial : request.session();
    if (name.empty()) return malformed("Open needs a serial number or a session name");
    if (name.size() > kMaxNameLength || !printable(name))
        return malformed("session names have 1 to 64 printable characters");
    if (!serial.empty() && !validSerial(serial))
        return refuse(ERR_SERIAL_NUMBER, "(serial numbers have 11 printable characters)");
    const auto behavior = request.behavior();

    for (;;) {
        SessionPtr s;
        std::unique_lock<std::mutex> creating;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (shuttingDown_) return refuse(ERR_DRIVER_NOT_OPEN, "(the server is shutting down)");
            if (caller->gone) return malformed("the client has disconnected");
            auto it = sessions_.find(name);
            if (it != sessions_.end()) {
                s = it->second;
                if (behavior == pb::OpenRequest::OPEN_NEW)
                    return refuse(ERR_DRIVER_ALREADY_OPEN, "(session '" + name + "' exists)");
                if (!serial.empty() && s->serial != serial)
                    return refuse(ERR_SERIAL_NUMBER,
                                  "(session '" + name + "' holds mirror " + s->serial + ", not " + serial + ")");
            } else {
                if (behavior == pb::OpenRequest::ATTACH_ONLY)
                    return refuse(ERR_DRIVER_NOT_OPEN, "(no session '" + name + "')");
                if (serial.empty()) return refuse(ERR_SERIAL_NUMBER, "(a new session needs a serial number)");
                auto other = serials_.find(serial);
                if (other != serials_.end())
                    return refuse(ERR_DRIVER_ALREADY_OPEN,
                                  "(mirror " + serial + " is open in session '" + other->second + "')");
                s = std::make_shared<Session>(name, serial);
                creating = std::unique_lock<std::mutex>(s->mutex);
                sessions_[name] = s;
                serials_[serial] = name;
            }
            attachedTo_[caller->id].push_back(s);
        }

        auto unrecord = [&] {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = attachedTo_.find(caller->id);
            if (it == attachedTo_.end()) return;
            auto& list = it->second;
            auto entry = std::find_if(list.begin(), list.end(), [&](const auto& w) { return w.lock() == s; });
            if (entry != list.end()) list.erase(entry);
        };

        if (creating) {
            DM& dm = *s->dm;
            if (!settings_.profiles.empty()) std::snprintf(dm.ProfilesPath, KRV_MAX_PATH, "%s", settings_.profiles.c_str());
            if (!settings_.maps.empty()) std::snprintf(dm.MapsPath, KRV_MAX_PATH, "%s", settings_.maps.c_str());
            if (!settings_.calibrations.empty())
                std::snprintf(dm.CalibrationsPath, KRV_MAX_PATH, "%s", settings_.calibrations.c_str());
            if (request.has_device_id()) dm.DevId = request.device_id();
            KRVRC rc;
            {
                std::lock_guard<std::mutex> lock(lifecycleMutex());
                rc = KRVOpen(&dm, serial.c_str());
                if (rc != NO_ERR && dm.State) KRVClose(&dm);
            }
            if (rc != NO_ERR) {
                s->closed = true;
                creating.unlock();
                forget(s);
                unrecord();
                return refuse(rc, "(opening mirror " + serial + ")");
            }
            s->n = dm.ActCount;
            s->channels.push_back(Channel{"", 1.0, zeros(s->n), 0, {}});
            s->frame.assign(s->n, 0.0);
            describeMirror(dm, s->info);
            s->attachments[caller->id] = 1;
            s->clientNames[caller->id] = caller->name;
            reply.set_session(name);
            reply.set_created(true);
            *reply.mutable_mirror() = s->info;
            return success();
        }

        std::lock_guard<std::mutex> lock(s->mutex);
        if (s->closed) {
            // Closed between the look-up and now: look again, and open it anew if it is gone.
            unrecord();
            continue;
        }
        if (caller->gone) return malformed("the client has disconnected");
        ++s->attachments[caller->id];
        s->clientNames[caller->id] = caller->name;
        reply.set_session(name);
        reply.set_created(false);
        *reply.mutable_mirror() = s->info;
        refreshMirror(*s->dm, *reply.mutable_mirror());
        return success();
    }
}

Outcome SessionRegistry::close(const ClientPtr& caller, const SessionPtr& s, pb::CloseReply& reply) {
    if (!caller) return malformed("Close needs the client id of a Connect stream (metadata mirrorkit-client-id)");
    bool last = false;
    {
        std::lock_guard<std::mutex> lock(s->mutex);
        auto it = s->attachments.find(caller->id);
        if (s->closed || it == s->attachments.end())
            return refuse(ERR_DRIVER_NOT_OPEN, "(this client has not opened session '" + s->name + "')");
        if (--it->second == 0) {
            s->attachments.erase(it);
            s->clientNames.erase(caller->id);
            if (s->holder == caller) s->holder.reset();
        }
        if (s->attachments.empty()) {
            closeMirror(*s);
            last = true;
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = attachedTo_.find(caller->id);
        if (it != attachedTo_.end()) {
            auto& list = it->second;
            auto entry = std::find_if(list.begin(), list.end(), [&](const auto& w) { return w.lock() == s; });
            if (entry != list.end()) list.erase(entry);
        }
    }
    if (last) forget(s);
    reply.set_mirror_closed(last);
    return success();
}

namespace {
// Runs f on the open session under its lock.
template <class F>
Outcome locked(const SessionPtr& s, F&& f) {
    std::lock_guard<std::mutex> lock(s->mutex);
    if (s->closed) return refuse(ERR_DRIVER_NOT_OPEN, "(session '" + s->name + "' is closed)");
    return f(*s);
}
}  // namespace

Outcome SessionRegistry::describe(const SessionPtr& session, pb::DescribeSessionReply& reply) {
    return locked(session, [&](Session& s) {
        *reply.mutable_mirror() = s.info;
        refreshMirror(*s.dm, *reply.mutable_mirror());
        for (const auto& a : s.attachments)
            for (int k = 0; k < a.second; ++k) reply.add_clients(s.clientNames[a.first]);
        reply.set_reserved(s.holder != nullptr);
        if (s.holder) reply.set_reserved_by(s.holder->name);
        reply.set_sequence(s.sequence);
        return success();
    });
}

Outcome SessionRegistry::reserve(const ClientPtr& caller, const SessionPtr& session, pb::ReserveReply& reply) {
    if (!caller) return malformed("Reserve needs the client id of a Connect stream (metadata mirrorkit-client-id)");
    return locked(session, [&](Session& s) {
        if (!s.attachments.count(caller->id))
            return refuse(ERR_DRIVER_NOT_OPEN, "(this client has not opened session '" + s.name + "')");
        if (s.holder && s.holder != caller) {
            reply.set_reserved_by(s.holder->name);
            return refuse(ERR_DRIVER_ALREADY_OPEN, "(session '" + s.name + "' is reserved by '" + s.holder->name + "')");
        }
        s.holder = caller;
        reply.set_reserved_by(caller->name);
        return success();
    });
}

Outcome SessionRegistry::release(const ClientPtr& caller, const SessionPtr& session) {
    if (!caller) return malformed("Release needs the client id of a Connect stream (metadata mirrorkit-client-id)");
    return locked(session, [&](Session& s) {
        if (s.holder != caller)
            return refuse(ERR_BADARG, "(this client holds no reservation of session '" + s.name + "')");
        s.holder.reset();
        return success();
    });
}

// ---- Frames and channels ---------------------------------------------------------------------------------------

Outcome SessionRegistry::writeChannel(const ClientPtr& caller, const SessionPtr& session, const std::string& name,
                                      Values& values, std::optional<double> gain, pb::FrameSource source,
                                      pb::FrameReply& reply) {
    const size_t count = static_cast<size_t>(values.size());
    if (name.size() > kMaxNameLength || !printable(name))
        return malformed("channel names have at most 64 printable characters");
    if (gain) {
        Outcome o = checkNumber(*gain, "gain");
        if (!o.ok()) return o;
    }
    Outcome o = checkValues(values.data(), count, "values");
    if (!o.ok()) return o;
    return locked(session, [&](Session& s) {
        Outcome w = s.checkWriter(caller);
        if (!w.ok()) return w;
        // No values is allowed only to change the gain of a channel.
        if (count != s.n && !(count == 0 && gain)) return checkCount(count, s.n, "values");
        Channel* c = s.channel(name);
        const bool created = c == nullptr;
        if (created) {
            if (count == 0) return refuse(ERR_BADARG, "(no channel '" + name + "' whose gain could change)");
            if (s.channels.size() >= kMaxChannels)
                return refuse(ERR_BADARG, "(a session has at most " + std::to_string(kMaxChannels) + " channels)");
            s.channels.push_back(Channel{name, 1.0, zeros(s.n), 0, {}});
            c = &s.channels.back();
        }
        const double oldGain = c->gain;
        if (gain) c->gain = *gain;
        // The caller's array takes the old values, and gives them back if the frame does not go out.
        if (count) c->values.Swap(&values);
        Outcome sent = s.sendSum(source, caller, reply);
        if (!sent.ok()) {
            if (created) {
                s.channels.pop_back();
            } else {
                c->gain = oldGain;
                if (count) c->values.Swap(&values);
            }
            return sent;
        }
        ++c->updates;
        c->lastWriter = caller->name;
        return sent;
    });
}

Outcome SessionRegistry::poke(const ClientPtr& caller, const SessionPtr& session, uint32_t actuator, double value,
                              pb::FrameReply& reply) {
    Outcome o = checkNumber(value, "value");
    if (!o.ok()) return o;
    return locked(session, [&](Session& s) {
        Outcome w = s.checkWriter(caller);
        if (!w.ok()) return w;
        if (actuator >= s.n)
            return refuse(ERR_ACTUATOR_ID, "(actuator " + std::to_string(actuator) + " of " + std::to_string(s.n) + ")");
        Channel& direct = s.channels.front();
        const double old = direct.values[actuator];
        if (!s.otherChannels()) {
            // Alone, the default channel is what the mirror shows: one actuator goes out as the kit pokes it.
            if (KRVRC rc = KRVSetSingle(s.dm.get(), actuator, value)) return refuse(rc, "(poking the actuator)");
            direct.values[actuator] = value;
            ++direct.updates;
            direct.lastWriter = caller->name;
            s.committed(pb::FRAME_SOURCE_POKE, saturationOf(actuator, value), caller, reply);
            return success();
        }
        direct.values[actuator] = value;
        Outcome sent = s.sendSum(pb::FRAME_SOURCE_POKE, caller, reply);
        if (!sent.ok()) {
            direct.values[actuator] = old;
            return sent;
        }
        ++direct.updates;
        direct.lastWriter = caller->name;
        return sent;
    });
}

Outcome SessionRegistry::read(const SessionPtr& session, pb::ReadReply& reply) {
    return locked(session, [&](Session& s) {
        auto* values = reply.mutable_values();
        values->Resize(static_cast<int>(s.n), 0.0);
        if (KRVRC rc = KRVGetArray(s.dm.get(), values->mutable_data(), s.n)) {
            values->Clear();
            return refuse(rc, "(reading the frame)");
        }
        reply.set_sequence(s.sequence);
        return success();
    });
}

Outcome SessionRegistry::clear(const ClientPtr& caller, const SessionPtr& session, pb::FrameReply& reply) {
    return locked(session, [&](Session& s) {
        Outcome w = s.checkWriter(caller);
        if (!w.ok()) return w;
        if (KRVRC rc = KRVClearArray(s.dm.get())) return refuse(rc, "(clearing the mirror)");
        for (auto& c : s.channels) std::fill(c.values.begin(), c.values.end(), 0.0);
        s.committed(pb::FRAME_SOURCE_CLEAR, Saturation{}, caller, reply);
        return success();
    });
}

Outcome SessionRegistry::clearChannel(const ClientPtr& caller, const SessionPtr& session, const std::string& name,
                                      pb::FrameReply& reply) {
    return locked(session, [&](Session& s) {
        Outcome w = s.checkWriter(caller);
        if (!w.ok()) return w;
        auto it = std::find_if(s.channels.begin(), s.channels.end(), [&](const Channel& c) { return c.name == name; });
        if (it == s.channels.end()) return refuse(ERR_BADARG, "(no channel '" + name + "')");
        if (it == s.channels.begin()) {
            Values saved = zeros(s.n);
            it->values.Swap(&saved);
            Outcome sent = s.sendSum(pb::FRAME_SOURCE_CHANNEL, caller, reply);
            if (!sent.ok()) s.channels.front().values.Swap(&saved);
            return sent;
        }
        Channel saved = std::move(*it);
        const auto at = it - s.channels.begin();
        s.channels.erase(it);
        Outcome sent = s.sendSum(pb::FRAME_SOURCE_CHANNEL, caller, reply);
        if (!sent.ok()) s.channels.insert(s.channels.begin() + at, std::move(saved));
        return sent;
    });
}

Outcome SessionRegistry::listChannels(const SessionPtr& session, bool withValues, pb::ListChannelsReply& reply) {
    return locked(session, [&](Session& s) {
        std::vector<const Channel*> order;
        for (const auto& c : s.channels) order.push_back(&c);
        std::sort(order.begin() + 1, order.end(), [](const Channel* a, const Channel* b) { return a->name < b->name; });
        for (const Channel* c : order) {
            auto* info = reply.add_channels();
            info->set_name(c->name);
            info->set_gain(c->gain);
            if (withValues) *info->mutable_values() = c->values;
            info->set_updates(c->updates);
            info->set_last_writer(c->lastWriter);
        }
        return success();
    });
}

// ---- Open loop -------------------------------------------------------------------------------------------------

namespace {

unsigned surfaceOptions(const pb::SurfaceRequest& r) {
    return (r.absolute() ? DM_SURFACE_ABSOLUTE_DEFLECTION : 0u) | (r.best_effort() ? DM_SURFACE_BEST_EFFORT : 0u);
}

// NaN marks points outside a phase map's valid region; infinities are never meant.
Outcome checkPhase(const pb::SurfaceRequest& r) {
    if (r.width() == 0 || r.height() == 0) return malformed("a phase map has at least one row and one column");
    if (static_cast<uint64_t>(r.width()) * r.height() != static_cast<uint64_t>(r.phase_size()))
        return malformed("phase: expected width x height = " +
                         std::to_string(static_cast<uint64_t>(r.width()) * r.height()) + " values, got " +
                         std::to_string(r.phase_size()));
    for (int i = 0; i < r.phase_size(); ++i)
        if (std::isinf(r.phase(i))) return malformed("phase[" + std::to_string(i) + "] is infinite");
    return success();
}

Outcome checkDiameter(const Session& s, uint32_t diameter) {
    if (diameter >= s.info.grid_width() && diameter != 0)
        return refuse(ERR_INVALID_ACTUATOR_COUNT, "(aperture diameter " + std::to_string(diameter) +
                                                      " on a grid " + std::to_string(s.info.grid_width()) + " wide)");
    return success();
}

}  // namespace

Outcome SessionRegistry::loadCalibration(const ClientPtr& caller, const SessionPtr& session,
                                         const pb::LoadCalibrationRequest& request) {
    switch (request.source_case()) {
    case pb::LoadCalibrationRequest::kName: {
        const std::string& name = request.name();
        if (name.empty() || name.size() > 255 || name == "." || name == ".." ||
            name.find('/') != std::string::npos || name.find('\0') != std::string::npos)
            return malformed("name must be the file name of a table in the server's calibration folder");
        return locked(session, [&](Session& s) {
            Outcome w = s.checkWriter(caller);
            if (!w.ok()) return w;
            const std::string path = std::string(s.dm->CalibrationsPath) + "/" + name;
            if (KRVRC rc = KRVLoadCalibrationFile(s.dm.get(), path.c_str()))
                return refuse(rc, "(loading calibration " + name + ")");
            refreshMirror(*s.dm, s.info);
            return success();
        });
    }
    case pb::LoadCalibrationRequest::kData:
        return locked(session, [&](Session& s) {
            Outcome w = s.checkWriter(caller);
            if (!w.ok()) return w;
            const char* base = std::getenv("TMPDIR");
            std::string pattern = std::string(base && *base ? base : "/tmp") + "/mirrorkit-table-XXXXXX.mat";
            std::vector<char> path(pattern.begin(), pattern.end());
            path.push_back('\0');
            const int fd = mkstemps(path.data(), 4);
            if (fd < 0) return refuse(ERR_FILE_PERMISSIONS, "(no temporary file for the table)");
            const std::string& data = request.data();
            size_t done = 0;
            while (done < data.size()) {
                const ssize_t k = ::write(fd, data.data() + done, data.size() - done);
                if (k <= 0) break;
                done += static_cast<size_t>(k);
            }
            ::close(fd);
            KRVRC rc = done == data.size() ? KRVLoadCalibrationFile(s.dm.get(), path.data()) : ERR_FILE_PERMISSIONS;
            ::unlink(path.data());
            if (rc) return refuse(rc, "(loading the calibration table sent)");
            refreshMirror(*s.dm, s.info);
            return success();
        });
    default:
        return malformed("LoadCalibration needs a file name or the table's data");
    }
}

Outcome SessionRegistry::calculateSurface(const SessionPtr& session, const pb::SurfaceRequest& request,
                                          pb::CalculateSurfaceReply& reply) {
    Outcome o = checkPhase(request);
    if (!o.ok()) return o;
    return locked(session, [&](Session& s) {
        Outcome d = checkDiameter(s, request.dm_diameter());
        if (!d.ok()) return d;
        std::vector<double> phase(request.phase().begin(), request.phase().end());
        const uint32_t w = s.info.grid_width();
        std::vector<double> commands(s.n, 0.0), low(static_cast<size_t>(w) * w, 0.0);
        KRVRC rc = KRVCalculateSurfaceEx(s.dm.get(), phase.data(), static_cast<int>(request.width()),
                                         static_cast<int>(request.height()), static_cast<int>(request.dm_diameter()),
                                         surfaceOptions(request), commands.data(), s.n, low.data(),
                                         static_cast<unsigned>(low.size()));
        if (rc) return refuse(rc, "(calculating the surface)");
        reply.mutable_commands()->Assign(commands.begin(), commands.end());
        reply.mutable_low_resolution()->Assign(low.begin(), low.end());
        return success();
    });
}

Outcome SessionRegistry::setSurface(const ClientPtr& caller, const SessionPtr& session,
                                    const pb::SurfaceRequest& request, pb::FrameReply& reply) {
    Outcome o = checkPhase(request);
    if (!o.ok()) return o;
    return locked(session, [&](Session& s) {
        Outcome w = s.checkWriter(caller);
        if (!w.ok()) return w;
        Outcome d = checkDiameter(s, request.dm_diameter());
        if (!d.ok()) return d;
        std::vector<double> phase(request.phase().begin(), request.phase().end());
        Channel& direct = s.channels.front();
        Values commands = zeros(s.n);
        KRVRC rc = KRVCalculateSurface(s.dm.get(), phase.data(), static_cast<int>(request.width()),
                                       static_cast<int>(request.height()), static_cast<int>(request.dm_diameter()),
                                       surfaceOptions(request), commands.mutable_data(), s.n);
        if (rc) return refuse(rc, "(calculating the surface)");
        direct.values.Swap(&commands);
        Outcome sent = s.sendSum(pb::FRAME_SOURCE_SURFACE, caller, reply);
        if (!sent.ok()) {
            direct.values.Swap(&commands);
            return sent;
        }
        ++direct.updates;
        direct.lastWriter = caller->name;
        return sent;
    });
}

Outcome SessionRegistry::zernikeSurface(const SessionPtr& session, const pb::ZernikeSurfaceRequest& request,
                                        pb::ZernikeSurfaceReply& reply) {
    for (int i = 0; i < request.coefficients_size(); ++i)
        if (!std::isfinite(request.coefficients(i)))
            return malformed("coefficients[" + std::to_string(i) + "] is not a finite number");
    return locked(session, [&](Session& s) {
        Outcome d = checkDiameter(s, request.dm_diameter());
        if (!d.ok()) return d;
        const uint32_t w = s.info.grid_width();
        const uint32_t diameter = request.dm_diameter() ? request.dm_diameter() : (w > 3 ? w - 3 : 0);
        const uint32_t side = request.aperture_only() ? diameter + 1 : w;
        std::vector<double> coefficients(request.coefficients().begin(), request.coefficients().end());
        std::vector<double> phase(static_cast<size_t>(side) * side, 0.0);
        KRVRC rc = KRVZernikeSurface(s.dm.get(), coefficients.empty() ? nullptr : coefficients.data(),
                                     static_cast<int>(coefficients.size()), static_cast<int>(request.dm_diameter()), 0,
                                     phase.data(), static_cast<unsigned>(phase.size()));
        if (rc) return refuse(rc, "(Zernike surface)");
        reply.mutable_phase()->Assign(phase.begin(), phase.end());
        reply.set_size(side);
        return success();
    });
}

Outcome SessionRegistry::setSegment(const ClientPtr& caller, const SessionPtr& session,
                                    const pb::SetSegmentRequest& request, pb::FrameReply& reply) {
    for (double v : {request.piston_nm(), request.x_tilt_rad(), request.y_tilt_rad()})
        if (!std::isfinite(v)) return malformed("piston and tilts must be finite");
    return locked(session, [&](Session& s) {
        Outcome w = s.checkWriter(caller);
        if (!w.ok()) return w;
        // A segment is set on the frame as applied; a sum of channels would undo it with the next frame.
        if (s.otherChannels())
            return refuse(ERR_NOT_IMPLEMENTED,
                          "(segments are set only while session '" + s.name + "' has no channel but the default one)");
        KRVRC rc = KRVSetSegment(s.dm.get(), request.segment(), request.piston_nm(), request.x_tilt_rad(),
                                 request.y_tilt_rad(), request.apply_offsets(), !request.defer());
        if (rc) return refuse(rc, "(setting segment " + std::to_string(request.segment()) + ")");
        Channel& direct = s.channels.front();
        KRVGetArray(s.dm.get(), direct.values.mutable_data(), s.n);
        ++direct.updates;
        direct.lastWriter = caller->name;
        if (!request.defer()) s.committed(pb::FRAME_SOURCE_SEGMENT, Saturation{}, caller, reply);
        return success();
    });
}

Outcome SessionRegistry::segmentRange(const SessionPtr& session, const pb::GetSegmentRangeRequest& request,
                                      pb::GetSegmentRangeReply& reply) {
    if (!pb::SegmentAxis_IsValid(request.axis()))
        return malformed("axis " + std::to_string(request.axis()) + " is not PISTON, X_TILT or Y_TILT");
    for (double v : {request.piston_nm(), request.x_tilt_rad(), request.y_tilt_rad()})
        if (!std::isfinite(v)) return malformed("piston and tilts must be finite");
    return locked(session, [&](Session& s) {
        double lo = 0.0, hi = 0.0;
        KRVRC rc = KRVGetSegmentRange(s.dm.get(), request.segment(), static_cast<DMSegmentAxis>(request.axis()),
                                      request.piston_nm(), request.x_tilt_rad(), request.y_tilt_rad(),
                                      request.apply_offsets(), &lo, &hi);
        if (rc) return refuse(rc, "(segment range)");
        reply.set_min(lo);
        reply.set_max(hi);
        return success();
    });
}

// ---- PCIe card features ----------------------------------------------------------------------------------------

Outcome SessionRegistry::configureSequence(const ClientPtr& caller, const SessionPtr& session,
                                           const pb::ConfigureSequenceRequest& request) {
    const uint64_t expected = static_cast<uint64_t>(request.frame_length()) * request.seq_length();
    if (expected != static_cast<uint64_t>(request.values_size()))
        return checkCount(static_cast<size_t>(request.values_size()), static_cast<size_t>(expected), "values");
    Outcome o = checkValues(request.values().data(), static_cast<size_t>(request.values_size()), "values");
    if (!o.ok()) return o;
    if (!std::isfinite(request.delay_s())) return malformed("delay_s must be finite");
    return locked(session, [&](Session& s) {
        Outcome w = s.checkWriter(caller);
        if (!w.ok()) return w;
        if (request.seq_length() == 0) return refuse(ERR_INVALID_SEQUENCE, "(a sequence has at least one frame)");
        if (KRVRC rc = KRVConfigureSequence(s.dm.get(), request.values().data(), request.delay_s(),
                                            request.frame_length(), request.seq_length()))
            return refuse(rc, "(configuring the sequence)");
        return success();
    });
}

Outcome SessionRegistry::enableSequence(const ClientPtr& caller, const SessionPtr& session, double rate, bool enable) {
    if (!std::isfinite(rate)) return malformed("frame_rate_hz must be finite");
    return locked(session, [&](Session& s) {
        Outcome w = s.checkWriter(caller);
        if (!w.ok()) return w;
        if (KRVRC rc = KRVEnableSequence(s.dm.get(), rate, enable)) return refuse(rc, "(sequencer)");
        return success();
    });
}

Outcome SessionRegistry::configureDither(const ClientPtr& caller, const SessionPtr& session,
                                         const pb::ConfigureDitherRequest& request) {
    Outcome o = checkValues(request.waveform().data(), static_cast<size_t>(request.waveform_size()), "waveform");
    if (!o.ok()) return o;
    o = checkValues(request.gains().data(), static_cast<size_t>(request.gains_size()), "gains");
    if (!o.ok()) return o;
    return locked(session, [&](Session& s) {
        Outcome w = s.checkWriter(caller);
        if (!w.ok()) return w;
        Outcome c = checkCount(static_cast<size_t>(request.gains_size()), s.n, "gains");
        if (!c.ok()) return c;
        const double none = 0.0;
        const double* waveform = request.waveform_size() ? request.waveform().data() : &none;
        if (KRVRC rc = KRVConfigureDither(s.dm.get(), waveform, static_cast<uint32_t>(request.waveform_size()),
                                          request.gains().data()))
            return refuse(rc, "(configuring the ditherer)");
        return success();
    });
}

Outcome SessionRegistry::enableDither(const ClientPtr& caller, const SessionPtr& session, double rate, bool enable) {
    if (!std::isfinite(rate)) return malformed("frame_rate_hz must be finite");
    return locked(session, [&](Session& s) {
        Outcome w = s.checkWriter(caller);
        if (!w.ok()) return w;
        if (KRVRC rc = KRVEnableDither(s.dm.get(), rate, enable)) return refuse(rc, "(ditherer)");
        return success();
    });
}

Outcome SessionRegistry::enableHighRes(const ClientPtr& caller, const SessionPtr& session, bool enable) {
    return locked(session, [&](Session& s) {
        Outcome w = s.checkWriter(caller);
        if (!w.ok()) return w;
        if (s.dm->DriverType != KRV_PCIE) return refuse(ERR_NOT_IMPLEMENTED, "(high-resolution mode is a PCIe feature)");
        if (KRVRC rc = KRV_PCIeEnableHighRes(s.dm.get(), enable ? 1 : 0)) return refuse(rc, "(high-resolution mode)");
        return success();
    });
}

// ---- Watchers and shutdown -------------------------------------------------------------------------------------

Outcome SessionRegistry::watch(const SessionPtr& session, const std::shared_ptr<FrameWatcher>& watcher) {
    return locked(session, [&](Session& s) {
        auto record = std::make_shared<FrameRecord>();
        record->sequence = s.sequence;
        record->timeUnixNs = nowUnixNs();
        record->values.resize(s.n);
        if (KRVRC rc = KRVGetArray(s.dm.get(), record->values.data(), s.n)) return refuse(rc, "(reading the frame)");
        record->source = pb::FRAME_SOURCE_CURRENT;
        watcher->deliver(record);
        s.watchers.push_back(watcher);
        return success();
    });
}

void SessionRegistry::unwatch(const SessionPtr& session, const FrameWatcher* watcher) {
    std::lock_guard<std::mutex> lock(session->mutex);
    auto& list = session->watchers;
    list.erase(std::remove_if(list.begin(), list.end(), [&](const auto& w) { return w.get() == watcher; }),
               list.end());
}

void SessionRegistry::shutdown() {
    std::vector<SessionPtr> sessions;
    std::vector<ClientPtr> clients;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (shuttingDown_ && sessions_.empty()) return;
        shuttingDown_ = true;
        for (auto& s : sessions_) sessions.push_back(s.second);
        for (auto& c : clients_) clients.push_back(c.second);
    }
    for (auto& c : clients)
        if (auto link = c->link.lock()) link->shutdownNotice();
    for (auto& s : sessions) {
        std::lock_guard<std::mutex> lock(s->mutex);
        if (!s->closed) closeMirror(*s);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    sessions_.clear();
    serials_.clear();
}

}  // namespace MirrorKit::Server
