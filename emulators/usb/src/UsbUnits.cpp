// Emulated USB drive units: umockdev devices whose usbdevfs ioctls are answered here, as the unit's firmware would.
#include "krv/emu/UsbUnits.h"

#include <fcntl.h>
#include <ftw.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>

namespace MirrorKit::emu {

namespace {

constexpr uint8_t kReqIdentify = 0xF0;
constexpr uint8_t kReqEeprom = 0xF2;
constexpr uint8_t kReqStatus = 0xF4;
constexpr uint8_t kReqControl = 0xF5;
constexpr uint8_t kReqExtEeprom = 0xF6;
constexpr size_t kEepromChunk = 64;

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Everything below is shared between the test threads and umockdev's single ioctl worker. The worker runs until
// the process ends, after the static destructors: what it touches is made once and never destroyed.
std::mutex& gMutex = *new std::mutex;
std::condition_variable& gChanged = *new std::condition_variable;

// One URB of one client.
struct Urb {
    UMockdevIoctlClient* client = nullptr;
    UMockdevIoctlData* data = nullptr;
};

struct Unit {
    UsbUnitConfig config;
    std::vector<uint8_t> eeprom;
    uint16_t statusWord = 0;
    bool plugged = false;
    int bus = 0, port = 0, devnum = 0;
    std::string sysfsPath;  // "/sys/devices/usbB/B-P"
    std::string nodePath;   // "/dev/bus/usb/BBB/DDD"
    UMockdevIoctlBase* handler = nullptr;
    // The device node is a FIFO: libusb polls it for POLLOUT, which the emulator grants only while an URB is
    // ready to reap (the pipe is one page long, so one byte in it makes it full and silences the poll).
    int fifo = -1;
    bool fifoReady = false;
    // Every open of the device node is a client of its own (as every usbfs file is): each client reaps only its
    // own URBs, and the interface is claimed by one client at a time.
    std::deque<Urb> done;  // completed URBs, reaped in order by their clients
    std::vector<Urb> held;  // bulk URBs kept in flight
    UMockdevIoctlClient* claimant = nullptr;
    size_t resets = 0;
    std::vector<std::vector<uint8_t>> bulk;
    std::vector<ControlRecord> control;
    std::set<uint8_t> failing;
    bool failBulk = false;
    bool holdBulk = false;
};

// Units outlive their beds: umockdev's worker may still hold a unit's address when a bed goes away.
std::vector<Unit*>& graveyard() {
    static auto* units = new std::vector<Unit*>();
    return *units;
}

struct Testbed {
    UMockdevTestbed* bed = nullptr;
    bool available = false;
    int nextIndex = 0;
};

std::string& testbedRoot() {
    static auto* root = new std::string();
    return *root;
}

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

void removeTestbedTree() {
    const std::string& root = testbedRoot();
    if (root.size() > 1) nftw(root.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

Testbed& testbed() {
    static Testbed t;
    static std::once_flag once;
    std::call_once(once, [] {
        t.bed = umockdev_testbed_new();
        // Asked only once a testbed exists: the answer is cached on first use.
        t.available = t.bed != nullptr && umockdev_in_mock_environment();
        if (t.bed != nullptr) {
            gchar* root = umockdev_testbed_get_root_dir(t.bed);
            testbedRoot() = root;
            g_free(root);
            // The testbed object is never finalised (libusb contexts of the process may outlive every bed), so
            // its temporary tree is removed at exit instead.
            std::atexit(removeTestbedTree);
        }
    });
    return t;
}

void setReady(Unit& u) {
    bool want = !u.done.empty();
    if (u.fifo < 0 || want == u.fifoReady) return;
    char byte = 0;
    if (want) {
        while (read(u.fifo, &byte, 1) == 1) {
        }
    } else {
        (void)!write(u.fifo, &byte, 1);
    }
    u.fifoReady = want;
}

void appendLe16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(uint8_t(x));
    v.push_back(uint8_t(x >> 8));
}

std::vector<uint8_t> deviceDescriptor(const UsbUnitConfig& c) {
    std::vector<uint8_t> d = {18, 1, 0x00, 0x02, 0xFF, 0x00, 0x00, 64};
    appendLe16(d, c.vendorId);
    appendLe16(d, c.productId);
    appendLe16(d, 0x0100);
    d.insert(d.end(), {0, 2, 0, 1});  // no manufacturer, product string 2, no serial, one configuration
    return d;
}

std::vector<uint8_t> configDescriptor(const UsbUnitConfig& c) {
    std::vector<uint8_t> d = {9, 2, 0, 0, 1, 1, 0, 0x80, 50};
    d.insert(d.end(), {9, 4, 0, 0, c.endpointCount, 0xFF, 0x00, 0x00, 0});
    for (uint8_t i = 0; i < c.endpointCount; ++i) {
        // The first endpoint is the configured one; any further ones are bulk IN, making the shape wrong.
        uint8_t address = i == 0 ? c.endpointAddress : uint8_t(0x80 | (i + 1));
        uint8_t attributes = i == 0 ? c.endpointAttributes : 0x02;
        d.insert(d.end(), {7, 5, address, attributes, 0x00, 0x02, 0});
    }
    d[2] = uint8_t(d.size());
    d[3] = uint8_t(d.size() >> 8);
    return d;
}

std::vector<uint8_t> stringDescriptor(const UsbUnitConfig& c, uint8_t index) {
    if (index == 0) return {4, 3, 0x09, 0x04};
    if (index != 2) return {};
    std::vector<uint8_t> d = {0, 3};
    for (char ch : c.product.substr(0, 126)) appendLe16(d, uint8_t(ch));
    d[0] = uint8_t(d.size());
    return d;
}

// Answers one control request; returns the URB status (0 or -EPIPE). reply receives the IN data.
int controlRequest(Unit& u, const uint8_t* setup, const uint8_t* out, std::vector<uint8_t>& reply) {
    const uint8_t type = setup[0], request = setup[1];
    const uint16_t value = uint16_t(setup[2] | setup[3] << 8);
    const uint16_t index = uint16_t(setup[4] | setup[5] << 8);
    const uint16_t length = uint16_t(setup[6] | setup[7] << 8);
    const bool in = (type & 0x80) != 0;

    ControlRecord record;
    record.requestType = type;
    record.request = request;
    record.value = value;
    record.index = index;
    record.length = length;
    if (!in && out != nullptr) record.data.assign(out, out + length);
    record.timeNs = nowNs();
    u.control.push_back(std::move(record));
    gChanged.notify_all();

    if ((type & 0x60) == 0x00) {  // standard
        if (request == 6 && in) {
            switch (value >> 8) {
            case 1: reply = deviceDescriptor(u.config); break;
            case 2: reply = configDescriptor(u.config); break;
            case 3: reply = stringDescriptor(u.config, uint8_t(value)); break;
            default: return -EPIPE;
            }
            if (reply.empty()) return -EPIPE;
            if (reply.size() > length) reply.resize(length);
            return 0;
        }
        if (request == 9 || request == 11 || request == 1 || request == 3) return 0;  // configuration, interface, features
        return -EPIPE;
    }
    if ((type & 0x60) != 0x40) return -EPIPE;  // only vendor requests beyond the standard ones
    if (u.failing.count(request)) return -EPIPE;
    switch (request) {
    case kReqIdentify: {
        if (!in) return -EPIPE;
        static const char id[] = "MK drive unit fw 1.4";
        reply.assign(22, 0);
        std::memcpy(reply.data(), id, std::min(sizeof id, reply.size()));
        break;
    }
    case kReqEeprom:
        if (length > kEepromChunk || size_t(index) + length > kUnitEepromSize) return -EPIPE;
        if (in)
            reply.assign(u.eeprom.begin() + index, u.eeprom.begin() + index + length);
        else if (length > 0)
            std::memcpy(u.eeprom.data() + index, out, length);
        return 0;
    case kReqStatus:
        if (!in) return -EPIPE;
        reply = {uint8_t(u.statusWord), uint8_t(u.statusWord >> 8)};
        break;
    case kReqControl:
        if (in || length != 0) return -EPIPE;
        return 0;
    case kReqExtEeprom:
        if (!in) return -EPIPE;
        reply.assign(u.config.externalEeprom.begin(), u.config.externalEeprom.end());
        break;
    default: return -EPIPE;
    }
    if (reply.size() > length) reply.resize(length);
    return 0;
}

void finishUrb(Unit& u, Urb held, int status, int actual) {
    auto* urb = reinterpret_cast<usbdevfs_urb*>(held.data->data);
    urb->status = status;
    urb->actual_length = actual;
    u.done.push_back(held);
}

void completeBulk(Unit& u, Urb held) {
    auto* urb = reinterpret_cast<usbdevfs_urb*>(held.data->data);
    const uint8_t* data = static_cast<const uint8_t*>(urb->buffer);
    u.bulk.emplace_back(data, data + urb->buffer_length);
    gChanged.notify_all();
    finishUrb(u, held, 0, urb->buffer_length);
}

// A client that went away (its process ended, killed or not, or it closed the node) leaves nothing behind, as a
// closed usbfs file does: its URBs are dropped and its claim ends. umockdev tells of new clients but never of
// clients that went away: it emits no "client-vanished", does not notify when it closes a client's stream, and a
// client killed in the middle of a request is simply dropped with its stream left open. So every client is
// referenced from its connection on and looked at again before each request the units answer and every few
// milliseconds on umockdev's worker; one that umockdev no longer serves (its stream closed, or no reference left
// but ours) is then forgotten. The reference also keeps the client's address, which the records compare, from
// going to a new client while records of the old one remain. (When the last reference to a client killed in the
// middle of a request goes, umockdev says "Destroying IoctlClient with open stream": that client is gone and its
// stream goes with it.)
struct Client {
    UMockdevIoctlClient* client;
    Unit* unit;
};
std::vector<Client>& gClients = *new std::vector<Client>;  // under gMutex; never destroyed, as above
GSource* gClientWatch = nullptr;   // the periodic look, while there are clients; under gMutex
constexpr unsigned kClientWatchMs = 10;

void forgetClient(Unit& u, UMockdevIoctlClient* client) {
    auto drop = [&](auto& urbs) {
        auto mine =
            std::stable_partition(urbs.begin(), urbs.end(), [&](const Urb& urb) { return urb.client != client; });
        for (auto it = mine; it != urbs.end(); ++it) umockdev_ioctl_data_unref(it->data);
        urbs.erase(mine, urbs.end());
    };
    drop(u.done);
    drop(u.held);
    if (u.claimant == client) u.claimant = nullptr;
    setReady(u);
}

// On umockdev's worker, with gMutex held. The references are dropped after the lock is let go.
std::vector<UMockdevIoctlClient*> takeGoneClients() {
    std::vector<UMockdevIoctlClient*> gone;
    auto alive = std::stable_partition(gClients.begin(), gClients.end(), [](const Client& c) {
        // While umockdev serves a client, a read of its next request or the answer to its last one holds it.
        const bool served = g_atomic_int_get(&G_OBJECT(c.client)->ref_count) > 1;
        return served && umockdev_ioctl_client_get_connected(c.client);
    });
    for (auto it = alive; it != gClients.end(); ++it) {
        forgetClient(*it->unit, it->client);
        gone.push_back(it->client);
    }
    gClients.erase(alive, gClients.end());
    return gone;
}

void unrefAll(const std::vector<UMockdevIoctlClient*>& clients) {
    for (UMockdevIoctlClient* c : clients) g_object_unref(c);
}

gboolean watchClients(gpointer) {
    std::vector<UMockdevIoctlClient*> gone;
    bool more;
    {
        std::lock_guard<std::mutex> lock(gMutex);
        gone = takeGoneClients();
        more = !gClients.empty();
        if (!more) {
            g_source_unref(gClientWatch);
            gClientWatch = nullptr;
        }
    }
    unrefAll(gone);
    return more ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

void clientConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer userData) {
    std::lock_guard<std::mutex> lock(gMutex);
    gClients.push_back({static_cast<UMockdevIoctlClient*>(g_object_ref(client)), static_cast<Unit*>(userData)});
    if (gClientWatch != nullptr) return;
    // Signals come on umockdev's worker, whose own main context is the thread's default one there.
    GMainContext* context = g_main_context_ref_thread_default();
    gClientWatch = g_timeout_source_new(kClientWatchMs);
    g_source_set_callback(gClientWatch, watchClients, nullptr, nullptr);
    g_source_attach(gClientWatch, context);
    g_main_context_unref(context);
}

// Claims the unit's interface for a client, as usbfs does: refused while another client holds it.
bool claimFor(Unit& u, UMockdevIoctlClient* client) {
    if (u.claimant != nullptr && u.claimant != client) return false;
    u.claimant = client;
    return true;
}

gboolean handleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer userData) {
    Unit& u = *static_cast<Unit*>(userData);
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    std::vector<UMockdevIoctlClient*> gone;
    struct Unref {
        std::vector<UMockdevIoctlClient*>& clients;
        ~Unref() { unrefAll(clients); }
    } unref{gone};  // after the lock below is let go
    std::lock_guard<std::mutex> lock(gMutex);
    // Whatever a client that went away left is gone before anybody else's request is answered.
    gone = takeGoneClients();

    if (!u.plugged && request != USBDEVFS_REAPURBNDELAY && request != USBDEVFS_REAPURB &&
        request != USBDEVFS_DISCARDURB) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }

    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), nullptr);
        if (d == nullptr) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return TRUE;
        }
        uint32_t caps = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                        USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_ZERO_PACKET;
        std::memcpy(d->data, &caps, sizeof caps);
        umockdev_ioctl_data_unref(d);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_DISCONNECT_CLAIM:
        if (claimFor(u, client))
            umockdev_ioctl_client_complete(client, 0, 0);
        else
            umockdev_ioctl_client_complete(client, -1, EBUSY);
        return TRUE;
    case USBDEVFS_RELEASEINTERFACE:
        if (u.claimant == client) {
            u.claimant = nullptr;
            umockdev_ioctl_client_complete(client, 0, 0);
        } else {
            umockdev_ioctl_client_complete(client, -1, EINVAL);
        }
        return TRUE;
    case USBDEVFS_RESET:
        ++u.resets;
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP:
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    case USBDEVFS_GETDRIVER:
    case USBDEVFS_IOCTL:
        umockdev_ioctl_client_complete(client, -1, ENODATA);
        return TRUE;

    case USBDEVFS_SUBMITURB: {
        // A client that vanished mid-request leaves nothing to resolve: the request fails, nothing is kept.
        UMockdevIoctlData* urbData = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
        if (urbData == nullptr) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return TRUE;
        }
        auto* urb = reinterpret_cast<usbdevfs_urb*>(urbData->data);
        if (urb->buffer_length < 0) {
            umockdev_ioctl_data_unref(urbData);
            umockdev_ioctl_client_complete(client, -1, EINVAL);
            return TRUE;
        }
        UMockdevIoctlData* buffer =
            umockdev_ioctl_data_resolve(urbData, offsetof(usbdevfs_urb, buffer), size_t(urb->buffer_length), nullptr);
        if (buffer == nullptr) {
            umockdev_ioctl_data_unref(urbData);
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return TRUE;
        }
        umockdev_ioctl_data_unref(buffer);  // the URB keeps its buffer alive
        // Bulk transfers need the interface: usbfs claims it for the client, or refuses while another holds it.
        const bool bulk = urb->type == USBDEVFS_URB_TYPE_BULK;
        if (bulk && !claimFor(u, client)) {
            umockdev_ioctl_data_unref(urbData);
            umockdev_ioctl_client_complete(client, -1, EBUSY);
            return TRUE;
        }
        const Urb mine{client, urbData};
        // The reference taken by resolve stays with the URB until it is reaped.
        if (urb->type == USBDEVFS_URB_TYPE_CONTROL && urb->buffer_length >= 8) {
            auto* bytes = static_cast<uint8_t*>(urb->buffer);
            const uint16_t length = uint16_t(bytes[6] | bytes[7] << 8);
            std::vector<uint8_t> reply;
            int status = size_t(urb->buffer_length) < 8u + length ? -EINVAL
                                                                   : controlRequest(u, bytes, bytes + 8, reply);
            if (status == 0 && (bytes[0] & 0x80)) std::memcpy(bytes + 8, reply.data(), reply.size());
            int actual = status != 0 ? 0 : (bytes[0] & 0x80) ? int(reply.size()) : int(length);
            finishUrb(u, mine, status, actual);
        } else if (bulk && urb->endpoint == u.config.endpointAddress && !(urb->endpoint & 0x80)) {
            if (u.failBulk)
                finishUrb(u, mine, -EPIPE, 0);
            else if (u.holdBulk)
                u.held.push_back(mine);
            else
                completeBulk(u, mine);
        } else {
            finishUrb(u, mine, -EPIPE, 0);
        }
        setReady(u);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }

    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: {
        auto next = std::find_if(u.done.begin(), u.done.end(), [&](const Urb& urb) { return urb.client == client; });
        if (next == u.done.end()) {
            umockdev_ioctl_client_complete(client, -1, u.plugged ? EAGAIN : ENODEV);
            return TRUE;
        }
        UMockdevIoctlData* ptr = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
        if (ptr == nullptr) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return TRUE;
        }
        UMockdevIoctlData* urbData = next->data;
        u.done.erase(next);
        umockdev_ioctl_data_set_ptr(ptr, 0, urbData);
        umockdev_ioctl_data_unref(ptr);
        umockdev_ioctl_data_unref(urbData);
        setReady(u);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }

    case USBDEVFS_DISCARDURB: {
        // The argument is the URB's address in the client.
        gulong address = 0;
        std::memcpy(&address, arg->data, std::min<size_t>(sizeof address, size_t(arg->data_len)));
        auto it = std::find_if(u.held.begin(), u.held.end(),
                               [&](const Urb& urb) { return urb.client == client && urb.data->client_addr == address; });
        if (it == u.held.end()) {
            umockdev_ioctl_client_complete(client, -1, EINVAL);
            return TRUE;
        }
        const Urb urbData = *it;
        u.held.erase(it);
        finishUrb(u, urbData, -ENOENT, 0);
        setReady(u);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }

    default:
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return TRUE;
    }
}

