// Stand-in open-loop library that lacks the delete entry point.
#include <KRV.h>

extern "C" KRVAPI KRVRC KRV_Priv_Calibration_loadFile(DM*, const char*) { return NO_ERR; }
