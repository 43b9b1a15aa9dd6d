// Steps of `krvctl demo`: each part of the kit registers one, run in order against the demo install directory.
#pragma once

#include <KRV.h>

#include <ostream>
#include <string>

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

}  // namespace krvctl

// Registers a step from its own source file; order 10 is the dummy mirrors, 20 PCIe, 30 USB, 40 open loop.
#define KRVCTL_DEMO_STEP(order, name, fn) \
    static const bool krvctl_demo_registered_##fn = ::krvctl::registerDemoStep(order, name, fn)
