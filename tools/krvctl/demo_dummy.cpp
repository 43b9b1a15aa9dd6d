// Demo step for the dummy driver: a 140-actuator and a 952-actuator mirror driven without hardware.
#include "demo.h"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <memory>
#include <sstream>

namespace krvctl {
namespace {

struct DemoMirror {
    std::string serial;    // 11 characters, as the kit requires
    std::string shape;
    uint32_t count;        // actuators the mask must hold
    uint32_t width;        // actuators across
    std::vector<bool> mask;  // width x width, row-major, true where an actuator sits
    uint32_t layout;       // layout the kit's model table gives this count
    uint32_t maxv;
    uint32_t vlim;
    uint32_t inactive;     // the one actuator the profile marks inactive
    uint32_t poke;         // an active actuator to poke
};

std::vector<bool> squareWithoutCorners(uint32_t width) {
    std::vector<bool> mask(width * width, true);
    const uint32_t last = width - 1;
    for (uint32_t corner : {0u, last, last * width, last * width + last}) mask[corner] = false;
    return mask;
}

std::vector<bool> disc(uint32_t width, double radiusSquared) {
    std::vector<bool> mask(width * width, false);
    const double centre = (width - 1) / 2.0;
    for (uint32_t r = 0; r < width; ++r)
        for (uint32_t c = 0; c < width; ++c)
            mask[r * width + c] = (r - centre) * (r - centre) + (c - centre) * (c - centre) <= radiusSquared;
    return mask;
}

// Actuators are numbered row by row across the mask; the drive channels run column by column, as on a board
// wired along the columns. Entry i is the channel of actuator i, so the map is a permutation, not the
// identity, and a map that was not read back in full shows.
std::vector<uint32_t> columnWiredMap(const std::vector<bool>& mask, uint32_t width) {
    std::vector<uint32_t> actuatorOfCell(mask.size(), 0);
    uint32_t actuator = 0;
    for (uint32_t cell = 0; cell < mask.size(); ++cell)
        if (mask[cell]) actuatorOfCell[cell] = actuator++;
    std::vector<uint32_t> map(actuator, 0);
    uint32_t channel = 0;
    for (uint32_t c = 0; c < width; ++c)
        for (uint32_t r = 0; r < width; ++r)
            if (mask[r * width + c]) map[actuatorOfCell[r * width + c]] = channel++;
    return map;
}

std::string num(double v) {
    std::ostringstream s;
    s << std::setprecision(6) << v;
    return s.str();
}

std::string quote(const std::string& s) { return "\"" + s + "\""; }

// Closes the record if the step stops half-way, so the demo leaves nothing open behind it.
struct OpenRecord {
    std::unique_ptr<DM> dm = std::make_unique<DM>();  // value-initialised: zero-filled as the kit requires
    ~OpenRecord() {
        if (dm->State) KRVClose(dm.get());
    }
};

// Reads the applied frame; false (and counted as unexpected) when the call fails.
bool readBack(DemoContext& ctx, DM* dm, std::vector<double>& out) {
    out.assign(dm->ActCount, -1.0);
    return demoReport(ctx, "KRVGetArray(dm, out, " + std::to_string(dm->ActCount) + ")",
                      KRVGetArray(dm, out.data(), dm->ActCount)) == NO_ERR;
}

void driveMirror(DemoContext& ctx, const DemoMirror& m) {
    const uint32_t n = static_cast<uint32_t>(std::count(m.mask.begin(), m.mask.end(), true));
    ctx.out << "mirror " << m.serial << ": " << n << " actuators (" << m.shape << "), dummy driver, vlim " << m.vlim
            << " of maxv " << m.maxv << ", inactive actuator " << m.inactive << "\n";
    if (!demoCheck(ctx, "layout", n == m.count,
                   std::to_string(n) + " actuators on a " + std::to_string(m.width) + " x " +
                       std::to_string(m.width) + " grid"))
        return;
    const std::vector<uint32_t> map = columnWiredMap(m.mask, m.width);
    const std::string mapFile = m.serial + ".map";
    writeDemoMap(ctx, mapFile, map);
    const std::string profile =
        writeDemoProfile(ctx, m.serial,
                         {{"type", "2"},
                          {"size", std::to_string(n)},
                          {"maxv", std::to_string(m.maxv)},
                          {"vlim", std::to_string(m.vlim)},
                          {"map", mapFile},
                          {"inactive", "1:" + std::to_string(m.inactive)}});
    ctx.out << "  profile " << profile << ", map " << ctx.installDir << "/Map/" << mapFile << " (" << map.size()
            << " lines)\n";

    OpenRecord record;
    DM* dm = record.dm.get();
    if (demoReport(ctx, "KRVOpen(dm, " + quote(m.serial) + ")", KRVOpen(dm, m.serial.c_str())) != NO_ERR) return;
    std::ostringstream fields;
    fields << "DriverType " << dm->DriverType << ", DevId " << dm->DevId << ", ActCount " << dm->ActCount
           << ", ActCountWidth " << dm->ActCountWidth << ", Layout " << dm->Layout << ", MappingFile "
           << dm->MappingFile;
    demoCheck(ctx, "record", dm->DriverType == KRV_DUMMY_DRV && dm->ActCount == n &&
                                 dm->ActCountWidth == m.width && dm->Layout == m.layout,
              fields.str());

    std::vector<uint32_t> loaded(n, MAX_DM_SIZE);
    if (demoReport(ctx, "KRVLoadMap(dm, null, map)", KRVLoadMap(dm, nullptr, loaded.data())) == NO_ERR)
        demoCheck(ctx, "map", loaded == map,
                  std::to_string(n) + " entries read; actuator 1 on channel " + std::to_string(loaded[1]) +
                      ", actuator " + std::to_string(n - 1) + " on channel " + std::to_string(loaded[n - 1]));

    // A ramp over the actuators, with one value below and one above the range to show the clamping.
    std::vector<double> frame(n);
    for (uint32_t i = 0; i < n; ++i) frame[i] = static_cast<double>(i) / (n - 1);
    frame[0] = -0.2;
    frame[n - 1] = 1.7;
    demoReport(ctx, "KRVSetArray(dm, frame, null)", KRVSetArray(dm, frame.data(), nullptr));
    std::vector<double> back;
    if (!readBack(ctx, dm, back)) return;
    // One driver step is 1 / (65535 * vlim / maxv); rounding moves a value by at most half of it.
    const double halfStep = 0.5 / (65535.0 * m.vlim / m.maxv) + 1e-12;
    double largest = 0;
    for (uint32_t i = 0; i < n; ++i)
        largest = std::max(largest, std::fabs(back[i] - std::clamp(frame[i], 0.0, 1.0)));
    demoCheck(ctx, "frame", largest <= halfStep,
              std::to_string(n) + " actuators read back within half a driver step (largest difference " +
                  num(largest) + "); actuator 0 sent -0.2 reads " + num(back[0]) + ", actuator " +
                  std::to_string(n - 1) + " sent 1.7 reads " + num(back[n - 1]));
    // A dummy mirror drives every actuator, the profile's inactive ones too; PCIe and USB mirrors leave those
    // undriven.
    const bool driven = std::fabs(back[m.inactive] - frame[m.inactive]) <= halfStep;
    demoCheck(ctx, "inactive actuator " + std::to_string(m.inactive), driven,
              "sent " + num(frame[m.inactive]) + ", reads " + num(back[m.inactive]) +
                  (driven ? " (a dummy mirror drives it)" : " (not driven)"));

    const std::vector<double> beforePoke = back;
    demoReport(ctx, "KRVSetSingle(dm, " + std::to_string(m.poke) + ", 0.25)", KRVSetSingle(dm, m.poke, 0.25));
    demoReport(ctx, "KRVSetSingle(dm, " + std::to_string(m.inactive) + ", 0.9)", KRVSetSingle(dm, m.inactive, 0.9));
    demoReport(ctx, "KRVSetSingle(dm, " + std::to_string(n) + ", 0.5)", KRVSetSingle(dm, n, 0.5), ERR_ACTUATOR_ID);
    if (!readBack(ctx, dm, back)) return;
    uint32_t changed = 0;
    for (uint32_t i = 0; i < n; ++i)
        if (i != m.poke && i != m.inactive && back[i] != beforePoke[i]) ++changed;
    demoCheck(ctx, "poke",
              std::fabs(back[m.poke] - 0.25) <= halfStep && std::fabs(back[m.inactive] - 0.9) <= halfStep &&
                  changed == 0,
              "actuator " + std::to_string(m.poke) + " reads " + num(back[m.poke]) + ", inactive actuator " +
                  std::to_string(m.inactive) + " reads " + num(back[m.inactive]) + ", " + std::to_string(changed) +
                  " other actuators changed");

    std::vector<double> shortBuffer(n - 1);
    demoReport(ctx, "KRVGetArray(dm, out, " + std::to_string(n - 1) + ")", KRVGetArray(dm, shortBuffer.data(), n - 1),
               ERR_BADARG);

    demoReport(ctx, "KRVClearArray(dm)", KRVClearArray(dm));
    if (!readBack(ctx, dm, back)) return;
    const auto nonZero = std::count_if(back.begin(), back.end(), [](double v) { return v != 0.0; });
    demoCheck(ctx, "clear", nonZero == 0, std::to_string(nonZero) + " of " + std::to_string(n) + " actuators non-zero");

    demoReport(ctx, "KRVClose(dm)", KRVClose(dm));
    demoCheck(ctx, "closed record", dm->State == nullptr && dm->ActCount == 0 && dm->DriverType == 0,
              std::string("State ") + (dm->State ? "set" : "null") + ", ActCount " + std::to_string(dm->ActCount) +
                  ", SerialNumber " + quote(dm->SerialNumber) + " kept");
    demoReport(ctx, "KRVSetArray(dm, frame, null) on the closed record", KRVSetArray(dm, frame.data(), nullptr),
               ERR_DRIVER_NOT_OPEN);
}

void dummyMirrors(DemoContext& ctx) {
    // Opens that fail before any driver runs: a serial number of the wrong length, and one without a profile.
    {
        OpenRecord record;
        demoReport(ctx, "KRVOpen(dm, \"DEMO\")", KRVOpen(record.dm.get(), "DEMO"), ERR_SERIAL_NUMBER);
        demoReport(ctx, "KRVOpen(dm, \"NOPROFILE01\")", KRVOpen(record.dm.get(), "NOPROFILE01"), ERR_OPENFILE);
        const std::string expected = ctx.installDir + "/Profiles";
        demoCheck(ctx, "profiles directory", expected == record.dm->ProfilesPath,
                  std::string("the kit looked in ") + record.dm->ProfilesPath);
    }

    const std::vector<DemoMirror> mirrors = {
        {"DEMO140-001", "12 x 12 without the corners", 140, 12, squareWithoutCorners(12), DMSquareLayout, 300, 300, 17, 5},
        {"DEMO952-001", "disc 34 across", 952, 34, disc(34, 302.5), DMCircularLayout, 300, 240, 475, 100},
    };
    for (const DemoMirror& m : mirrors) {
        ctx.out << "\n";
        driveMirror(ctx, m);
    }
}

KRVCTL_DEMO_STEP(10, "dummy mirrors", dummyMirrors);

}  // namespace
}  // namespace krvctl
