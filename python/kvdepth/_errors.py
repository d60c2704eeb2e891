"""Exceptions raised by kvdepth: one class per library status code, all under kvdepth.Error."""

import builtins


class Error(Exception):
    """A kvdepth call failed. `code` is the library's status code, `message` its text."""

    code = -1001

    def __init__(self, code=None, message="", context=""):
        self.code = self.code if code is None else code
        self.message = message
        self.context = context
        where = f"{context}: " if context else ""
        super().__init__(f"{where}{message} ({self.code})")


def _status(name, code, *bases, doc):
    cls = type(name, (Error,) + bases, {"code": code, "__doc__": doc})
    globals()[name] = cls
    return cls


_by_code = {
    cls.code: cls
    for cls in (
        _status("NotInitializedError", -1002, doc="The library is not initialised."),
        _status("UnsupportedError", -1003, builtins.NotImplementedError,
                doc="The device or library does not implement this."),
        _status("NotPermittedError", -1004, builtins.PermissionError, doc="The feature is not writable."),
        _status("DeviceError", -1005, builtins.IOError, doc="The device failed or did not answer."),
        _status("InvalidParameterError", -1006, builtins.ValueError, doc="An argument is not acceptable."),
        _status("InvalidHandleError", -1007, doc="The camera is closed or unknown."),
        _status("InvalidComponentError", -1008, builtins.KeyError, doc="The camera has no such component."),
        _status("InvalidFeatureError", -1009, builtins.KeyError, doc="The component has no such feature."),
        _status("WrongTypeError", -1010, builtins.TypeError, doc="The feature has another value type."),
        _status("WrongSizeError", -1011, builtins.ValueError, doc="A buffer or value has the wrong size."),
        _status("OutOfMemoryError", -1012, builtins.MemoryError, doc="An output is too small."),
        _status("OutOfRangeError", -1013, builtins.ValueError, doc="The value is outside the feature's range."),
        _status("TimeoutError", -1014, builtins.TimeoutError, doc="Nothing arrived in time."),
        _status("WrongModeError", -1015, doc="Not possible in the current mode (trigger or callback)."),
        _status("BusyError", -1016, doc="Not possible while capturing."),
        _status("IdleError", -1017, doc="Needs a running capture."),
        _status("NoDataError", -1018, doc="No data available."),
        _status("NoBufferError", -1019, doc="No frame buffer enqueued."),
        _status("NullPointerError", -1020, doc="A required argument is missing."),
        _status("ReadOnlyFeatureError", -1021, builtins.PermissionError, doc="The feature is read-only."),
    )
}


class DeviceOfflineError(DeviceError):
    """The camera went offline (its connection broke) while frames were awaited."""

    code = -2001


_by_code[DeviceOfflineError.code] = DeviceOfflineError


def error_class(code):
    """The exception class for a status code; Error for codes without a class of their own."""
    return _by_code.get(code, Error)


__all__ = ["Error", "DeviceOfflineError", "error_class"] + [c.__name__ for c in _by_code.values()]