std::string hex(const std::vector<uint8_t>& bytes) {
    std::string s;
    char b[3];
    for (uint8_t x : bytes) {
        std::snprintf(b, sizeof b, "%02x", x);
        s += b;
    }
    return s;
}

// Adds the unit's device to the testbed at a fresh address. Called without gMutex.
bool plug(Unit& u) {
    Testbed& t = testbed();
    int k;
    {
        std::lock_guard<std::mutex> lock(gMutex);
        k = t.nextIndex++;
    }
    // Bus, then port, grow with every unit ever added, so enumeration order is the order of plugging.
    u.bus = 1 + k / 100;
    u.port = 1 + k % 100;
    u.devnum = 2 + k % 100;
    char node[64], sys[64];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", u.bus, u.devnum);
    std::snprintf(sys, sizeof sys, "/sys/devices/usb%d/%d-%d", u.bus, u.bus, u.port);
    u.nodePath = node;
    u.sysfsPath = sys;

    u.handler = umockdev_ioctl_base_new();
    g_signal_connect(u.handler, "handle-ioctl", G_CALLBACK(handleIoctl), &u);
    g_signal_connect(u.handler, "client-connected", G_CALLBACK(clientConnected), &u);
    if (!umockdev_testbed_attach_ioctl(t.bed, node, u.handler, nullptr)) return false;

    std::vector<uint8_t> descriptors = deviceDescriptor(u.config);
    std::vector<uint8_t> config = configDescriptor(u.config);
    descriptors.insert(descriptors.end(), config.begin(), config.end());
    char vidpid[64];
    std::snprintf(vidpid, sizeof vidpid, "%x/%x/100", u.config.vendorId, u.config.productId);
    std::string text;
    text += "P: /devices/usb" + std::to_string(u.bus) + "/" + std::to_string(u.bus) + "-" + std::to_string(u.port) + "\n";
    text += std::string("N: ") + (node + 5) + "\n";
    text += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n";
    text += std::string("E: DEVNAME=") + node + "\n";
    char num[16];
    std::snprintf(num, sizeof num, "%03d", u.bus);
    text += std::string("E: BUSNUM=") + num + "\n";
    std::snprintf(num, sizeof num, "%03d", u.devnum);
    text += std::string("E: DEVNUM=") + num + "\n";
    text += std::string("E: PRODUCT=") + vidpid + "\n";
    text += "A: busnum=" + std::to_string(u.bus) + "\\n\n";
    text += "A: devnum=" + std::to_string(u.devnum) + "\\n\n";
    text += "A: bConfigurationValue=1\\n\nA: speed=480\\n\n";
    char ids[32];
    std::snprintf(ids, sizeof ids, "%04x", u.config.vendorId);
    text += std::string("A: idVendor=") + ids + "\\n\n";
    std::snprintf(ids, sizeof ids, "%04x", u.config.productId);
    text += std::string("A: idProduct=") + ids + "\\n\n";
    text += "H: descriptors=" + hex(descriptors) + "\n";

    // The node must be a FIFO before anybody opens it; the add uevent only makes libusb read sysfs.
    if (!umockdev_testbed_add_from_string(t.bed, text.c_str(), nullptr)) return false;
    gchar* root = umockdev_testbed_get_root_dir(t.bed);
    std::string fsNode = std::string(root) + node;
    g_free(root);
    unlink(fsNode.c_str());
    if (mkfifo(fsNode.c_str(), 0666) != 0) return false;
    int fd = open(fsNode.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    fcntl(fd, F_SETPIPE_SZ, 4096);
    std::lock_guard<std::mutex> lock(gMutex);
    u.fifo = fd;
    u.fifoReady = true;
    setReady(u);
    u.plugged = true;
    return true;
}

}  // namespace

