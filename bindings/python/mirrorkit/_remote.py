"""A mirror served by mirrorkit-server, behind the same calls as the kit's own mirror object.

:class:`RemoteDm` answers the calls :class:`mirrorkit.Mirror` makes of the kit's ``KrvDm``, over gRPC, so that a
Mirror opened with ``server=`` behaves as a local one. A refusal from the server raises :class:`KrvError` with the
server's result code and message; a failure of the transport (server gone, wrong token, ...) raises
:class:`RemoteError`, a :class:`KrvError` that also carries the gRPC status code.
"""
import collections
import os
import threading

import numpy as np

import krv as _kit

from ._errors import KrvError, ResultCode

try:
    import grpc
    from .v1 import mirror_pb2 as _pb
    from .v1 import mirror_pb2_grpc as _pb_grpc
except ImportError as _e:  # the package was built or installed without the network modules
    grpc = None
    _import_error = _e

Saturation = collections.namedtuple("Saturation", "clamped clamped_low clamped_high actuators")
Saturation.__doc__ = """Actuators clamped to 0..1 when a session's channels were summed into a frame.

``clamped`` counts all of them (``clamped_low`` below 0, ``clamped_high`` above 1); ``actuators`` lists the
numbers of at most the first 64, in increasing order."""

Frame = collections.namedtuple("Frame", "sequence time_ns values saturation source writer dropped")
Frame.__doc__ = """One frame applied to a served mirror, as :meth:`mirrorkit.Mirror.watch` yields it.

``sequence`` numbers the session's frames from 1; ``time_ns`` is when it was applied (ns since 1970, UTC);
``values`` the applied frame (numpy array, None when values were left out); ``saturation`` a
:class:`Saturation`; ``source`` what wrote it (``"send"``, ``"poke"``, ``"channel"``, ...); ``writer`` the
writing client's name; ``dropped`` how many frames this watcher missed before this one."""


class RemoteError(KrvError):
    """The server could not be reached or refused the connection (transport, authentication).

    Attributes
    ----------
    grpc_code : grpc.StatusCode
        The transport's status, for example ``grpc.StatusCode.UNAVAILABLE``.
    """

    def __init__(self, code, operation="", detail="", grpc_code=None):
        super().__init__(code, operation, detail)
        self.grpc_code = grpc_code

    def __reduce__(self):
        return type(self), (int(self.code), self.operation, self.detail, None)


def _saturation(report):
    return Saturation(report.clamped, report.clamped_low, report.clamped_high, tuple(report.actuators))


# Transport failures as the kit's codes: a server that cannot be reached is a mirror that does not answer.
_TRANSPORT_CODES = {}


def _transport_code(code):
    if not _TRANSPORT_CODES:
        _TRANSPORT_CODES.update({
            grpc.StatusCode.UNAVAILABLE: ResultCode.ERR_TIMEOUT,
            grpc.StatusCode.DEADLINE_EXCEEDED: ResultCode.ERR_TIMEOUT,
            grpc.StatusCode.UNAUTHENTICATED: ResultCode.ERR_BADARG,
            grpc.StatusCode.INVALID_ARGUMENT: ResultCode.ERR_BADARG,
        })
    return _TRANSPORT_CODES.get(code, ResultCode.ERR_TIMEOUT)


def _credentials(tls):
    """Channel credentials from ``tls``: True for the system's authorities, a PEM file of the authority, or
    ``grpc.ChannelCredentials``."""
    if isinstance(tls, grpc.ChannelCredentials):
        return tls
    if tls is True:
        return grpc.ssl_channel_credentials()
    if isinstance(tls, (str, bytes, os.PathLike)):
        with open(os.fspath(tls), "rb") as f:
            return grpc.ssl_channel_credentials(root_certificates=f.read())
    raise TypeError(f"tls must be None, True, the path of a PEM certificate authority or grpc.ChannelCredentials, "
                    f"got {tls!r}")


