// KrvDm over the core, open-loop and PCIe exports.
#include "KrvDm.h"

#include <KRV_OpenLoop.h>
#include <KRV_PCIeAPI.h>

#include <algorithm>
#include <climits>
#include <cstring>

KrvDm::KrvDm() { std::memset(&dm_, 0, sizeof dm_); }

KrvDm::~KrvDm() {
    if (open_) record(KRVClose(&dm_));
}

int KrvDm::record(KRVRC rc) {
    status_ = static_cast<int>(rc);
    return status_;
}

uint32_t KrvDm::channelCount() const {
    if (dm_.DriverType != KRV_USB) return std::max(dm_.ActCount, dm_.Driver.ChannelCount);
    uint64_t total = dm_.Driver.ChannelCount;
    for (uint32_t k = 1; k < dm_.DriverCount && dm_.ExtraDrivers; ++k) total += dm_.ExtraDrivers[k - 1].ChannelCount;
    return static_cast<uint32_t>(std::min<uint64_t>(total, UINT32_MAX));
}

// The core reads (and a map load writes) one entry per channel of the whole record, so a mapping sized from the
// first unit alone would be overrun on a two-unit mirror.
void KrvDm::growMapping(std::vector<int>& mapping) const {
    const uint32_t n = channelCount();
    if (mapping.size() < n) mapping.resize(n, static_cast<int>(n));
}

int KrvDm::open_dm(const char* serial_number) {
    if (open_) return ERR_DRIVER_ALREADY_OPEN;
    const KRVRC rc = KRVOpen(&dm_, serial_number);
    record(rc);
    if (rc != NO_ERR) {
        open_ = false;
        return rc;
    }
    open_ = true;
    mapping_.clear();
    growMapping(mapping_);
    // A profile without a map file is opened by every back end with a warning; reading the missing file again
    // here would only report a mirror that is open as a failure.
    if (dm_.MappingFile[0] == '\0') return record(NO_ERR);
    return record(KRVLoadMap(&dm_, nullptr, reinterpret_cast<uint32_t*>(mapping_.data())));
}

int KrvDm::send_data(KrvDoubles data) {
    if (!open_) return record(ERR_DRIVER_NOT_OPEN);
    if (data.size != dm_.ActCount) return ERR_INVALID_ACTUATOR_COUNT;
    growMapping(mapping_);
    return record(KRVSetArray(&dm_, data.data, reinterpret_cast<const uint32_t*>(mapping_.data())));
}

int KrvDm::send_data_custom_mapping(KrvDoubles data, KrvInts mapping) {
    if (data.size != dm_.ActCount) return ERR_INVALID_ACTUATOR_COUNT;
    if (mapping.size < dm_.ActCount) return ERR_INVALID_LUT;
    std::vector<int> copy(mapping.data, mapping.data + mapping.size);
    growMapping(copy);
    return record(KRVSetArray(&dm_, data.data, reinterpret_cast<const uint32_t*>(copy.data())));
}

int KrvDm::poke(int actuator, double value) {
    return record(KRVSetSingle(&dm_, static_cast<uint32_t>(actuator), value));
}

int KrvDm::close_dm() {
    record(KRVClose(&dm_));
    open_ = false;
    return status_;
}

std::vector<int> KrvDm::default_mapping() { return mapping_; }

std::vector<double> KrvDm::get_actuator_data() {
    if (!open_) {
        record(ERR_DRIVER_NOT_OPEN);
        return {};
    }
    std::vector<double> out(dm_.ActCount, 0.0);
    KRVGetArray(&dm_, out.data(), static_cast<uint32_t>(out.size()));
    return out;
}

int KrvDm::set_segment(int segment, double piston, double xTilt, double yTilt, bool applyOffsets, bool sendNow) {
    if (!open_) return ERR_INIT_DRIVER;
    return record(KRVSetSegment(&dm_, static_cast<unsigned>(segment), piston, xTilt, yTilt, applyOffsets, sendNow));
}

int KrvDm::get_segment_range(int segment, DMSegmentAxis axis, double piston, double xTilt, double yTilt,
                             bool applyOffsets, double* minValue, double* maxValue) {
    if (minValue) *minValue = 0.0;
    if (maxValue) *maxValue = 0.0;
    if (!open_) return ERR_INIT_DRIVER;
    return record(KRVGetSegmentRange(&dm_, static_cast<unsigned>(segment), axis, piston, xTilt, yTilt, applyOffsets,
                                     minValue, maxValue));
}

int KrvDm::load_calibration_file(const char* filePath) {
    if (!open_) return ERR_INIT_DRIVER;
    return record(KRVLoadCalibrationFile(&dm_, filePath));
}

int KrvDm::set_profiles_path(const char* path) { return record(KRVSetProfilesPath(&dm_, path)); }
int KrvDm::set_maps_path(const char* path) { return record(KRVSetMapsPath(&dm_, path)); }
int KrvDm::set_calibrations_path(const char* path) { return record(KRVSetCalibrationsPath(&dm_, path)); }

int KrvDm::configure_log(const char* filePath, KRV_LOGLEVEL level) { return KRVConfigureLog(filePath, level); }

int KrvDm::configure_sequence(KrvDoubles sequence, double delay, int frame_length, int seq_length) {
    if (frame_length < 0 || seq_length < 0 ||
        static_cast<uint64_t>(frame_length) * static_cast<uint64_t>(seq_length) != sequence.size)
        return ERR_INVALID_SEQUENCE;
    return record(KRVConfigureSequence(&dm_, sequence.data, delay, static_cast<uint32_t>(frame_length),
                                       static_cast<uint32_t>(seq_length)));
}

int KrvDm::enable_sequence(double framerate, bool enable) {
    return record(KRVEnableSequence(&dm_, framerate, enable));
}

