/* The public header compiles as plain C and gives C the same record layout as C++. */
#include <KRV.h>

#include <stddef.h>

_Static_assert(sizeof(DM_DRIVER) == 48, "DM_DRIVER size");
_Static_assert(sizeof(DM) == 17816, "DM size");
_Static_assert(offsetof(DM, InactiveActuators) == 300, "InactiveActuators offset");
_Static_assert(offsetof(DM, Driver) == 17736, "Driver offset");
_Static_assert(offsetof(DM, ExtraDrivers) == 17808, "ExtraDrivers offset");
_Static_assert(offsetof(DM_DRIVER, HWRev) == 24, "HWRev offset");

int krv_layout_check_anchor(void) { return (int)sizeof(DM); }
