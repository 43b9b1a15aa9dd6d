// The open-loop library's exports: surfaces to commands, Zernike maps, segment control, calibration binding.
#include <KRV_OpenLoop.h>

#include "KRVDMHexCalibration.h"
#include "KRV_CDMCalibration.h"
#include "OpenLoopLog.h"
#include "RecordCache.h"
#include "Resample.h"
#include "ZernikeMap.h"

#include "krv/CorePrivate.h"
#include "krv/DMState.h"
#include "krv/Encoding.h"
#include "krv/Guard.h"
#include "krv/ModelTable.h"

#include <cmath>
#include <memory>
#include <vector>

static_assert(DM_SURFACE_ABSOLUTE_DEFLECTION == 1 && DM_SURFACE_BEST_EFFORT == 2, "surface option bits");

namespace MirrorKit {
namespace {

constexpr unsigned kMaxOptions = DM_SURFACE_ABSOLUTE_DEFLECTION | DM_SURFACE_BEST_EFFORT;
constexpr int kMaxZernikeTerms = 1024;

bool segmentedModel(const DM& dm) {
    const DMModel* model = findModel(dm.ActCount);
    return model && model->Segmented;
}

double modelStroke(const DM& dm) {
    const DMModel* model = findModel(dm.ActCount);
    return model ? model->StrokeNm : 0.0;
}

int gridWidth(const DM& dm) { return static_cast<int>(modelWidth(dm.ActCount)); }

// The calibration object belongs to this library; its class follows from the model table, never from
// the object itself.
KRV_CDMCalibration* continuousCalibration(const DM& dm) {
    return dm.State && !segmentedModel(dm) ? static_cast<KRV_CDMCalibration*>(dm.State->Calibration) : nullptr;
}

KRVDMHexCalibration* segmentedCalibration(const DM& dm) {
    return dm.State && segmentedModel(dm) ? static_cast<KRVDMHexCalibration*>(dm.State->Calibration) : nullptr;
}

void destroyCalibration(const DM& dm, void* calibration) {
    if (!calibration) return;
    if (segmentedModel(dm))
        delete static_cast<KRVDMHexCalibration*>(calibration);
    else
        delete static_cast<KRV_CDMCalibration*>(calibration);
}

bool segmentInactive(const DM& dm, unsigned segment) {
    const uint64_t first = 3ull * segment;
    for (size_t i = 0; i < MAX_DM_SIZE && dm.InactiveActuators[i] != kInactiveTerminator; ++i) {
        const uint64_t actuator = decodeValue(dm.InactiveActuators[i]);
        if (actuator >= first && actuator < first + 3) return true;
    }
    return false;
}

// dm_diameter 0 stands for the grid width less three.
KRVRC apertureDiameter(int dmDiameter, int width, int& diameter) {
    if (dmDiameter >= width) return ERR_INVALID_ACTUATOR_COUNT;
    diameter = dmDiameter == 0 ? width - 3 : dmDiameter;
    return diameter < 3 ? ERR_INVALID_ACTUATOR_COUNT : NO_ERR;
}

bool acceptsGridCopy(unsigned count, int width, int diameter) {
    const uint64_t n = static_cast<uint64_t>(diameter) + 1;
    return count == n * n || count >= static_cast<uint64_t>(width) * width;
}

bool finiteAtActuators(const cv::Mat& grid, const std::vector<int>& positions) {
    const double* values = grid.ptr<double>();
    for (int position : positions)
        if (!std::isfinite(values[position])) return false;
    return true;
}

KRVRC calculateSurfaceEx(DM* dm, double* phase, int width, int height, int dmDiameter, unsigned options,
                         double* commands, unsigned commandCount, double* lowRes, unsigned lowResCount) {
    if (!dm || !phase || !commands || width < 1 || height < 1 || dmDiameter < 0 || options > kMaxOptions ||
        commandCount == 0)
        return ERR_BADARG;
    const int w = gridWidth(*dm);
    if (dmDiameter >= w) return ERR_INVALID_ACTUATOR_COUNT;
    if (!dm->State) return ERR_DRIVER_NOT_OPEN;
    if (!dm->State->Calibration) return ERR_INVALID_CALIBRATION;
    int diameter = 0;
    if (KRVRC rc = apertureDiameter(dmDiameter, w, diameter)) return rc;
    if (lowRes && !acceptsGridCopy(lowResCount, w, diameter)) return ERR_BADARG;
    if (segmentedModel(*dm)) return ERR_NOT_IMPLEMENTED;

    const log4cxx::LoggerPtr log = openLoopLogger();
    cv::Mat grid;
    try {
        const cv::Mat map(height, width, CV_64F, phase);
        recordCache(*dm)->resample.resample(map, w, diameter, grid);
        if (lowRes) copyGridMap(grid, diameter, lowRes, lowResCount);
    } catch (const std::exception& e) {
        KRV_LOG_DEBUG(log, "Error downsampling surface image: " << e.what());
        KRV_LOG_TRACE(log, "Options: " << options);
        return ERR_UNKNOWN;
    }
    const KRV_CDMCalibration* calibration = continuousCalibration(*dm);
    // A sample that is not a number would reach an actuator as a zero command; refuse the map instead. Grid
    // positions without an actuator are never read.
    if (!finiteAtActuators(grid, calibration->actuatorPositions())) {
        KRV_LOG_DEBUG(log, "Phase map holds values that are not finite at the actuators.");
        return ERR_BADARG;
    }
    return calibration->calculateSurface(grid, options, commands, commandCount);
}

}  // namespace
}  // namespace MirrorKit