int KrvDm::configure_dither(KrvDoubles waveform, KrvDoubles gains) {
    if (gains.size < dm_.ActCount) return ERR_INVALID_DITHER_GAIN;
    const uint32_t length = static_cast<uint32_t>(std::min<size_t>(waveform.size, UINT32_MAX));
    return record(KRVConfigureDither(&dm_, waveform.data, length, gains.data));
}

int KrvDm::enable_dither(double frame_rate, bool enable) { return record(KRVEnableDither(&dm_, frame_rate, enable)); }

int KrvDm::enable_high_res(bool enable) {
    if (dm_.DriverType != KRV_PCIE) return ERR_NOT_IMPLEMENTED;
    return record(KRV_PCIeEnableHighRes(&dm_, enable ? 1 : 0));
}

int KrvDm::set_device_id(int device_id) {
    if (device_id <= 0) return ERR_BADARG;
    dm_.DevId = device_id;
    return NO_ERR;
}

int KrvDm::calculate_surface(std::vector<double>* commands, std::vector<double>* phaseOut,
                             KrvDoubles phase_map_nm, int width, int height, int dm_diameter, uint32_t options) {
    if (static_cast<int64_t>(width) * height != static_cast<int64_t>(phase_map_nm.size)) return ERR_BADARG;
    if (commands) commands->resize(dm_.ActCount);
    if (phaseOut && phaseOut->empty()) phaseOut->resize(static_cast<size_t>(dm_.ActCountWidth) * dm_.ActCountWidth);
    return record(KRVCalculateSurfaceEx(
        &dm_, const_cast<double*>(phase_map_nm.data), width, height, dm_diameter, options,
        commands ? commands->data() : nullptr, commands ? static_cast<unsigned>(commands->size()) : 0u,
        phaseOut ? phaseOut->data() : nullptr, phaseOut ? static_cast<unsigned>(phaseOut->size()) : 0u));
}

int KrvDm::set_surface(KrvDoubles phase_map_nm, int width, int height, int dm_diameter, uint32_t options) {
    if (static_cast<int64_t>(width) * height != static_cast<int64_t>(phase_map_nm.size)) return ERR_BADARG;
    // The open-loop library reads the map and never writes it.
    return record(KRVSetSurface(&dm_, const_cast<double*>(phase_map_nm.data), width, height, dm_diameter, options));
}

int KrvDm::zernike_surface(std::vector<double>* phaseOut, KrvDoubles coefficients, int dm_diameter,
                           uint32_t options) {
    if (phaseOut && phaseOut->empty()) phaseOut->resize(static_cast<size_t>(dm_.ActCountWidth) * dm_.ActCountWidth);
    const int count = static_cast<int>(std::min<size_t>(coefficients.size, INT_MAX));
    return KRVZernikeSurface(&dm_, const_cast<double*>(coefficients.data), count, dm_diameter, options,
                             phaseOut ? phaseOut->data() : nullptr, phaseOut ? static_cast<unsigned>(phaseOut->size()) : 0u);
}

// The grid map spans the grid from edge to edge, and an aperture of W - 1 spacings is the one for which the
// resampling takes every grid value as it is: actuator i gets the map's value at its own position.
int KrvDm::set_zernike(KrvDoubles coefficients, int dm_diameter, uint32_t options) {
    if (!open_) return record(ERR_DRIVER_NOT_OPEN);
    const int w = static_cast<int>(dm_.ActCountWidth);
    std::vector<double> grid(static_cast<size_t>(w) * static_cast<size_t>(w));
    const int count = static_cast<int>(std::min<size_t>(coefficients.size, INT_MAX));
    const KRVRC rc = KRVZernikeSurface(&dm_, const_cast<double*>(coefficients.data), count, dm_diameter, 0,
                                       grid.data(), static_cast<unsigned>(grid.size()));
    if (rc != NO_ERR) return record(rc);
    return record(KRVSetSurface(&dm_, grid.data(), w, w, w - 1, options));
}

int KrvDm::num_actuators() { return static_cast<int>(dm_.ActCount); }
int KrvDm::num_actuators_width() { return static_cast<int>(dm_.ActCountWidth); }
int KrvDm::get_status() { return status_; }
const char* KrvDm::error_string(int error_code) { return KRVErrorString(static_cast<KRVRC>(error_code)); }
const char* KrvDm::version_string() { return KRVVersionString(); }

int KrvDm::driver_type() { return static_cast<int>(dm_.DriverType); }
int KrvDm::layout() { return static_cast<int>(dm_.Layout); }

// The positions the open-loop library gives the actuators: the model's mask, or else a full square, or a square
// without its four corners, when the count fills one.
std::vector<int> KrvDm::grid_mask() {
    const uint32_t w = dm_.ActCountWidth, n = dm_.ActCount;
    if (!open_ || w == 0) return {};
    DMGEOMETRY geometry;
    if (KRVGetModelGeometry(n, &geometry) == NO_ERR && geometry.HasMask) {
        std::vector<int32_t> cells(static_cast<size_t>(geometry.Width) * geometry.Width);
        if (KRVGetGridMask(n, cells.data(), static_cast<uint32_t>(cells.size())) == NO_ERR)
            return std::vector<int>(cells.begin(), cells.end());
    }
    std::vector<int> mask(static_cast<size_t>(w) * w, 1);
    if (static_cast<uint64_t>(w) * w == n + 4ull && w >= 2) {
        for (size_t corner : {size_t{0}, size_t{w - 1}, size_t{w} * (w - 1), size_t{w} * w - 1}) mask[corner] = 0;
    } else if (static_cast<uint64_t>(w) * w != n) {
        return {};
    }
    return mask;
}
