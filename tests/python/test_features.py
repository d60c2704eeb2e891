"""Camera information, the feature tree and errors, against the simulator over loopback TCP."""

import struct

import pytest

import kvdepth

# Extra features that the simulator's own descriptor lacks, so that every value type is present.
EXTRA_FEATURES = (
    '<feature id="0x2001" name="temperature" rw="3" volatile="0" min="-10" max="80">36.5</feature>'
    '<feature id="0x6001" name="user data" rw="3" volatile="0" max="8"/>'
    '<feature id="0x7002" name="extrinsic 2" rw="3" volatile="0">1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1</feature>'
)


@pytest.fixture(scope="module")
def typed_cam(wall_sim, tmp_path_factory):
    """A camera whose descriptor carries features of all seven value types."""
    from conftest import Sim

    with kvdepth.open(ip=wall_sim.ip) as cam:
        text = cam.descriptor
    path = tmp_path_factory.mktemp("descriptor") / "typed.xml"
    path.write_text(text.replace('name="laser">', 'name="laser">' + EXTRA_FEATURES, 1))
    sim = Sim("--scene", "wall", "--descriptor", str(path))
    with kvdepth.open(ip=sim.ip) as cam:
        yield cam
    sim.stop()


def test_camera_information(cam, wall_sim):
    info = cam.info
    assert (info.id, info.vendor, info.model) == (wall_sim.serial, "Orvane", "KV-S1 Simulator")
    assert info.firmware_version == (2, 3, 0) and info.interface == "ethernet"
    assert cam.firmware == "kvsim-2.3.0"
    assert {"device", "depth", "Point3D", "leftIR", "rightIR", "color", "laser"} <= set(cam.components)


# (component, feature name, type, value written, value read back); None: the write must fail with
# the given error class and code instead.
TYPED_WRITES = [
    ("laser", "power", "int", 60, 60, None),
    ("laser", "power", "int", 101, None, (kvdepth.OutOfRangeError, -1013)),
    ("laser", "auto control", "bool", True, True, None),
    ("depth", "image mode", "enum", "320x240", kvdepth.EnumEntry("320x240", 0x1400F0), None),
    ("depth", "image mode", "enum", 12345, None, (kvdepth.InvalidParameterError, -1006)),
    ("device", "SN", "str", "X", None, (kvdepth.NotPermittedError, -1004)),
    ("laser", "temperature", "float", 90.0, None, (kvdepth.OutOfRangeError, -1013)),
    # Floats and byte arrays have no device encoding: the library refuses to send them.
    ("laser", "temperature", "float", 40.0, None, (kvdepth.UnsupportedError, -1003)),
    ("laser", "user data", "bytes", b"\x01\x02", None, (kvdepth.UnsupportedError, -1003)),
    ("laser", "user data", "bytes", bytes(9), None, (kvdepth.WrongSizeError, -1011)),
    # Structures other than the trigger mode live in the model only.
    ("laser", "extrinsic 2", "struct", struct.pack("<16f", *range(16)), struct.pack("<16f", *range(16)), None),
    ("laser", "extrinsic 2", "struct", bytes(63), None, (kvdepth.WrongSizeError, -1011)),
    ("color", "color extrinsic", "struct", bytes(64), None, (kvdepth.NotPermittedError, -1004)),
    ("device", "trigger mode struct", "struct", struct.pack("<hH", 0, 0), struct.pack("<hH", 0, 0), None),
]


@pytest.mark.parametrize("component,name,kind,write,expected,error", TYPED_WRITES)
def test_every_feature_type_reads_and_writes(typed_cam, component, name, kind, write, expected, error):
    feature = typed_cam.features[component][name]
    assert feature.type == kind
    before = feature.value
    if error is None:
        feature.value = write
        assert feature.value == expected
    else:
        cls, code = error
        with pytest.raises(cls) as raised:
            feature.value = write
        assert raised.value.code == code and raised.value.message == kvdepth.error_string(code)
        assert feature.value == before


def test_static_values_and_limits(typed_cam):
    f = typed_cam.features
    assert f["laser"]["temperature"].value == pytest.approx(36.5)
    assert f["laser"]["temperature"].range[:2] == pytest.approx((-10, 80))
    assert f["laser"]["power"].range == (0, 100, 1)
    assert f["laser"]["user data"].value == b""
    fx, _, cx, _, fy, cy, *_ = f["depth"]["depth intrinsic"].floats()
    assert fx > 0 and fy > 0 and 0 < cx < f["depth"]["image width"].value
    assert f["depth"]["image mode"].entries[0].name  # entries carry the descriptor's names
    # A bound feature is the same value, reached through another component.
    assert f["leftIR"]["image width"].value == f["depth"]["image width"].value


ERRORS = [
    ("fetch while idle", lambda cam: cam.fetch(0.1), kvdepth.IdleError, -1017),
    ("trigger while idle", lambda cam: cam.trigger(), kvdepth.IdleError, -1017),
    ("start with nothing enabled", lambda cam: cam.start(), kvdepth.InvalidComponentError, -1008),
    ("unknown component", lambda cam: cam._device.get_int(0x00800000, 0x1500), kvdepth.InvalidComponentError,
     -1008),
    ("type mismatch", lambda cam: cam._device.get_int(0x00400000, 0x2001), kvdepth.WrongTypeError, -1010),
    ("unknown feature", lambda cam: cam._device.get_int(0x00400000, 0x1fff), kvdepth.InvalidFeatureError, -1009),
]


@pytest.mark.parametrize("what,call,cls,code", ERRORS, ids=[e[0] for e in ERRORS])
def test_errors_carry_class_and_code(typed_cam, what, call, cls, code):
    if typed_cam.enabled:
        typed_cam.disable(typed_cam.enabled)
    with pytest.raises(cls) as raised:
        call(typed_cam)
    assert isinstance(raised.value, kvdepth.Error) and raised.value.code == code


def test_open_of_an_unreachable_camera_raises():
    with pytest.raises(kvdepth.Error) as raised:
        kvdepth.open(ip="127.0.6.100")  # nothing listens there
    assert raised.value.code < 0


def test_context_manager_closes_also_on_exception(wall_sim):
    with pytest.raises(RuntimeError):
        with kvdepth.open(ip=wall_sim.ip) as cam:
            raise RuntimeError("boom")
    assert cam.closed
    with pytest.raises(kvdepth.InvalidHandleError):
        cam.info
    with kvdepth.open(ip=wall_sim.ip) as again:  # the camera was let go: it serves a new client
        assert again.info.id == wall_sim.serial
