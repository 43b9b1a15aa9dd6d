// Steps of `krvctl demo`: each part of the kit registers one, run in order against the demo install directory.
#pragma once

#include <KRV.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace krvctl {

struct DemoContext {
    std::string installDir;  // Profiles, Map, Calibration, Shapes live below it
    std::ostream& out;
    int failures = 0;        // steps add the number of unexpected results they saw
};

// Prints "<what>: <code> <message>" and counts the call as failed when rc differs from expected.
KRVRC demoReport(DemoContext& ctx, const std::string& what, KRVRC rc, KRVRC expected = NO_ERR);

using DemoStep = void (*)(DemoContext&);
bool registerDemoStep(int order, const char* name, DemoStep step);

// Prints "<what>: <detail>" and counts a failure when ok is false. Returns ok.
bool demoCheck(DemoContext& ctx, const std::string& what, bool ok, const std::string& detail);

// Files of the demo tree. Both return the full path written and throw std::runtime_error when the file
// cannot be written (the demo counts that as a failed step).
// <installDir>/Profiles/<serial>.dm from key=value settings, checked and scrambled as `krvctl profile write`.
std::string writeDemoProfile(DemoContext& ctx, const std::string& serial,
                             const std::vector<std::pair<std::string, std::string>>& settings);
// <installDir>/Map/<fileName>, one entry per line.
std::string writeDemoMap(DemoContext& ctx, const std::string& fileName, const std::vector<uint32_t>& entries);

}  // namespace krvctl

// Registers a step from its own source file; order 10 is the dummy mirrors, 20 PCIe, 30 USB, 40 open loop.
#define KRVCTL_DEMO_STEP(order, name, fn) \
    static const bool krvctl_demo_registered_##fn = ::krvctl::registerDemoStep(order, name, fn)
