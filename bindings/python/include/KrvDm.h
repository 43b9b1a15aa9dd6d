// KrvDm: one mirror as an object over the flat interface, with vector arguments, the status of the last call and
// the default channel map. The Python module _krv exposes this class.
#pragma once

#include <KRV.h>

#include <cstddef>
#include <cstdint>
#include <vector>

// Values a call reads and does not keep: a std::vector, or a block that the caller keeps alive and unchanged for
// the call (the Python module hands numpy arrays over this way, without a copy).
template <typename T>
struct KrvValues {
    const T* data = nullptr;
    size_t size = 0;
    KrvValues() = default;
    KrvValues(const std::vector<T>& v) : data(v.data()), size(v.size()) {}
    KrvValues(const T* first, size_t count) : data(first), size(count) {}
};
using KrvDoubles = KrvValues<double>;
using KrvInts = KrvValues<int>;

class KrvDm {
public:
    KrvDm();
    KrvDm(const KrvDm&) = delete;
    KrvDm& operator=(const KrvDm&) = delete;

    // Closes the mirror if it is open.
    virtual ~KrvDm();

    virtual int open_dm(const char* serial_number);
    virtual int send_data(KrvDoubles data);
    virtual int send_data_custom_mapping(KrvDoubles data, KrvInts mapping);
    virtual int poke(int actuator, double value);
    virtual int close_dm();
    virtual std::vector<int> default_mapping();
    virtual std::vector<double> get_actuator_data();
    virtual int set_segment(int segment, double piston, double xTilt, double yTilt, bool applyOffsets,
                            bool sendNow);
    virtual int get_segment_range(int segment, DMSegmentAxis axis, double piston, double xTilt, double yTilt,
                                  bool applyOffsets, double* minValue, double* maxValue);
    virtual int load_calibration_file(const char* filePath);
    virtual int set_profiles_path(const char* path);
    virtual int set_maps_path(const char* path);
    virtual int set_calibrations_path(const char* path);
    virtual int configure_log(const char* filePath, KRV_LOGLEVEL level);
    virtual int configure_sequence(KrvDoubles sequence, double delay, int frame_length, int seq_length);
    virtual int enable_sequence(double framerate, bool enable);
    virtual int configure_dither(KrvDoubles waveform, KrvDoubles gains);
    virtual int enable_dither(double frame_rate, bool enable);
    virtual int enable_high_res(bool enable);
    virtual int set_device_id(int device_id);
    virtual int calculate_surface(std::vector<double>* commands, std::vector<double>* phaseOut,
                                  KrvDoubles phase_map_nm, int width, int height, int dm_diameter = 0,
                                  uint32_t options = 0);
    virtual int set_surface(KrvDoubles phase_map_nm, int width, int height, int dm_diameter = 0,
                            uint32_t options = 0);
    virtual int zernike_surface(std::vector<double>* phaseOut, KrvDoubles Zernike_coefficients, int dm_diameter = 0,
                                uint32_t options = 0);

    // The surface of Zernike coefficients on the mirror in one call: zernike_surface's grid map, sent with
    // set_surface over the whole grid (an aperture of the grid width minus 1), so that every actuator gets the
    // value of the map at its own position. options are those of set_surface.
    int set_zernike(KrvDoubles Zernike_coefficients, int dm_diameter = 0, uint32_t options = 0);

    int num_actuators();
    int num_actuators_width();
    int get_status();
    const char* error_string(int error_code);
    static const char* version_string();

    // Read-only views of the open record for the mirrorkit package (not part of the kit's object interface):
    // the driver type, the layout and the W x W grid of actuator positions (1 where an actuator sits, in
    // actuator order row by row; empty when the model table places no actuators for this count).
    int driver_type();
    int layout();
    std::vector<int> grid_mask();

private:
    int record(KRVRC rc);
    // Channels every map of this record covers: the sum over all units (at least unit 0's count).
    uint32_t channelCount() const;
    void growMapping(std::vector<int>& mapping) const;

    DM dm_;
    bool open_ = false;
    int status_ = NO_ERR;
    std::vector<int> mapping_;
};
