// Docstrings of KrvDm: the user documentation of the mirror object. Each gives a summary, a description, the
// codes the call may return, its arguments and its result.

%feature("docstring") KrvDm "
One deformable mirror.

Owns the mirror's record, remembers the result of the last call (get_status) and keeps the default channel map
read at open. Create it, set the search folders or the device id if needed, then call open_dm. Deleting the
object closes the mirror.

Frames are commands from 0 to 1 per actuator, in actuator order. Surfaces (calculate_surface, set_surface,
zernike_surface, set_zernike) are heights of the mirror surface in nanometres, not of the reflected wavefront
(which moves twice as far); the actuators pull the surface down, so reachable heights lie below the mirror's
resting shape.

Threads: every method that calls into the kit lets other Python threads run meanwhile, and nothing inside the
object is locked: one object must not be used from two threads at once (mirrorkit.Mirror takes a lock for that).
";

%feature("docstring") KrvDm::KrvDm "
Creates a closed mirror object.

The record is zero-filled; nothing is opened until open_dm.

:return: A new KrvDm.
";

%feature("docstring") KrvDm::open_dm "
Opens the mirror with the given serial number.

Reads the profile <serial_number>.dm from the profiles folder, opens the driver the profile names (USB, PCIe or
dummy) and reads the profile's map file into the default mapping. The mirror stays open until close_dm or until
the object is deleted.

Possible errors: :const:`ERR_DRIVER_ALREADY_OPEN`, :const:`ERR_SERIAL_NUMBER`, :const:`ERR_REGISTRY`, :const:`ERR_OPENFILE`, :const:`ERR_FILE_PERMISSIONS`, :const:`ERR_FILE_FORMAT`, :const:`ERR_INVALID_DRIVER_TYPE`, :const:`ERR_NO_HW`, :const:`ERR_INIT_DRIVER`, :const:`ERR_INVALID_LUT`

:param str serial_number: The mirror's 11-character serial number.
:return: Error status.
";

%feature("docstring") KrvDm::send_data "
Sends one frame to the mirror.

Each value is the command of one actuator, in actuator order, from 0 (no deflection) to 1 (the mirror's voltage
limit); values outside 0 to 1 are clamped. The default mapping routes actuators to driver channels. A float64
numpy array is read where it lies; other sequences are converted item by item.

Possible errors: :const:`ERR_DRIVER_NOT_OPEN`, :const:`ERR_INVALID_ACTUATOR_COUNT`, :const:`ERR_INVALID_DRIVER_TYPE`, :const:`ERR_PCIE_BURST`, :const:`ERR_USB_WRITE`, :const:`ERR_NO_HW`, :const:`ERR_TIMEOUT`

:param DoubleVector data: One value per actuator (num_actuators values); any sequence of numbers.
:return: Error status.
";

%feature("docstring") KrvDm::send_data_custom_mapping "
Sends one frame through a mapping of the caller's.

As send_data, but the frame is routed with the given mapping instead of the default one; the default mapping is
not changed.

Possible errors: :const:`ERR_INVALID_ACTUATOR_COUNT`, :const:`ERR_INVALID_LUT`, :const:`ERR_DRIVER_NOT_OPEN`, :const:`ERR_INVALID_DRIVER_TYPE`, :const:`ERR_PCIE_BURST`, :const:`ERR_USB_WRITE`, :const:`ERR_NO_HW`, :const:`ERR_TIMEOUT`

:param DoubleVector data: One value per actuator (num_actuators values).
:param IntVector mapping: At least num_actuators map entries; missing channels are filled as unmapped.
:return: Error status.
";

%feature("docstring") KrvDm::poke "
Sets one actuator.

The other actuators keep their values.

Possible errors: :const:`ERR_ACTUATOR_ID`, :const:`ERR_DRIVER_NOT_OPEN`, :const:`ERR_POKE`, :const:`ERR_PCIE_REGWR`, :const:`ERR_USB_WRITE`, :const:`ERR_BADARG`

:param int actuator: Actuator number, from 0 to num_actuators - 1.
:param float value: Command from 0 to 1 (clamped).
:return: Error status.
";