struct UsbUnitBed::Impl {
    std::vector<Unit*> units;
    Unit* unit(int id) const {
        if (id < 0 || size_t(id) >= units.size()) return nullptr;
        return units[size_t(id)];
    }
};

UsbUnitBed::UsbUnitBed() : impl_(new Impl) { testbed(); }

UsbUnitBed::~UsbUnitBed() {
    for (size_t i = 0; i < impl_->units.size(); ++i) unplug(int(i));
}

bool UsbUnitBed::available() const { return testbed().available; }

std::array<uint8_t, kSerialBlockSize> UsbUnitBed::serialBlock(const std::string& serial, bool pico) {
    std::array<uint8_t, kSerialBlockSize> block{};
    std::memcpy(block.data() + 2, pico ? "DXPICO" : "DXPOLY", 6);
    for (size_t i = 0; i < serial.size() && i < 11; ++i) {
        // 16-bit little-endian code units, the byte sign-extended.
        int16_t unit = int16_t(static_cast<signed char>(serial[i]));
        block[16 + 2 * i] = uint8_t(unit);
        block[17 + 2 * i] = uint8_t(uint16_t(unit) >> 8);
    }
    return block;
}

int UsbUnitBed::addUnit(const UsbUnitConfig& config) {
    if (!available()) return -1;
    auto* u = new Unit;
    {
        std::lock_guard<std::mutex> lock(gMutex);
        graveyard().push_back(u);
    }
    u->config = config;
    u->eeprom.assign(kUnitEepromSize, 0xFF);
    std::copy_n(config.eeprom.begin(), std::min(config.eeprom.size(), kUnitEepromSize), u->eeprom.begin());
    if (!config.serialNumber.empty()) {
        auto block = serialBlock(config.serialNumber, config.pico);
        std::copy(block.begin(), block.end(), u->eeprom.begin() + kSerialBlockAddress);
    }
    u->statusWord = config.statusWord;
    if (!plug(*u)) return -1;
    impl_->units.push_back(u);
    return int(impl_->units.size() - 1);
}

