// The opening steps shared by both calibration classes: file type test, reading, the table's mirror name.
#pragma once

#include "krv/MatFileReader.h"

#include <KRV.h>
#include <log4cxx/logger.h>

#include <opencv2/core.hpp>

#include <string>

namespace MirrorKit {

// Reads every variable of a calibration table. ERR_OPENFILE for a path without the MAT extension or a file
// that cannot be opened, ERR_FILE_FORMAT for a damaged file; each is logged at error level on logger.
KRVRC readCalibrationTable(const std::string& path, MatlabVariables& vars, const log4cxx::LoggerPtr& logger);

// A numeric variable as CV_64F (any numeric class converts). Throws like MatFileReader::find.
cv::Mat findDoubleMatrix(const MatlabVariables& vars, const std::string& name);

// True when the variable exists (whatever its type).
bool hasVariable(const MatlabVariables& vars, const std::string& name);

}  // namespace MirrorKit
