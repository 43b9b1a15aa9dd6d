// Opening calibration tables.
#include "CalibrationTable.h"

#include "krv/Log.h"
#include "krv/TextFiles.h"

#include <algorithm>
#include <cctype>

namespace MirrorKit {

KRVRC readCalibrationTable(const std::string& path, MatlabVariables& vars, const log4cxx::LoggerPtr& logger) {
    const auto lower = [](unsigned char c) { return static_cast<char>(std::tolower(c)); };
    std::string extension = path.size() >= 3 ? path.substr(path.size() - 3) : std::string();
    std::transform(extension.begin(), extension.end(), extension.begin(), lower);
    if (extension != "mat") {
        KRV_LOG_ERROR(logger, "Incompatible file type: " << path);
        return ERR_OPENFILE;
    }

    MatFileReader reader;
    if (!reader.open(path, "r")) {
        KRV_LOG_ERROR(logger, "Failed open file: " << path);
        reader.close();
        return ERR_OPENFILE;
    }
    std::string error;
    const bool read = reader.tryRead(vars, error);
    reader.close();
    if (!read) {
        // A damaged table fails this load only; the process and any calibration already loaded go on.
        KRV_LOG_ERROR(logger, "Damaged calibration table " << path << ": " << error);
        vars.clear();
        return ERR_FILE_FORMAT;
    }

    try {
        const std::string name = MatFileReader::find<std::string>(vars, "DM_name");
        KRV_LOG_INFO(logger, "Loading calibration for DM: " << logExcerpt(name));
    } catch (...) {
        // The name is informative only; a table without it loads the same.
    }
    return NO_ERR;
}

cv::Mat findDoubleMatrix(const MatlabVariables& vars, const std::string& name) {
    const cv::Mat m = MatFileReader::find<cv::Mat>(vars, name);
    if (m.depth() == CV_64F) return m;
    cv::Mat converted;
    m.convertTo(converted, CV_64F);
    return converted;
}

bool hasVariable(const MatlabVariables& vars, const std::string& name) {
    return std::any_of(vars.begin(), vars.end(), [&](const MatlabIOContainer& v) { return v.name == name; });
}

}  // namespace MirrorKit
