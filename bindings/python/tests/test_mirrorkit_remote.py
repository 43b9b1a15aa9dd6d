"""mirrorkit.Mirror through mirrorkit-server on the loopback interface: the same script gives the same results as on
a local mirror; sessions, reservations, channels, watches, tokens and a server that goes away."""
import os
import socket
import subprocess
import threading
import time
from concurrent import futures

import numpy as np
import pytest

import mirrorkit
from mirrorkit import Axis, Channel, DeviceError, KrvError, Mirror, RemoteError, ResultCode, TriggerMode, TriggerType

from conftest import table

grpc = pytest.importorskip("grpc")

SERVER = os.environ.get("KRV_TEST_SERVER", "")


class Served:
    """mirrorkit-server in a process of its own on a test's install tree, on a free loopback port."""

    def __init__(self, tree, *extra, port=0):
        if not os.path.exists(SERVER):
            pytest.fail(f"KRV_TEST_SERVER does not name the server program: {SERVER!r}")
        self.process = subprocess.Popen(
            [SERVER, "--listen", f"127.0.0.1:{port}", "--profiles", str(tree.profiles), "--maps", str(tree.maps),
             "--calibrations", str(tree.calibrations), *extra],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        line = self.process.stdout.readline()
        if "listening on port" not in line:
            self.stop()
            pytest.fail(f"server did not start: {line!r}")
        self.port = int(line.split()[-1])
        self.address = f"127.0.0.1:{self.port}"

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stdout.close()


@pytest.fixture
def served(tree):
    servers = []

    def start(*extra, port=0):
        servers.append(Served(tree, *extra, port=port))
        return servers[-1]
    yield start
    for s in servers:
        s.stop()


def outcome(call):
    """What a call gives: its value, or the type and code of what it raised."""
    try:
        value = call()
    except (KrvError, ValueError, TypeError, IndexError, DeviceError) as e:
        return ("raised", type(e).__name__, getattr(e, "code", None))
    return ("value", value)


def script(m, calibration):
    """A user's script; its record of every result is compared between a local and a served mirror."""
    n = m.n_actuators
    record = [m.serial, n, m.grid_width, m.layout, m.driver_type, m.grid_mask]
    ramp = np.linspace(0.0, 1.0, n)
    m.send(ramp)
    record.append(m.read())
    m.poke(5, 0.25)
    record.append(m.read())
    record.append(m.to_grid())
    m.send(m.to_grid(np.full(n, 0.125)))  # a grid picture is taken as a frame
    record.append(m.read())
    m.send(np.array([1.5, -0.5] + [0.5] * (n - 2)))  # floats outside 0..1 are clamped
    record.append(m.read())
    m.clear()
    record.append(m.read())
    # Patterns and triggers.
    patterns = np.stack([np.full(n, 0.1), np.full(n, 0.2)])
    record.append(outcome(m.trigger))
    m.set_trigger(TriggerType.SOFTWARE, TriggerMode.ONCE)
    m.queue_patterns(patterns)
    patterns[:] = 0.9  # the queue holds a copy
    for _ in range(3):
        record.append(outcome(m.trigger))
        record.append(m.read())
    m.apply_pattern(np.full(n, 0.3))
    record.append(m.read())
    # Mistakes raise the same errors.
    record += [outcome(lambda: m.send(np.zeros(3))), outcome(lambda: m.send(np.arange(n))),
               outcome(lambda: m.poke(n, 0.5)), outcome(lambda: m.poke(0, "x")),
               outcome(lambda: m.set_trigger(TriggerType.RISING_EDGE, TriggerMode.ONCE)),
               outcome(m.stop), outcome(lambda: m.high_res(True))]
    # Open loop: first without a calibration, then with one.
    record.append(outcome(lambda: m.set_zernike({4: 100.0})))
    record.append(outcome(lambda: m.load_calibration(calibration + ".missing")))
    m.load_calibration(calibration)
    record.append(m.zernike({4: 150.0, 3: -40.0}))
    target = m.zernike({4: 80.0})[1:-1, 1:-1]
    record.append(m.surface_commands(target))
    m.set_surface(target)
    record.append(m.read())
    m.set_zernike({4: 60.0, 7: 20.0}, best_effort=True)
    record.append(m.read())
    record.append(m.segment_range(0, Axis.PISTON))
    record.append(outcome(lambda: m.segment_range(0, Axis.X_TILT)))
    m.set_segment(3, piston=50.0)
    record.append(m.read())
    return record


def same(a, b, path="record"):
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        assert isinstance(a, np.ndarray) and isinstance(b, np.ndarray), path
        assert np.array_equal(a, b, equal_nan=True), path
    elif isinstance(a, (tuple, list)):
        assert isinstance(b, (tuple, list)) and len(a) == len(b), (path, a, b)
        for k, (x, y) in enumerate(zip(a, b)):
            same(x, y, f"{path}[{k}]")
    else:
        assert a == b and type(a) is type(b), (path, a, b)


def test_one_script_gives_the_same_results_local_and_served(tree, served):
    calibration = table("cdm_137.mat")
    tree.dummy("MKREMO00137", 137)
    with Mirror("MKREMO00137", profiles=tree.profiles) as m:
        local = script(m, calibration)
    server = served()
    with Mirror("MKREMO00137", server=server.address) as m:
        assert m.session == "MKREMO00137"
        remote = script(m, calibration)
    assert len(local) > 30
    same(local, remote)
    # The served mirror is closed with the last client: it can be opened again, and under another session name.
    with Mirror("MKREMO00137", server=server.address, session="bench") as m:
        assert m.session == "bench"
        assert np.array_equal(m.read(), np.zeros(137))


def test_a_closed_served_mirror_refuses_like_a_local_one(tree, served):
    tree.dummy("MKREMO00140", 140)
    server = served()
    m = Mirror("MKREMO00140", server=server.address)
    m.close()
    m.close()  # a second close does nothing
    for call in (m.read, lambda: m.send(np.zeros(140)), m.clear, m.reserve, m.watch):
        with pytest.raises(KrvError) as e:
            call()
        assert e.value.code == ResultCode.ERR_DRIVER_NOT_OPEN
    assert "closed" in repr(m)
    # Unknown serials and bad arguments are refused before or by the server, with the kit's codes.
    with pytest.raises(KrvError) as e:
        Mirror("MKNONE00000", server=server.address)
    assert e.value.code != ResultCode.NO_ERR and not isinstance(e.value, RemoteError)
    with pytest.raises(ValueError, match="profiles"):
        Mirror("MKREMO00140", server=server.address, profiles=tree.profiles)
    with pytest.raises(ValueError, match="server"):
        Mirror("MKREMO00140", profiles=tree.profiles, session="x")
    with pytest.raises(ValueError, match="host:port"):
        Mirror("MKREMO00140", server="localhost")


def test_two_clients_share_a_session_and_one_reservation(tree, served):
    tree.dummy("MKREMO00140", 140)
    server = served()
    a = Mirror("MKREMO00140", server=server.address, session="loop")
    b = Mirror("MKREMO00140", server=server.address, session="loop")
    try:
        a.send(np.full(140, 0.25))
        assert np.allclose(b.read(), 0.25, atol=1e-4)
        b.poke(7, 0.75)
        assert abs(a.read()[7] - 0.75) < 1e-4
        a.reserve()
        with pytest.raises(KrvError) as e:
            b.send(np.zeros(140))
        assert e.value.code == ResultCode.ERR_DRIVER_ALREADY_OPEN
        assert abs(a.read()[7] - 0.75) < 1e-4  # the refused frame changed nothing
        with pytest.raises(KrvError) as e:
            b.reserve()
        assert e.value.code == ResultCode.ERR_DRIVER_ALREADY_OPEN
        a.close()  # ends a's reservation
        b.send(np.full(140, 0.5))
        assert np.allclose(b.read(), 0.5, atol=1e-4)
    finally:
        a.close()
        b.close()


def test_channels_sum_clamp_and_report_saturation(tree, served):
    tree.dummy("MKREMO00140", 140)
    server = served()
    with Mirror("MKREMO00140", server=server.address) as m:
        flat = Channel(m, "flat")
        loop = Channel(m, "loop", gain=0.5)
        probe = Channel(m, "probe", gain=-1.0)
        assert flat.send(np.full(140, 0.4)) == mirrorkit.Saturation(0, 0, 0, ())
        loop.send(np.linspace(0.0, 1.0, 140))
        values = np.zeros(140)
        values[[3, 90]] = -0.9  # pushes these above 1
        values[10] = 0.9  # and this one below 0
        report = probe.send(values)
        expected = 0.4 + 0.5 * np.linspace(0.0, 1.0, 140) - values
        clamped = np.flatnonzero((expected < 0) | (expected > 1))
        assert report.clamped == len(clamped) == 3
        assert report.actuators == tuple(clamped) == (3, 10, 90)
        assert (report.clamped_low, report.clamped_high) == (1, 2)
        assert np.allclose(m.read(), np.clip(expected, 0, 1), atol=1e-4)
        assert sorted(m.channels()) == ["", "flat", "loop", "probe"]
        # The mirror's own frame is one more channel of the sum.
        m.send(np.full(140, 0.1))
        assert np.allclose(m.read(), np.clip(expected + 0.1, 0, 1), atol=1e-4)
        assert m.last_saturation.clamped == int(((expected + 0.1) > 1).sum() + ((expected + 0.1) < 0).sum())
        assert probe.clear().clamped == 0
        assert np.allclose(m.read(), 0.5 + 0.5 * np.linspace(0.0, 1.0, 140), atol=1e-4)
        with pytest.raises(ValueError):
            loop.send(np.full(140, np.nan))
        with pytest.raises(ValueError):
            loop.send(np.zeros(139))
        m.clear()  # empties every channel
        assert np.array_equal(m.read(), np.zeros(140)) and all(not v.any() for _, v in m.channels().values())
    with Mirror("MKREMO00140", profiles=tree.profiles) as local:
        with pytest.raises(KrvError) as e:
            Channel(local, "flat")
        assert e.value.code == ResultCode.ERR_NOT_IMPLEMENTED
        for call in (local.watch, local.reserve, local.release, local.channels):
            with pytest.raises(KrvError) as e:
                call()
            assert e.value.code == ResultCode.ERR_NOT_IMPLEMENTED
        assert local.session is None


def test_watch_shows_another_clients_frames_with_saturation(tree, served):
    tree.dummy("MKREMO00140", 140)
    server = served()
    with Mirror("MKREMO00140", server=server.address) as writer, \
            Mirror("MKREMO00140", server=server.address) as observer:
        writer.reserve()  # an observer needs no reservation
        writer.send(np.full(140, 0.2))
        frames = observer.watch()
        first = next(frames)
        assert np.allclose(first.values, 0.2, atol=1e-4)
        seen = []
        done = threading.Event()

        def collect():
            for f in frames:
                seen.append(f)
                if len(seen) == 3:
                    break
            done.set()
        t = threading.Thread(target=collect)
        t.start()
        writer.send(np.full(140, 0.3))
        writer.poke(4, 1.0)
        Channel(writer, "probe").send(np.full(140, 0.9))
        assert done.wait(10), "the watch did not deliver three frames"
        t.join(10)
        frames.close()
        assert [f.sequence for f in seen] == [first.sequence + 1, first.sequence + 2, first.sequence + 3]
        assert [f.source for f in seen] == ["send", "poke", "channel"]
        assert np.allclose(seen[0].values, 0.3, atol=1e-4) and abs(seen[1].values[4] - 1.0) < 1e-4
        assert seen[2].saturation.clamped == 140 and seen[2].saturation.clamped_high == 140
        assert seen[0].saturation.clamped == 0 and seen[2].time_ns >= seen[0].time_ns > 0
        without = next(observer.watch(with_values=False))
        assert without.values is None and without.sequence == seen[2].sequence


def test_token_and_a_server_that_goes_away(tree, served, tmp_path):
    tree.dummy("MKREMO00140", 140)
    token = tmp_path / "token"
    token.write_text("s3cret-token\n")
    token.chmod(0o600)
    server = served("--token-file", str(token))
    for wrong in (None, "s3cret-tokeX"):
        with pytest.raises(RemoteError) as e:
            Mirror("MKREMO00140", server=server.address, token=wrong)
        assert e.value.grpc_code == grpc.StatusCode.UNAUTHENTICATED
    m = Mirror("MKREMO00140", server=server.address, token="s3cret-token")
    m.send(np.full(140, 0.5))
    port = server.port
    server.stop()
    with pytest.raises(RemoteError) as e:
        m.read()
    assert e.value.grpc_code == grpc.StatusCode.UNAVAILABLE and isinstance(e.value, KrvError)
    with pytest.raises(RemoteError):
        m.close()
    assert m.closed
    again = served("--token-file", str(token), port=port)
    with Mirror("MKREMO00140", server=again.address, token="s3cret-token") as m2:
        m2.send(np.full(140, 0.25))
        assert np.allclose(m2.read(), 0.25, atol=1e-4)


def certificates(folder):
    """A certificate authority and a server certificate for 127.0.0.1 made with Debian's openssl; and a second
    authority that signed nothing."""
    script = (
        "set -e; for ca in ca other; do openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
        "-keyout $ca.key -out $ca.pem -days 2 -subj \"/CN=MirrorKit test $ca\"; done; "
        "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout server.key -out server.csr "
        "-subj /CN=localhost; printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\\n' > san.cnf; "
        "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 "
        "-extfile san.cnf")
    subprocess.run(["sh", "-c", script], cwd=folder, check=True, capture_output=True, timeout=60)
    return {n: folder / n for n in ("ca.pem", "other.pem", "server.pem", "server.key")}


def test_tls_with_the_servers_authority_only(tree, served, tmp_path):
    tree.dummy("MKREMO00140", 140)
    pki = certificates(tmp_path)
    server = served("--tls-cert", str(pki["server.pem"]), "--tls-key", str(pki["server.key"]))
    with Mirror("MKREMO00140", server=server.address, tls=pki["ca.pem"]) as m:
        m.send(np.full(140, 0.5))
        assert np.allclose(m.read(), 0.5, atol=1e-4)
    for tls in (None, str(pki["other.pem"])):  # no TLS, or an authority that did not sign the server's certificate
        with pytest.raises(RemoteError) as e:
            Mirror("MKREMO00140", server=server.address, tls=tls)
        assert e.value.grpc_code == grpc.StatusCode.UNAVAILABLE
    with pytest.raises(TypeError, match="tls"):
        Mirror("MKREMO00140", server=server.address, tls=3)


class SilentPeer:
    """A loopback port that takes every connection and never says a word."""

    def __init__(self):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.address = "127.0.0.1:%d" % self.listener.getsockname()[1]
        self.connections = []
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def _accept(self):
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            self.connections.append(connection)

    def close(self):
        self.listener.shutdown(socket.SHUT_RDWR)  # wakes the accept
        self.listener.close()
        self.thread.join(5)
        for c in self.connections:
            c.close()


def given_up(address, **kwargs):
    """Opening a mirror there must fail with RemoteError; gives the error and the seconds it took."""
    start = time.monotonic()
    with pytest.raises(RemoteError) as e:
        Mirror("MKREMO00140", server=address, **kwargs)
    return e.value, time.monotonic() - start


def test_a_peer_that_takes_the_connection_and_never_answers_is_given_up_on_in_time():
    peer = SilentPeer()
    try:
        error, seconds = given_up(peer.address, timeout=0.5)
        assert peer.connections, "the peer was never reached"
    finally:
        peer.close()
    assert error.grpc_code == grpc.StatusCode.DEADLINE_EXCEEDED and error.code == ResultCode.ERR_TIMEOUT
    assert peer.address in str(error) and "0.5 s" in str(error), str(error)
    assert 0.45 <= seconds < 5, seconds


def test_a_grpc_server_that_never_answers_is_given_up_on_in_time():
    # A gRPC server that takes the client's Connect stream and sends nothing on it.
    answer = threading.Event()

    def connect(request, context):
        answer.wait(30)
        return iter(())

    handler = grpc.method_handlers_generic_handler(
        "mirrorkit.v1.MirrorService", {"Connect": grpc.unary_stream_rpc_method_handler(connect)})
    server = grpc.server(futures.ThreadPoolExecutor(max_workers=2), handlers=(handler,))
    port = server.add_insecure_port("127.0.0.1:0")
    server.start()
    try:
        error, seconds = given_up(f"127.0.0.1:{port}", timeout=0.5)
    finally:
        answer.set()
        server.stop(None)
    assert error.grpc_code == grpc.StatusCode.DEADLINE_EXCEEDED and error.code == ResultCode.ERR_TIMEOUT
    assert 0.45 <= seconds < 5, seconds


def test_nothing_listening_fails_at_once_and_timeouts_are_checked():
    probe = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    probe.bind(("127.0.0.1", 0))
    address = "127.0.0.1:%d" % probe.getsockname()[1]
    probe.close()  # a port nothing listens on
    error, seconds = given_up(address)  # with the default timeout of 10 s
    assert error.grpc_code == grpc.StatusCode.UNAVAILABLE and error.code == ResultCode.ERR_TIMEOUT
    assert seconds < 5, seconds
    for bad in (0, -1.5, float("nan"), float("inf")):
        with pytest.raises(ValueError, match="timeout"):
            Mirror("MKREMO00140", server=address, timeout=bad)
    for bad in ("10", True):
        with pytest.raises(TypeError, match="timeout"):
            Mirror("MKREMO00140", server=address, timeout=bad)
    with pytest.raises(ValueError, match="server"):
        Mirror("MKREMO00140", timeout=5)