%feature("docstring") KrvDm::close_dm "
Closes the mirror.

The driver sets every output to zero and releases the hardware; the loaded calibration is dropped. The search
folders are kept.

Possible errors: :const:`ERR_DRIVER_NOT_OPEN`, :const:`ERR_INVALID_DRIVER_TYPE`

:return: Error status.
";

%feature("docstring") KrvDm::default_mapping "
Returns the default mapping.

A copy of the map read from the profile's map file at open: one entry per driver channel.

Possible errors: none

:return: IntVector with the map entries.
";

%feature("docstring") KrvDm::get_actuator_data "
Reads the frame applied to the mirror.

One value per actuator in actuator order, from 0 to 1, as the driver applied it (16-bit resolution). On a mirror
that is not open the vector is empty and get_status returns ERR_DRIVER_NOT_OPEN.

Possible errors: :const:`ERR_DRIVER_NOT_OPEN`

:return: DoubleVector with num_actuators values.
";

%feature("docstring") KrvDm::set_segment "
Sets piston and tilt of one segment.

On segmented mirrors the calibration turns piston (nm), x-tilt and y-tilt (rad) into the commands of the
segment's three actuators. On continuous mirrors the segment is the single actuator of that number and its
command is piston divided by the mirror's stroke; the tilts are ignored.

Possible errors: :const:`ERR_INIT_DRIVER`, :const:`ERR_INVALID_CALIBRATION`, :const:`ERR_OUT_OF_LUT_RANGE`, :const:`ERR_SEGMENT_ID`, :const:`ERR_ACTUATOR_ID`, :const:`ERR_INVALID_DRIVER_TYPE`

:param int segment: Segment number (actuator number on continuous mirrors).
:param float piston: Piston in nanometres.
:param float xTilt: Tilt about the x axis in radians.
:param float yTilt: Tilt about the y axis in radians.
:param bool applyOffsets: True to add the calibration's resting offsets of the segment.
:param bool sendNow: True to send the frame now; False keeps the values until the next frame is sent.
:return: Error status.
";

%feature("docstring") KrvDm::get_segment_range "
Returns the reachable range of one axis of a segment.

The other two axes are held at the given values; the value given for the queried axis is not used. On
continuous mirrors only the piston axis has a range.

Possible errors: :const:`ERR_INIT_DRIVER`, :const:`ERR_INVALID_CALIBRATION`, :const:`ERR_NOT_IMPLEMENTED`, :const:`ERR_SEGMENT_ID`, :const:`ERR_BADARG`

:param int segment: Segment number.
:param int axis: DM_Piston, DM_XTilt or DM_YTilt.
:param float piston: Piston in nanometres.
:param float xTilt: Tilt about the x axis in radians.
:param float yTilt: Tilt about the y axis in radians.
:param bool applyOffsets: True to add the calibration's resting offsets of the segment.
:return: List [status, minimum, maximum]; nanometres for piston, radians for the tilts.
";

%feature("docstring") KrvDm::load_calibration_file "
Loads an open-loop calibration table.

The table (a MAT file) replaces the loaded one only when it loads without error.

Possible errors: :const:`ERR_INIT_DRIVER`, :const:`ERR_NOT_IMPLEMENTED`, :const:`ERR_OPENFILE`, :const:`ERR_FILE_FORMAT`, :const:`ERR_INVALID_CALIBRATION`, :const:`ERR_BADARG`

:param str filePath: Path of the calibration table.
:return: Error status.
";

%feature("docstring") KrvDm::set_profiles_path "
Sets the folder that holds the mirror profiles.

Takes effect at the next open_dm. A folder that does not exist is replaced by the kit's default at open.

Possible errors: :const:`ERR_BADARG`

:param str path: Folder of the <serial>.dm profiles.
:return: Error status.
";

%feature("docstring") KrvDm::set_maps_path "
Sets the folder that holds the actuator map files.

Takes effect at the next open_dm.

Possible errors: :const:`ERR_BADARG`

