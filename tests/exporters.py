"""Hand-built producers for what no library exports: buffer views and Arrow C Data Interface
structures with any field values, true or not, that count how often they are released."""

import builtins
import ctypes
import math
import sys

P, I64, VOIDP, SSIZE = ctypes.POINTER, ctypes.c_int64, ctypes.c_void_p, ctypes.c_ssize_t
NULL = 0


def aligned_copy(data, padding=0):
    """A zero-filled 16-byte aligned ctypes buffer holding `data` followed by `padding` bytes."""
    memory = (ctypes.c_uint64 * (-(-(len(data) + padding) // 8) or 1))()
    ctypes.memmove(memory, bytes(data), len(data))
    return memory


# Buffer protocol: a heap type whose getbuffer slot is a ctypes callback. A view is released
# while the consumer's exception may be pending, when no Python code can run; so instead of a
# releasebuffer slot each view carries its own token object as its `obj`, and PyBuffer_Release
# dropping the view's reference to the token is the release.
class Py_buffer(ctypes.Structure):
    _fields_ = [("buf", VOIDP), ("obj", VOIDP), ("len", SSIZE), ("itemsize", SSIZE),
                ("readonly", ctypes.c_int), ("ndim", ctypes.c_int), ("format", VOIDP),
                ("shape", VOIDP), ("strides", VOIDP), ("suboffsets", VOIDP), ("internal", VOIDP)]


class _TypeSlot(ctypes.Structure):
    _fields_ = [("slot", ctypes.c_int), ("pfunc", VOIDP)]


class _TypeSpec(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("basicsize", ctypes.c_int), ("itemsize", ctypes.c_int),
                ("flags", ctypes.c_uint), ("slots", P(_TypeSlot))]


ctypes.pythonapi.Py_IncRef.argtypes = [ctypes.py_object]


@ctypes.CFUNCTYPE(ctypes.c_int, ctypes.py_object, P(Py_buffer), ctypes.c_int)
def _getbuffer(exporter, view, flags):
    # Runs inside the consumer's PyObject_GetBuffer: nothing here may raise.
    token = object()
    for name, value in zip(("buf", "len", "itemsize", "ndim", "format", "shape", "strides",
                            "suboffsets"), exporter._fields):
        setattr(view.contents, name, value)
    view.contents.readonly, view.contents.internal, view.contents.obj = 1, None, id(token)
    ctypes.pythonapi.Py_IncRef(token)  # the view's reference, dropped by PyBuffer_Release
    exporter.tokens.append(token)
    return 0


_slots = (_TypeSlot * 2)(_TypeSlot(1, ctypes.cast(_getbuffer, VOIDP)), _TypeSlot(0, None))  # 1: bf_getbuffer
_spec = _TypeSpec(b"exporters.RawExporter", object.__basicsize__, 0, 1 << 18 | 1 << 10, _slots)
ctypes.pythonapi.PyType_FromSpec.restype = ctypes.py_object


# The count, seen from a comprehension over a list holding it, of a token whose view is released.
_UNREFERENCED = [sys.getrefcount(token) for token in [object()]][0]


class BufferExporter(ctypes.pythonapi.PyType_FromSpec(ctypes.byref(_spec))):
    """Exports a view whose Py_buffer fields are exactly the ones given, consistent or not.

    `data` is copied into 16-byte aligned memory with `padding` zero bytes after it; the view
    starts `offset` bytes into it unless `buf` gives the address (NULL: a null address). `len`
    defaults to the bytes after the start, `shape` to (len // itemsize,) in each of `ndim`
    dimensions, `strides` to C order; None gives a null pointer. Keeps a token per view acquired
    in `tokens` and counts the `released` ones (a view released twice counts twice). The caller
    keeps the memory covering whatever the fields claim."""

    def __init__(self, data=b"", *, padding=0, offset=0, buf=None, len=None, itemsize=1,
                 format=b"B", ndim=1, shape=(), strides=(), suboffsets=None):
        self.memory, self.tokens, self._kept = aligned_copy(data, padding), [], []
        buf = ctypes.addressof(self.memory) + offset if buf is None else buf
        len = ctypes.sizeof(self.memory) - offset if len is None else len
        natural = (len // itemsize if itemsize else 0,) + (1,) * (ndim - 1)
        shape = natural if shape == () else shape
        if strides == ():
            dims = natural if shape is None else shape
            strides = [itemsize * math.prod(dims[i + 1:]) for i in range(builtins.len(dims))]
        pointers = []
        for values in (format, shape, strides, suboffsets):
            if values is not None:  # arrays as long as the largest of ndim and those given
                self._kept.append(ctypes.create_string_buffer(values) if isinstance(values, bytes)
                                  else (SSIZE * max(ndim, builtins.len(values), 1))(*values))
            pointers.append(values is not None and ctypes.addressof(self._kept[-1]) or None)
        self._fields = (buf or None, len, itemsize, ndim, *pointers)

    @property
    def released(self):
        return sum([_UNREFERENCED + 1 - sys.getrefcount(token) for token in self.tokens])


# Arrow C Data Interface structures, exported through capsules like a real producer's.
class ArrowSchema(ctypes.Structure):
    pass


class ArrowArray(ctypes.Structure):
    pass


SCHEMA_RELEASE, ARRAY_RELEASE = ctypes.CFUNCTYPE(None, P(ArrowSchema)), ctypes.CFUNCTYPE(None, P(ArrowArray))
CAPSULE_DESTRUCTOR = ctypes.CFUNCTYPE(None, VOIDP)
ArrowSchema._fields_ = [
    ("format", ctypes.c_char_p), ("name", ctypes.c_char_p), ("metadata", ctypes.c_char_p),
    ("flags", I64), ("n_children", I64), ("children", P(P(ArrowSchema))),
    ("dictionary", P(ArrowSchema)), ("release", SCHEMA_RELEASE), ("private_data", VOIDP)]
ArrowArray._fields_ = [
    ("length", I64), ("null_count", I64), ("offset", I64), ("n_buffers", I64),
    ("n_children", I64), ("buffers", P(VOIDP)), ("children", P(P(ArrowArray))),
    ("dictionary", P(ArrowArray)), ("release", ARRAY_RELEASE), ("private_data", VOIDP)]
MARK_SCHEMA_RELEASED = SCHEMA_RELEASE(lambda p: setattr(p.contents, "release", SCHEMA_RELEASE()))
MARK_ARRAY_RELEASED = ARRAY_RELEASE(lambda p: setattr(p.contents, "release", ARRAY_RELEASE()))
capsule_new = ctypes.pythonapi.PyCapsule_New
capsule_new.restype = ctypes.py_object
capsule_new.argtypes = [VOIDP, ctypes.c_char_p, CAPSULE_DESTRUCTOR]


def node(fmt, length, buffers, children=(), name=b"x", flags=2, null_count=0, offset=0,
         dictionary=None):
    """A (schema, array) pair. Buffers are bytes (copied to aligned memory) or None; the pair
    keeps everything it points to alive."""
    kept = [b is not None and aligned_copy(b) for b in buffers]
    schema = ArrowSchema(format=fmt, name=name, flags=flags, n_children=len(children),
                         release=MARK_SCHEMA_RELEASED)
    array = ArrowArray(length=length, null_count=null_count, offset=offset, n_buffers=len(buffers),
                       n_children=len(children), release=MARK_ARRAY_RELEASED,
                       buffers=(VOIDP * len(buffers))(*[k and ctypes.addressof(k) for k in kept]))
    array._kept, schema._kept = kept, [children, dictionary]
    if children:
        schemas, arrays = zip(*children)
        schema.children = (P(ArrowSchema) * len(children))(*map(ctypes.pointer, schemas))
        array.children = (P(ArrowArray) * len(children))(*map(ctypes.pointer, arrays))
    if dictionary is not None:
        schema.dictionary, array.dictionary = map(ctypes.pointer, dictionary)
    return schema, array


class CExport:
    """An exported (schema, array) pair whose capsules behave like a real producer's: the array
    capsule releases an array nobody took over. Counts the releases of the array in `released`.
    `change` breaks the export after it is built."""

    def __init__(self, schema, array, change=None):
        self.schema, self.array, self.released = schema, array, 0
        # A field read shares the structure's memory: keep the callback's address instead.
        address = ctypes.cast(array.release, VOIDP).value
        inner = ARRAY_RELEASE(address) if address else None

        def release(pointer):
            self.released += 1
            pointer.contents.release = inner
            if inner:
                inner(pointer)
            pointer.contents.release = ARRAY_RELEASE()

        self.array.release = ARRAY_RELEASE(release)
        self.destructor = CAPSULE_DESTRUCTOR(lambda _: self._release_array())
        if change:
            change(self)

    @classmethod
    def struct(cls, columns, length, validity=None, null_count=0, offset=0, change=None):
        """A record batch: a struct of `columns` ((schema, array) pairs)."""
        return cls(*node(b"+s", length, [validity], columns, name=b"", null_count=null_count,
                         offset=offset), change)

    def _release_array(self):
        if self.array.release:
            self.array.release(ctypes.pointer(self.array))

    def __arrow_c_array__(self, requested_schema=None):
        return (capsule_new(ctypes.addressof(self.schema), b"arrow_schema", CAPSULE_DESTRUCTOR()),
                capsule_new(ctypes.addressof(self.array), b"arrow_array", self.destructor))

    def __del__(self):
        self._release_array()
        if self.schema.release:
            self.schema.release(ctypes.pointer(self.schema))