void UsbUnitBed::unplug(int id) {
    Unit* u = impl_->unit(id);
    if (u == nullptr) return;
    {
        std::lock_guard<std::mutex> lock(gMutex);
        if (!u->plugged) return;
        u->plugged = false;
        for (const Urb& d : u->held) finishUrb(*u, d, -ESHUTDOWN, 0);
        u->held.clear();
        setReady(*u);
    }
    Testbed& t = testbed();
    umockdev_testbed_uevent(t.bed, u->sysfsPath.c_str(), "remove");
    umockdev_testbed_remove_device(t.bed, u->sysfsPath.c_str());
    // The testbed removes only nodes it made itself; handles still open keep the FIFO alive.
    unlink((testbedRoot() + u->nodePath).c_str());
}

bool UsbUnitBed::replug(int id) {
    Unit* u = impl_->unit(id);
    if (u == nullptr) return false;
    {
        std::lock_guard<std::mutex> lock(gMutex);
        if (u->plugged) return true;
    }
    // The old node and its handler stay behind for handles still open on them; the unit comes back as a new
    // device whose state is shared with the old one. The records move over: the old device, unplugged, adds none,
    // and copies left behind in the graveyard would make a long run's memory grow with every replug.
    auto* fresh = new Unit;
    {
        std::lock_guard<std::mutex> lock(gMutex);
        graveyard().push_back(fresh);
        fresh->config = u->config;
        fresh->eeprom = u->eeprom;
        fresh->statusWord = u->statusWord;
        fresh->bulk = std::move(u->bulk);
        fresh->control = std::move(u->control);
        fresh->failing = u->failing;
        fresh->failBulk = u->failBulk;
        fresh->holdBulk = u->holdBulk;
    }
    if (!plug(*fresh)) {
        std::lock_guard<std::mutex> lock(gMutex);
        u->bulk = std::move(fresh->bulk);
        u->control = std::move(fresh->control);
        return false;
    }
    impl_->units[size_t(id)] = fresh;
    return true;
}