:param str path: Folder of the map files named in profiles.
:return: Error status.
";

%feature("docstring") KrvDm::set_calibrations_path "
Sets the folder that holds the calibration tables.

Takes effect at the next open_dm.

Possible errors: :const:`ERR_BADARG`

:param str path: Folder of the calibration tables named in profiles.
:return: Error status.
";

%feature("docstring") KrvDm::configure_log "
Configures the kit's log for the whole process.

Sends the kit's messages to standard error (or to mirrorkit's logging, once mirrorkit is imported) and to a
rolling file of 100 KB with 5 backups, and sets the level: KRV_LOG_TRACE (everything) to KRV_LOG_OFF (nothing);
other values leave the level as it was. A file whose folder cannot be written is left out. Callable before or
after open_dm; the status is not changed.

Possible errors: none

:param str filePath: Log file path, or None for the default file.
:param int level: One of the KRV_LOG_ constants.
:return: Error status (always NO_ERR).
";

%feature("docstring") KrvDm::configure_sequence "
Loads a frame sequence into the PCIe card's sequencer.

The sequence holds seq_length frames of frame_length values each, frame after frame, values from 0 to 1.
The sequencer is not started; see enable_sequence.

Possible errors: :const:`ERR_INVALID_SEQUENCE`, :const:`ERR_INVALID_SEQUENCE_RATE`, :const:`ERR_NOT_IMPLEMENTED`, :const:`ERR_INVALID_DRIVER_TYPE`, :const:`ERR_PCIE_REGRD`, :const:`ERR_PCIE_REGWR`

:param DoubleVector sequence: frame_length * seq_length values.
:param float delay: Delay from trigger to output in seconds, 0 to 0.25.
:param int frame_length: Values per frame, at most num_actuators.
:param int seq_length: Number of frames.
:return: Error status.
";

%feature("docstring") KrvDm::enable_sequence "
Starts or stops the PCIe card's sequencer.

A frame rate of 0 with enable True advances one frame on each rising edge of the trigger input.

Possible errors: :const:`ERR_NOT_IMPLEMENTED`, :const:`ERR_INVALID_SEQUENCE_RATE`, :const:`ERR_PCIE_REGWR`

:param float framerate: Frames per second, or 0 for the trigger input.
:param bool enable: True to start, False to stop.
:return: Error status.
";

%feature("docstring") KrvDm::configure_dither "
Loads a dither waveform and gains into the PCIe card.

In dither frame i actuator j is driven with waveform[i] * gains[j]. The ditherer is not started; see
enable_dither.

Possible errors: :const:`ERR_INVALID_DITHER_GAIN`, :const:`ERR_INVALID_DITHER_WVFRM`, :const:`ERR_NOT_IMPLEMENTED`, :const:`ERR_INVALID_DRIVER_TYPE`, :const:`ERR_PCIE_REGRD`, :const:`ERR_PCIE_REGWR`

:param DoubleVector waveform: 1 to 2048 samples from 0 to 1.
:param DoubleVector gains: One gain per actuator, from 0 to 1 (at least num_actuators values).
:return: Error status.
";

%feature("docstring") KrvDm::enable_dither "
Starts or stops the PCIe card's ditherer.

Once started, the card plays the dither frames loaded by configure_dither by itself, frame_rate frames per second
(from about 0.015 Hz up), and repeats them until stopped; in dither frame i actuator j gets waveform[i] times
gains[j]. A frame_rate of 0 or enable False stops it. Only PCIe mirrors dither.

Possible errors: :const:`ERR_NOT_IMPLEMENTED`, :const:`ERR_INVALID_DITHER_RATE`, :const:`ERR_PCIE_REGWR`

:param float frame_rate: Dither frames per second.
:param bool enable: True to start, False to stop.
:return: Error status.
";

%feature("docstring") KrvDm::enable_high_res "
Switches the PCIe card's high-resolution mode.

The card then updates every actuator continuously and resolves commands finer than its converters' step.
Needs firmware 0x20000600 or later; not allowed while dithering or trigger sequencing runs.

