// KrvDm: one mirror as an object over the flat interface, with vector arguments, the status of the last call and
// the default channel map. The Python module _krv exposes this class.
#pragma once

#include <KRV.h>

#include <cstdint>
#include <vector>

class KrvDm {
public:
    KrvDm();
    KrvDm(const KrvDm&) = delete;
    KrvDm& operator=(const KrvDm&) = delete;

    // Closes the mirror if it is open.
    virtual ~KrvDm();

    virtual int open_dm(const char* serial_number);
    virtual int send_data(const std::vector<double>& data);
    virtual int send_data_custom_mapping(const std::vector<double>& data, const std::vector<int>& mapping);
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
    virtual int configure_sequence(const std::vector<double>& sequence, double delay, int frame_length,
                                   int seq_length);
    virtual int enable_sequence(double framerate, bool enable);
    virtual int configure_dither(const std::vector<double>& waveform, const std::vector<double>& gains);
    virtual int enable_dither(double frame_rate, bool enable);
    virtual int enable_high_res(bool enable);
    virtual int set_device_id(int device_id);
    virtual int calculate_surface(std::vector<double>* commands, std::vector<double>* phaseOut,
                                  const std::vector<double>& phase_map_nm, int width, int height,
                                  int dm_diameter = 0, uint32_t options = 0);
    virtual int set_surface(const std::vector<double>& phase_map_nm, int width, int height, int dm_diameter = 0,
                            uint32_t options = 0);
    virtual int zernike_surface(std::vector<double>* phaseOut, const std::vector<double>& Zernike_coefficients,
                                int dm_diameter = 0, uint32_t options = 0);

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