bool UsbUnitBed::plugged(int id) const {
    Unit* u = impl_->unit(id);
    std::lock_guard<std::mutex> lock(gMutex);
    return u != nullptr && u->plugged;
}

std::vector<std::vector<uint8_t>> UsbUnitBed::bulkTransfers(int id) const {
    Unit* u = impl_->unit(id);
    std::lock_guard<std::mutex> lock(gMutex);
    return u ? u->bulk : std::vector<std::vector<uint8_t>>();
}

size_t UsbUnitBed::bulkCount(int id) const {
    Unit* u = impl_->unit(id);
    std::lock_guard<std::mutex> lock(gMutex);
    return u ? u->bulk.size() : 0;
}

bool UsbUnitBed::waitBulkCount(int id, size_t count, int timeoutMs) const {
    Unit* u = impl_->unit(id);
    if (u == nullptr) return false;
    std::unique_lock<std::mutex> lock(gMutex);
    return gChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return u->bulk.size() >= count; });
}

std::vector<ControlRecord> UsbUnitBed::controlTransfers(int id) const {
    Unit* u = impl_->unit(id);
    std::lock_guard<std::mutex> lock(gMutex);
    return u ? u->control : std::vector<ControlRecord>();
}

std::vector<ControlRecord> UsbUnitBed::vendorRequests(int id) const {
    std::vector<ControlRecord> all = controlTransfers(id), vendor;
    for (auto& r : all)
        if ((r.requestType & 0x60) == 0x40) vendor.push_back(std::move(r));
    return vendor;
}