Possible errors: :const:`ERR_NOT_IMPLEMENTED`, :const:`ERR_INVALID_DITHER_RATE`, :const:`ERR_INVALID_SEQUENCE_RATE`, :const:`ERR_PCIE_REGRD`, :const:`ERR_PCIE_REGWR`

:param bool enable: True to switch on, False to switch off.
:return: Error status.
";

%feature("docstring") KrvDm::set_device_id "
Chooses the interface card or drive unit to open.

Call before open_dm. KRV_DEV_ID_QUERY_PROFILE takes the id from the profile.

Possible errors: :const:`ERR_BADARG`

:param int device_id: 1-based device index, or KRV_DEV_ID_QUERY_PROFILE.
:return: Error status.
";

%feature("docstring") KrvDm::calculate_surface "
Calculates the commands that shape the mirror to a phase map.

The phase map (nanometres of mirror surface, row-major, height rows of width values) spans the aperture of
dm_diameter actuator spacings from edge to edge; it is resampled to the actuator grid and turned into commands with
the loaded calibration. Pixels that are 0 or NaN mean no data: when more than 21 percent of the map is NaN (or 0
and NaN only outside the inscribed disc), each such pixel takes the value of the nearest pixel with data. By
default only the shape counts and the kit adds the piston that keeps it within reach; with
DM_SURFACE_ABSOLUTE_DEFLECTION the heights are taken from the mirror's resting shape, and they can only go down.
Nothing is sent.

Possible errors: :const:`ERR_BADARG`, :const:`ERR_INVALID_ACTUATOR_COUNT`, :const:`ERR_INVALID_CALIBRATION`, :const:`ERR_NOT_IMPLEMENTED`, :const:`ERR_DRIVER_NOT_OPEN`, :const:`ERR_OUT_OF_LUT_RANGE`, :const:`ERR_UNKNOWN`

:param DoubleVector phase_map_nm: width * height values in nanometres.
:param int width: Columns of the phase map.
:param int height: Rows of the phase map.
:param int dm_diameter: Aperture diameter in actuator spacings; 0 for the grid width minus 3.
:param int options: DM_SURFACE_ options: DM_SURFACE_ABSOLUTE_DEFLECTION, DM_SURFACE_BEST_EFFORT.
:return: List [status, commands, low-resolution phase map]: the commands (one per actuator) and the map on the actuator grid, both DoubleVector.
";

%feature("docstring") KrvDm::set_surface "
Shapes the mirror to a phase map.

As calculate_surface, then the commands are sent with the default mapping. A float64 numpy array is read where
it lies, without a copy.

Possible errors: :const:`ERR_BADARG`, :const:`ERR_INVALID_ACTUATOR_COUNT`, :const:`ERR_INVALID_CALIBRATION`, :const:`ERR_NOT_IMPLEMENTED`, :const:`ERR_DRIVER_NOT_OPEN`, :const:`ERR_OUT_OF_LUT_RANGE`, :const:`ERR_UNKNOWN`

:param DoubleVector phase_map_nm: width * height values in nanometres.
:param int width: Columns of the phase map.
:param int height: Rows of the phase map.
:param int dm_diameter: Aperture diameter in actuator spacings; 0 for the grid width minus 3.
:param int options: DM_SURFACE_ options: DM_SURFACE_ABSOLUTE_DEFLECTION, DM_SURFACE_BEST_EFFORT.
:return: Error status.
";

%feature("docstring") KrvDm::zernike_surface "
Calculates the phase map of Zernike coefficients on the actuator grid.

Coefficient k is the term of OSA/ANSI index k (piston 0, tilts 1 and 2, defocus 4, ...), in the caller's unit
(nanometres of surface for the surface calls). The terms are normalised to an RMS of 1 over the unit disc, so a
coefficient is the RMS of its term: 150 nm of defocus is 520 nm peak to valley. The unit disc spans dm_diameter
actuator spacings around the grid's centre; outside it each value is held within the range the map has inside
it. The map is row-major, row 0 first; x runs along a row, y down the rows (theta = atan2(y, x)). To put it on
the mirror, use set_zernike, or set_surface on the whole grid with dm_diameter = num_actuators_width - 1. Needs
no calibration. The status is not changed.

