"""The component/feature tree of a camera, built from its device descriptor."""

import collections.abc
import struct
import xml.etree.ElementTree as ElementTree
from typing import NamedTuple

TYPE_INT, TYPE_FLOAT, TYPE_ENUM, TYPE_BOOL = 0x1000, 0x2000, 0x3000, 0x4000
TYPE_STRING, TYPE_BYTES, TYPE_STRUCT = 0x5000, 0x6000, 0x7000
_TYPE_NAMES = {TYPE_INT: "int", TYPE_FLOAT: "float", TYPE_ENUM: "enum", TYPE_BOOL: "bool",
               TYPE_STRING: "str", TYPE_BYTES: "bytes", TYPE_STRUCT: "struct"}

# Struct features have fixed layouts; the library answers only requests of exactly that size.
STRUCT_SIZES = {0x7000: 36, 0x7001: 64, 0x7002: 64, 0x7006: 48, 0x7523: 4}

# Features the library knows by identifier; used when the device sends no descriptor text.
_WELL_KNOWN = (0x5f00, 0x5f01, 0x5f02, 0x5f03, 0x5f04, 0x4200, 0x1202, 0x3107, 0x3108, 0x1003, 0x1004,
               0x1104, 0x1105, 0x1301, 0x1303, 0x1500, 0x1520, 0x1521, 0x1522, 0x4300, 0x4302, 0x4304,
               0x4501, 0x4510, 0x4511, 0x7000, 0x7001, 0x7002, 0x7006, 0x7523)


def _parse_int(text):
    """Descriptor integers: decimal, or hexadecimal with a lower-case 0x prefix; anything else is 0."""
    text = (text or "").strip()
    try:
        return int(text[2:], 16) if text.startswith("0x") else int(text)
    except ValueError:
        return 0


def _signed32(value):
    value &= 0xffffffff
    return value - (1 << 32) if value & 0x80000000 else value


class EnumEntry(NamedTuple):
    """One entry of an enumeration feature."""
    name: str
    value: int


class Feature:
    """One typed value of a component. `value` reads (from the device where needed) and writes it."""

    def __init__(self, device, component, feature_id, info):
        self._device = device
        self.component = component
        self.id = feature_id
        self.name = info["name"]
        self.access = info["access"]
        self.writable_at_run = info["writable_at_run"]
        self.type = _TYPE_NAMES.get(feature_id & 0xf000, "unknown")

    @property
    def readable(self):
        return bool(self.access & 1)

    @property
    def writable(self):
        return bool(self.access & 2)

    def __repr__(self):
        return f"<Feature {self.name!r} ({self.type}, 0x{self.id:04x})>"

    @property
    def range(self):
        """(min, max, inc) of an int or float feature."""
        d, c, f = self._device, self.component, self.id
        return d.int_range(c, f) if self.type == "int" else d.float_range(c, f)

    @property
    def entries(self):
        """The entries of an enumeration feature, in descriptor order."""
        return [EnumEntry(n, v) for n, v in self._device.enum_entries(self.component, self.id)]

    @property
    def value(self):
        d, c, f, t = self._device, self.component, self.id, self.type
        if t == "int":
            return d.get_int(c, f)
        if t == "float":
            return d.get_float(c, f)
        if t == "bool":
            return d.get_bool(c, f)
        if t == "str":
            return d.get_string(c, f)
        if t == "bytes":
            return d.get_bytes(c, f)
        if t == "enum":
            value = d.get_enum(c, f)
            return next((e for e in self.entries if e.value == value), EnumEntry("", value))
        if t == "struct":
            return d.get_struct(c, f, self._struct_size())
        raise TypeError(f"feature 0x{f:04x} has an unknown value type")

    @value.setter
    def value(self, new):
        d, c, f, t = self._device, self.component, self.id, self.type
        if t == "int":
            d.set_int(c, f, _exact_int(new))
        elif t == "float":
            d.set_float(c, f, float(new))
        elif t == "bool":
            d.set_bool(c, f, bool(new))
        elif t == "str":
            d.set_string(c, f, str(new))
        elif t in ("bytes", "struct"):
            data = bytes(new)
            (d.set_bytes if t == "bytes" else d.set_struct)(c, f, data)
        elif t == "enum":
            d.set_enum(c, f, self._enum_value(new))
        else:
            raise TypeError(f"feature 0x{f:04x} has an unknown value type")

    def _enum_value(self, new):
        if isinstance(new, EnumEntry):
            return new.value
        if isinstance(new, str):
            for entry in self.entries:
                if entry.name == new:
                    return entry.value
            raise ValueError(f"{self.name!r} has no entry {new!r}")
        return _exact_int(new)

    def _struct_size(self):
        if self.id in STRUCT_SIZES:
            return STRUCT_SIZES[self.id]
        raise TypeError(f"struct feature 0x{self.id:04x} has no known layout")

    def floats(self):
        """A struct feature's value as a tuple of 32-bit floats (intrinsics, extrinsics, distortion)."""
        data = self.value
        return struct.unpack(f"<{len(data) // 4}f", data)