std::vector<uint16_t> UsbUnitBed::controlLines(int id) const {
    std::vector<uint16_t> lines;
    for (const auto& r : vendorRequests(id))
        if (r.request == kReqControl) lines.push_back(r.index);
    return lines;
}

void UsbUnitBed::clearRecords(int id) {
    Unit* u = impl_->unit(id);
    std::lock_guard<std::mutex> lock(gMutex);
    if (u == nullptr) return;
    u->bulk.clear();
    u->control.clear();
}

std::vector<uint8_t> UsbUnitBed::eeprom(int id) const {
    Unit* u = impl_->unit(id);
    std::lock_guard<std::mutex> lock(gMutex);
    return u ? u->eeprom : std::vector<uint8_t>();
}

void UsbUnitBed::writeEeprom(int id, uint16_t address, const std::vector<uint8_t>& bytes) {
    Unit* u = impl_->unit(id);
    std::lock_guard<std::mutex> lock(gMutex);
    if (u == nullptr) return;
    for (size_t i = 0; i < bytes.size() && address + i < kUnitEepromSize; ++i) u->eeprom[address + i] = bytes[i];
}

void UsbUnitBed::setStatusWord(int id, uint16_t word) {
    Unit* u = impl_->unit(id);
    std::lock_guard<std::mutex> lock(gMutex);
    if (u) u->statusWord = word;
}