Possible errors: :const:`ERR_BADARG`, :const:`ERR_INVALID_ACTUATOR_COUNT`, :const:`ERR_DRIVER_NOT_OPEN`

:param DoubleVector Zernike_coefficients: 1 to 1024 coefficients.
:param int dm_diameter: Aperture diameter in actuator spacings; 0 for the grid width minus 3.
:param int options: Not used; 0.
:return: List [status, phase map]: num_actuators_width squared values, row-major, as a DoubleVector.
";

%feature("docstring") KrvDm::set_zernike "
Shapes the mirror to the surface of Zernike coefficients.

zernike_surface's map on the whole actuator grid, sent with set_surface so that each actuator is set for the
map's value at its own position (the map is not resampled). The coefficients are those of zernike_surface: OSA/ANSI
order, nanometres of surface, RMS-normalised terms over an aperture of dm_diameter actuator spacings. Needs a
calibration.

Possible errors: :const:`ERR_DRIVER_NOT_OPEN`, :const:`ERR_BADARG`, :const:`ERR_INVALID_ACTUATOR_COUNT`, :const:`ERR_INVALID_COEFFICIENTS`, :const:`ERR_INVALID_CALIBRATION`, :const:`ERR_NOT_IMPLEMENTED`, :const:`ERR_OUT_OF_LUT_RANGE`, :const:`ERR_UNKNOWN`

:param DoubleVector Zernike_coefficients: 1 to 1024 coefficients in nanometres.
:param int dm_diameter: Aperture diameter of the terms in actuator spacings; 0 for the grid width minus 3.
:param int options: DM_SURFACE_ options: DM_SURFACE_ABSOLUTE_DEFLECTION, DM_SURFACE_BEST_EFFORT.
:return: Error status.
";

%feature("docstring") KrvDm::num_actuators "
Returns the number of actuators.

0 while the mirror is not open.

Possible errors: none

:return: Number of actuators.
";

%feature("docstring") KrvDm::num_actuators_width "
Returns the number of actuators across the mirror.

The side of the actuator grid; 0 while the mirror is not open.

Possible errors: none

:return: Actuators across.
";

%feature("docstring") KrvDm::get_status "
Returns the result of the last call that records one.

Most methods store the code they return; configure_log, zernike_surface, set_device_id, the getters and the
argument checks made before the kit is called (a frame or a map of the wrong length) leave it as it was. 0
(NO_ERR) for a new object.

Possible errors: none

:return: Error status.
";

%feature("docstring") KrvDm::error_string "
Returns the message of a result code.

The kit's text for any code a method returned, for example 'Invalid number of actuators.' for
ERR_INVALID_ACTUATOR_COUNT; 'Unknown error code.' for a code the kit has no text for. Needs no open mirror.

Possible errors: none

:param int error_code: A result code.
:return: The message text.
";

%feature("docstring") KrvDm::version_string "
Returns the kit's version.

The version of the kit's libraries that the module runs with. A static method: KrvDm.version_string().

Possible errors: none

:return: The version text, for example 4.2.1.
";

%feature("docstring") KrvDm::driver_type "
Returns the driver type of the open mirror.

KRV_USB, KRV_PCIE or KRV_DUMMY_DRV; KRV_USB (0) also while the mirror is not open.

Possible errors: none

:return: The driver type.
";

%feature("docstring") KrvDm::layout "
Returns the layout of the open mirror.

One of DMSquareLayout, DMCircularLayout, DMLinearLayout, DMHexLayout; 0 while the mirror is not open.

Possible errors: none

:return: The layout.
";

%feature("docstring") KrvDm::grid_mask "
Returns where the actuators sit on the mirror's grid.

num_actuators_width squared entries, row-major: 1 where an actuator sits, 0 elsewhere. Actuators are numbered
row by row over the 1 entries. Empty when the mirror is not open or the kit places no actuators for its count.

Possible errors: none

:return: IntVector of the grid.
";