using namespace MirrorKit;

extern "C" {

KRVAPI KRVRC KRVCalculateSurfaceEx(DM* dm, double* phase, int width, int height, int dm_diameter, unsigned options,
                                   double* commands, unsigned commandCount, double* lowRes, unsigned lowResCount) {
    return guarded(openLoopLogger(), "KRVCalculateSurfaceEx", ERR_UNKNOWN, [&] {
        return calculateSurfaceEx(dm, phase, width, height, dm_diameter, options, commands, commandCount, lowRes,
                                  lowResCount);
    });
}

KRVAPI KRVRC KRVCalculateSurface(DM* dm, double* phase, int width, int height, int dm_diameter, unsigned options,
                                 double* commands, unsigned commandCount) {
    return KRVCalculateSurfaceEx(dm, phase, width, height, dm_diameter, options, commands, commandCount, nullptr, 0);
}

KRVAPI KRVRC KRVSetSurface(DM* dm, double* phase, int width, int height, int dm_diameter, unsigned options) {
    return guarded(openLoopLogger(), "KRVSetSurface", ERR_UNKNOWN, [&] {
        if (!dm || !phase || width < 1 || height < 1 || dm_diameter < 0 || options > kMaxOptions) return ERR_BADARG;
        if (dm_diameter >= gridWidth(*dm)) return ERR_INVALID_ACTUATOR_COUNT;
        if (!dm->State) return ERR_DRIVER_NOT_OPEN;
        if (!dm->State->Calibration) return ERR_INVALID_CALIBRATION;
        std::vector<double> frame(dm->ActCount, 0.0);
        KRVRC rc = calculateSurfaceEx(dm, phase, width, height, dm_diameter, options, frame.data(), dm->ActCount,
                                      nullptr, 0);
        if (rc == NO_ERR) rc = KRVSetArray(dm, frame.data(), nullptr);
        return rc;
    });
}

KRVAPI KRVRC KRVZernikeSurface(DM* dm, double* coefficients, int count, int dm_diameter, unsigned options,
                               double* phase, unsigned phaseCount) {
    return guarded(openLoopLogger(), "KRVZernikeSurface", ERR_UNKNOWN, [&] {
        if (!dm || !coefficients || !phase || count < 1 || count > kMaxZernikeTerms || dm_diameter < 0 ||
            options > kMaxOptions || phaseCount == 0)
            return ERR_BADARG;
        const int w = gridWidth(*dm);
        int diameter = 0;
        if (KRVRC rc = apertureDiameter(dm_diameter, w, diameter)) return rc;
        if (!acceptsGridCopy(phaseCount, w, diameter)) return ERR_BADARG;
        // A NaN would turn the whole series into NaN (read as "no data" by the surface calls, so a flat mirror),
        // an infinity into an infinite map: neither is a surface.
        for (int k = 0; k < count; ++k) {
            if (!std::isfinite(coefficients[k])) {
                KRV_LOG_ERROR(openLoopLogger(),
                              "Zernike coefficient " << k << " is " << coefficients[k] << "; coefficients must be finite.");
                return ERR_INVALID_COEFFICIENTS;
            }
        }
        cv::Mat map;
        if (RecordCache* cache = recordCache(*dm)) {
            // The terms of the last series shape are kept; another shape replaces them.
            if (!cache->zernike) cache->zernike = std::make_unique<ZernikeBasis>();
            if (!cache->zernike->fits(count, w, diameter) || cache->zernikeOptions != options) {
                cache->zernike->build(count, w, diameter);
                cache->zernikeOptions = options;
            }
            map = cache->zernike->map(coefficients);
        } else {
            map = zernikeGridMap(std::vector<double>(coefficients, coefficients + count), w, diameter);
        }
        // Finite coefficients can still be too large for a map of doubles; the caller's array is only written
        // with a map that is finite everywhere.
        if (!cv::checkRange(map)) {
            KRV_LOG_ERROR(openLoopLogger(), "Zernike coefficients give a map beyond the range of doubles.");
            return ERR_INVALID_COEFFICIENTS;
        }
        copyGridMap(map, diameter, phase, phaseCount);
        return NO_ERR;
    });
}

KRVAPI KRVRC KRVSetSegment(DM* dm, unsigned segment, double piston, double xTilt, double yTilt, bool applyOffsets,
                           bool sendNow) {
    return guarded(openLoopLogger(), "KRVSetSegment", ERR_UNKNOWN, [&] {
        if (!dm) return ERR_BADARG;
        if (!segmentedModel(*dm)) {
            const double v = piston / modelStroke(*dm);
            // Written so that a piston that is not a number is refused too, rather than sent as a zero command.
            if (!(v >= 0.0 && v <= 1.0)) return ERR_OUT_OF_LUT_RANGE;
            return KRVSetSingle(dm, segment, v);
        }
        if (!dm->State) return ERR_DRIVER_NOT_OPEN;
        const KRVDMHexCalibration* calibration = segmentedCalibration(*dm);
        if (!calibration) return ERR_INVALID_CALIBRATION;
        if (segment >= static_cast<unsigned>(calibration->segmentCount())) return ERR_SEGMENT_ID;
        if (segmentInactive(*dm, segment)) return NO_ERR;

        unsigned values[3] = {0, 0, 0};
        if (KRVRC rc = calibration->getActuatorValues(segment, piston, xTilt, yTilt, &values[0], &values[1],
                                                      &values[2], applyOffsets))
            return rc;
        std::vector<uint32_t>& applied = dm->State->AppliedFrame;
        for (unsigned a = 0; a < 3; ++a) applied.at(3 * segment + a) = values[a];
        if (!sendNow) return NO_ERR;

        // The core sends the applied frame through the record's back end.
        return KRV_Priv_SendAppliedFrame(dm);
    });
}

KRVAPI KRVRC KRVGetSegmentRange(DM* dm, unsigned segment, DMSegmentAxis axis, double piston, double xTilt,
                                double yTilt, bool applyOffsets, double* minValue, double* maxValue) {
    return guarded(openLoopLogger(), "KRVGetSegmentRange", ERR_UNKNOWN, [&] {
        if (!dm || !minValue || !maxValue) return ERR_BADARG;
        if (!segmentedModel(*dm)) {
            if (axis != DM_Piston) return ERR_NOT_IMPLEMENTED;
            // On a continuous mirror a segment is one actuator, and KRVSetSegment drives it with piston / stroke,
            // calibration or not: its range is 0..stroke. The calibration's flat-piston range (negative, a
            // deflection of the whole face sheet) is not a range of that call.
            *minValue = 0.0;
            *maxValue = modelStroke(*dm);
            return NO_ERR;
        }
        if (!dm->State) return ERR_DRIVER_NOT_OPEN;
        const KRVDMHexCalibration* calibration = segmentedCalibration(*dm);
        if (!calibration) return ERR_INVALID_CALIBRATION;
        if (segment >= static_cast<unsigned>(calibration->segmentCount())) return ERR_SEGMENT_ID;
        if (segmentInactive(*dm, segment)) {
            *minValue = *maxValue = 0.0;
            return NO_ERR;
        }
        switch (axis) {
            case DM_Piston:
                return calibration->getPistonRange(segment, xTilt, yTilt, minValue, maxValue, applyOffsets);
            case DM_XTilt:
                return calibration->getXTiltRange(segment, piston, yTilt, minValue, maxValue, applyOffsets);
            case DM_YTilt:
                return calibration->getYTiltRange(segment, piston, xTilt, minValue, maxValue, applyOffsets);
            default:
                return ERR_BADARG;
        }
    });
}

KRVAPI KRVRC KRV_Priv_Calibration_loadFile(DM* dm, const char* path) {
    return guarded(openLoopLogger(), "KRV_Priv_Calibration_loadFile", ERR_UNKNOWN, [&] {
        if (!dm || !path) return ERR_BADARG;
        if (!dm->State) return ERR_DRIVER_NOT_OPEN;
        if (!*path) return ERR_OPENFILE;
        KRVRC rc;
        void* loaded = nullptr;
        if (segmentedModel(*dm)) {
            auto calibration = std::make_unique<KRVDMHexCalibration>(static_cast<int>(dm->ActCount / 3));
            rc = calibration->load(path);
            if (rc == NO_ERR) loaded = calibration.release();
        } else {
            auto calibration = std::make_unique<KRV_CDMCalibration>(*dm);
            rc = calibration->load(path);
            if (rc == NO_ERR) loaded = calibration.release();
        }
        // A failed load never removes the calibration that works.
        if (rc != NO_ERR) return rc;
        destroyCalibration(*dm, dm->State->Calibration);
        dm->State->Calibration = loaded;
        clearRecordCache(*dm);
        return NO_ERR;
    });
}

KRVAPI void KRV_Priv_Calibration_delete(DM* dm) {
    guarded(openLoopLogger(), "KRV_Priv_Calibration_delete", ERR_UNKNOWN, [&] {
        if (dm && dm->State && dm->State->Calibration) {
            destroyCalibration(*dm, dm->State->Calibration);
            dm->State->Calibration = nullptr;
        }
        if (dm) clearRecordCache(*dm);
        return NO_ERR;
    });
}

}  // extern "C"