def _exact_int(value):
    if isinstance(value, bool) or int(value) != value:
        raise TypeError(f"expected an integer, got {value!r}")
    return int(value)


class Component(collections.abc.Mapping):
    """The features of one component, by name (as the descriptor gives it) or by identifier."""

    def __init__(self, name, component_id, features):
        self.name = name
        self.id = component_id
        self._features = features  # name -> Feature, descriptor order

    def __getitem__(self, key):
        if isinstance(key, int):
            for feature in self._features.values():
                if feature.id == key:
                    return feature
            raise KeyError(f"component {self.name!r} has no feature 0x{key:04x}")
        return self._features[key]

    def __iter__(self):
        return iter(self._features)

    def __len__(self):
        return len(self._features)

    def __repr__(self):
        return f"<Component {self.name!r} (0x{self.id & 0xffffffff:08x}): {list(self._features)}>"


class FeatureTree(collections.abc.Mapping):
    """Components of a camera by name or identifier; each maps feature names to Feature objects."""

    def __init__(self, device):
        self._components = {}
        for name, cid, feature_ids in _layout(device):
            features = {}
            for fid in feature_ids:
                info = device.feature_info(cid, fid)
                if info is not None and info["name"] not in features:
                    features[info["name"]] = Feature(device, cid, fid, info)
            self._components[name] = Component(name, cid, features)

    def __getitem__(self, key):
        if isinstance(key, int):
            for component in self._components.values():
                if component.id == _signed32(key):
                    return component
            raise KeyError(f"no component 0x{key & 0xffffffff:08x}")
        return self._components[key]

    def __iter__(self):
        return iter(self._components)

    def __len__(self):
        return len(self._components)

    def __repr__(self):
        return f"<FeatureTree {list(self._components)}>"


def _layout(device):
    """(name, id, feature ids) per component, from the descriptor or, failing that, by probing."""
    try:
        root = ElementTree.fromstring(device.descriptor())
    except Exception:  # no descriptor text or not XML: probe the identifiers the library knows
        root = None
    present = device.components()
    if root is not None:
        layout = []
        for comp in root.iter("component"):
            cid = _signed32(_parse_int(comp.get("id")))
            if not cid or cid & present != cid:
                continue
            ids = []
            for feat in comp.findall("feature"):
                ref = _parse_int(feat.get("bind")) or _parse_int(feat.get("id"))
                ids.append(ref & 0xffff)
            layout.append((comp.get("name") or f"0x{cid & 0xffffffff:08x}", cid, ids))
        if layout:
            return layout
    bits = [_signed32(1 << b) for b in range(16, 32) if present & _signed32(1 << b)]
    return [(f"0x{c & 0xffffffff:08x}", c, _WELL_KNOWN) for c in bits]