# Seconds to wait for the server's answer, when connecting and to each call.
DEFAULT_TIMEOUT = 10.0


class RemoteDm:
    """The calls of the kit's mirror object, answered by a session on mirrorkit-server."""

    def __init__(self, server, session=None, token=None, tls=None, device_id=None, timeout=DEFAULT_TIMEOUT):
        if grpc is None:
            raise ImportError(f"mirrors over the network need python3-grpcio, python3-protobuf and the mirrorkit "
                              f"network modules: {_import_error}")
        if not isinstance(server, str) or ":" not in server:
            raise ValueError(f"server must be 'host:port', got {server!r}")
        if session is not None and (not isinstance(session, str) or not session):
            raise ValueError(f"session must be a non-empty str or None, got {session!r}")
        if token is not None and (not isinstance(token, str) or not token):
            raise ValueError("token must be a non-empty str or None")
        self._server = server
        self._session_asked = session or ""
        self._device_id = device_id
        self._timeout = timeout
        self._metadata = [("authorization", f"Bearer {token}")] if token else []
        self._channel = grpc.secure_channel(server, _credentials(tls)) if tls not in (None, False) \
            else grpc.insecure_channel(server)
        self._stub = _pb_grpc.MirrorServiceStub(self._channel)
        self._connect = None
        self._session = None
        self._info = None
        self._lock = threading.Lock()
        self.last_saturation = Saturation(0, 0, 0, ())
        self.last_sequence = 0

    # Calls -------------------------------------------------------------------------------------------------

    def _call(self, name, request, operation, client=True):
        try:
            reply = getattr(self._stub, name)(request, timeout=self._timeout,
                                              metadata=self._metadata + (self._client if client else []))
        except grpc.RpcError as e:
            raise RemoteError(_transport_code(e.code()), operation, f"{self._server}: {e.code().name}: "
                                                                     f"{e.details()}", e.code()) from None
        status = getattr(reply, "status", None)
        if status is not None and status.code:
            raise KrvError(status.code, operation, status.message)
        if isinstance(reply, _pb.FrameReply):
            self.last_saturation = _saturation(reply.saturation)
            self.last_sequence = reply.sequence
        return reply

    def _s(self):
        return self._session

    def _first_event(self, operation):
        """Opens the Connect stream (which lives as long as this client, so it has no deadline of its own) and
        waits for the server's first event at most the timeout. Nothing listening fails at once; a peer that
        takes the connection and never answers, or a server that does not, is given up on when the time is up."""
        self._connect = self._stub.Connect(_pb.ConnectRequest(client_name=f"mirrorkit.py:{os.getpid()}"),
                                           metadata=self._metadata)
        lock = threading.Lock()
        state = {"answered": False, "expired": False}

        def expire():
            with lock:
                if state["answered"]:
                    return
                state["expired"] = True
            self._connect.cancel()

        timer = threading.Timer(self._timeout, expire)
        timer.daemon = True
        timer.start()
        try:
            first = next(self._connect, None)
        except grpc.RpcError as e:
            if not state["expired"]:
                raise RemoteError(_transport_code(e.code()), operation,
                                  f"{self._server}: {e.code().name}: {e.details()}", e.code()) from None
            first = None
        finally:
            with lock:
                state["answered"] = True
            timer.cancel()
        if state["expired"]:
            raise RemoteError(ResultCode.ERR_TIMEOUT, operation, f"{self._server}: DEADLINE_EXCEEDED: no answer "
                              f"from mirrorkit-server within {self._timeout:g} s", grpc.StatusCode.DEADLINE_EXCEEDED)
        if first is None:
            raise RemoteError(ResultCode.ERR_TIMEOUT, operation, f"{self._server}: UNAVAILABLE: the server ended "
                              f"the connection without a client id", grpc.StatusCode.UNAVAILABLE)
        return first

    def open_dm(self, serial):
        try:
            first = self._first_event(f"open_dm({serial!r})")
        except BaseException:
            self._disconnect()
            raise
        self._client = [("mirrorkit-client-id", first.client_id)]
        request = _pb.OpenRequest(serial=serial, session=self._session_asked, behavior=_pb.OpenRequest.AUTO)
        if self._device_id is not None:
            request.device_id = self._device_id
        try:
            reply = self._call("Open", request, f"open_dm({serial!r})")
        except BaseException:
            self._disconnect()
            raise
        self._session = reply.session
        self._info = reply.mirror
        return 0

    def _disconnect(self):
        if self._connect is not None:
            self._connect.cancel()
            self._connect = None
        self._channel.close()

    def close_dm(self):
        try:
            if self._session is not None:
                self._call("Close", _pb.CloseRequest(session=self._session), "close_dm")
        finally:
            self._session = None
            self._disconnect()
        return 0

    @property
    def session(self):
        return self._session

    def num_actuators(self):
        return self._info.n_actuators

    def num_actuators_width(self):
        return self._info.grid_width

    def driver_type(self):
        return int(self._info.driver_type)

    def layout(self):
        return int(self._info.layout)

    def grid_mask(self):
        return list(self._info.grid_mask)

    def get_status(self):
        return 0

    def send_data(self, values):
        self._call("Send", _pb.SendRequest(session=self._s(), values=values), "send_data")
        return 0

    def get_actuator_data(self):
        return self._call("Read", _pb.ReadRequest(session=self._s()), "get_actuator_data").values

    def poke(self, actuator, value):
        self._call("Poke", _pb.PokeRequest(session=self._s(), actuator=actuator, value=value), "poke")
        return 0

    def clear(self):
        self._call("Clear", _pb.ClearRequest(session=self._s()), "clear")

    def configure_sequence(self, values, delay, frame_length, seq_length):
        self._call("ConfigureSequence", _pb.ConfigureSequenceRequest(
            session=self._s(), values=values, delay_s=delay, frame_length=frame_length, seq_length=seq_length),
            "configure_sequence")
        return 0

    def enable_sequence(self, rate, enable):
        self._call("EnableSequence", _pb.EnableSequenceRequest(session=self._s(), frame_rate_hz=rate,
                                                               enable=enable), "enable_sequence")
        return 0

    def configure_dither(self, waveform, gains):
        self._call("ConfigureDither", _pb.ConfigureDitherRequest(session=self._s(), waveform=waveform, gains=gains),
                   "configure_dither")
        return 0

    def enable_dither(self, rate, enable):
        self._call("EnableDither", _pb.EnableDitherRequest(session=self._s(), frame_rate_hz=rate, enable=enable),
                   "enable_dither")
        return 0

    def enable_high_res(self, enable):
        self._call("EnableHighRes", _pb.EnableHighResRequest(session=self._s(), enable=enable), "enable_high_res")
        return 0

    def load_calibration_file(self, path):
        # The table is read here and sent: the script's path is a path of the script's computer.
        try:
            with open(path, "rb") as f:
                data = f.read()
        except OSError as e:
            raise KrvError(ResultCode.ERR_OPENFILE, "load_calibration_file", f"{path}: {e.strerror}") from None
        self._call("LoadCalibration", _pb.LoadCalibrationRequest(session=self._s(), data=data),
                   "load_calibration_file")
        return 0

    def zernike_surface(self, coefficients, dm_diameter, _options):
        reply = self._call("ZernikeSurface", _pb.ZernikeSurfaceRequest(
            session=self._s(), coefficients=coefficients, dm_diameter=dm_diameter), "zernike_surface")
        return 0, reply.phase

    def _surface(self, phase, width, height, diameter, options):
        return _pb.SurfaceRequest(session=self._s(), phase=phase, width=width, height=height, dm_diameter=diameter,
                                  absolute=bool(options & _kit.DM_SURFACE_ABSOLUTE_DEFLECTION),
                                  best_effort=bool(options & _kit.DM_SURFACE_BEST_EFFORT))

    def calculate_surface(self, phase, width, height, diameter, options):
        reply = self._call("CalculateSurface", self._surface(phase, width, height, diameter, options),
                           "calculate_surface")
        return 0, reply.commands, reply.low_resolution

    def set_surface(self, phase, width, height, diameter, options):
        self._call("SetSurface", self._surface(phase, width, height, diameter, options), "set_surface")
        return 0

    def set_zernike(self, coefficients, dm_diameter, options):
        # As the kit does it: the terms on the actuator grid, set through the calibration without resampling.
        _, grid = self.zernike_surface(coefficients, dm_diameter, 0)
        w = self._info.grid_width
        self.set_surface(np.asarray(grid, dtype=np.float64), w, w, w - 1, options)
        return 0

    def set_segment(self, segment, piston, x_tilt, y_tilt, apply_offsets, send):
        self._call("SetSegment", _pb.SetSegmentRequest(
            session=self._s(), segment=segment, piston_nm=piston, x_tilt_rad=x_tilt, y_tilt_rad=y_tilt,
            apply_offsets=apply_offsets, defer=not send), "set_segment")
        return 0

    def get_segment_range(self, segment, axis, piston, x_tilt, y_tilt, apply_offsets):
        reply = self._call("GetSegmentRange", _pb.GetSegmentRangeRequest(
            session=self._s(), segment=segment, axis=axis, piston_nm=piston, x_tilt_rad=x_tilt, y_tilt_rad=y_tilt,
            apply_offsets=apply_offsets), "get_segment_range")
        return 0, reply.min, reply.max

    # Only over the network --------------------------------------------------------------------------------

    def reserve(self):
        self._call("Reserve", _pb.ReserveRequest(session=self._s()), "reserve")

    def release(self):
        self._call("Release", _pb.ReleaseRequest(session=self._s()), "release")

    def set_channel(self, name, values, gain):
        request = _pb.SetChannelRequest(session=self._s(), channel=name, values=values)
        if gain is not None:
            request.gain = gain
        self._call("SetChannel", request, f"set_channel({name!r})")
        return self.last_saturation

    def clear_channel(self, name):
        self._call("ClearChannel", _pb.ClearChannelRequest(session=self._s(), channel=name),
                   f"clear_channel({name!r})")
        return self.last_saturation

    def channels(self):
        reply = self._call("ListChannels", _pb.ListChannelsRequest(session=self._s(), with_values=True),
                           "list_channels")
        return {c.name: (c.gain, np.array(c.values, dtype=np.float64)) for c in reply.channels}

    def watch(self, with_values=True):
        """A generator of :class:`Frame`; closing it (or leaving the loop) ends the watch on the server."""
        call = self._stub.WatchFrames(_pb.WatchFramesRequest(session=self._s(), omit_values=not with_values),
                                      metadata=self._metadata)
        return _frames(call, self._server)


_SOURCES = None


def _frames(call, server):
    global _SOURCES
    if _SOURCES is None:
        _SOURCES = {v: n[len("FRAME_SOURCE_"):].lower() for n, v in _pb.FrameSource.items()}
    try:
        for event in call:
            if event.status.code:
                raise KrvError(event.status.code, "watch", event.status.message)
            if event.session_closed:
                return
            values = np.array(event.values, dtype=np.float64) if len(event.values) else None
            yield Frame(event.sequence, event.time_unix_ns, values, _saturation(event.saturation),
                        _SOURCES.get(event.source, "unspecified"), event.writer, event.dropped)
    except grpc.RpcError as e:
        if e.code() != grpc.StatusCode.CANCELLED:
            raise RemoteError(_transport_code(e.code()), "watch", f"{server}: {e.code().name}: {e.details()}",
                              e.code()) from None
    finally:
        call.cancel()
