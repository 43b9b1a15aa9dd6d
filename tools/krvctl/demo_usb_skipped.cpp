// `krvctl demo` as installed: the USB step is left out, and the demo says so and why.
#include "demo.h"

namespace krvctl {
namespace {

void usbSkipped(DemoContext& ctx) {
    ctx.out << "  skipped: the USB step drives drive units emulated with umockdev, a test library that the installed\n"
               "  krvctl does not carry. Run it from a source tree (bash scripts/run.sh demo), or try a real unit:\n"
               "  write a type=0 profile with its driver_sn and check it with krvctl doctor.\n";
}

KRVCTL_DEMO_STEP(30, "USB mirror on emulated drive units", usbSkipped);

}  // namespace
}  // namespace krvctl