void UsbUnitBed::failRequest(int id, uint8_t request, bool fail) {
    Unit* u = impl_->unit(id);
    std::lock_guard<std::mutex> lock(gMutex);
    if (u == nullptr) return;
    if (fail)
        u->failing.insert(request);
    else
        u->failing.erase(request);
}

void UsbUnitBed::failBulk(int id, bool fail) {
    Unit* u = impl_->unit(id);
    std::lock_guard<std::mutex> lock(gMutex);
    if (u) u->failBulk = fail;
}

void UsbUnitBed::holdBulk(int id, bool hold) {
    Unit* u = impl_->unit(id);
    std::lock_guard<std::mutex> lock(gMutex);
    if (u == nullptr) return;
    u->holdBulk = hold;
    if (!hold) {
        for (const Urb& d : u->held) completeBulk(*u, d);
        u->held.clear();
        setReady(*u);
    }
}

size_t UsbUnitBed::bulkInFlight(int id) const {
    Unit* u = impl_->unit(id);
    std::lock_guard<std::mutex> lock(gMutex);
    return u ? u->held.size() : 0;
}

size_t UsbUnitBed::resetCount(int id) const {
    Unit* u = impl_->unit(id);
    std::lock_guard<std::mutex> lock(gMutex);
    return u ? u->resets : 0;
}

bool UsbUnitBed::claimed(int id) const {
    Unit* u = impl_->unit(id);
    std::lock_guard<std::mutex> lock(gMutex);
    return u != nullptr && u->claimant != nullptr;
}

std::vector<std::vector<uint8_t>> UsbUnitBed::takeBulkTransfers(int id) {
    Unit* u = impl_->unit(id);
    std::lock_guard<std::mutex> lock(gMutex);
    std::vector<std::vector<uint8_t>> out;
    if (u != nullptr) out.swap(u->bulk);
    return out;
}

}  // namespace MirrorKit::emu
