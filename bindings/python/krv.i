// The Python module _krv: the KrvDm class, IntVector and DoubleVector, and the kit's constants.
// KrvDm's methods call into the kit without the interpreter lock; everything else (the vector types, the argument
// conversions) keeps it, so that Python objects are only touched by the thread that holds it.
%module(docstring="Deformable-mirror control kit: the KrvDm mirror object, vector types and the kit's constants.",
        threads="1") krv

%{
#include "KrvDm.h"
#include <KRV.h>

#include <cstring>
#include <stdexcept>

namespace krvpy {
// Thrown where a Python exception is already set; the wrapper returns it as it is.
struct PythonError {};

// Slice bounds as Python computes them: indices through __index__ (numpy integers), bounds beyond the length
// clipped to it, a zero step refused. The vector types' slice methods take their bounds from here.
inline int sliceIndices(PyObject* slice, Py_ssize_t length, Py_ssize_t* start, Py_ssize_t* stop,
                        Py_ssize_t* step) {
    if (PySlice_Unpack(slice, start, stop, step) < 0) throw PythonError();
    PySlice_AdjustIndices(length, start, stop, *step);
    return 0;
}

// The one-dimensional, C-contiguous buffer of items of kind KIND ('d' double, 'i' 32-bit int) that obj offers,
// held in view until released; false (and no Python error) when it offers none of that kind.
inline bool viewOf(PyObject* obj, Py_buffer& view, char kind, Py_ssize_t itemsize) {
    if (!PyObject_CheckBuffer(obj)) return false;
    if (PyObject_GetBuffer(obj, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
        PyErr_Clear();
        return false;
    }
    const char* f = view.format ? view.format : "B";
    if (*f == '<' || *f == '=' || *f == '@') ++f;
    const bool kindOk = kind == 'd' ? f[0] == 'd' : (f[0] == 'i' || (f[0] == 'l' && sizeof(long) == 4));
    if (kindOk && f[1] == '\0' && view.itemsize == itemsize && view.ndim == 1) return true;
    PyBuffer_Release(&view);
    view.obj = nullptr;
    return false;
}

// Item-by-item conversion of any other sequence of numbers; false with a Python error set on the first item that
// is not one.
inline bool itemOf(PyObject* item, double& out) {
    out = PyFloat_AsDouble(item);
    return !(out == -1.0 && PyErr_Occurred());
}
inline bool itemOf(PyObject* item, int& out) {
    PyObject* index = PyNumber_Index(item);
    if (!index) return false;
    const long v = PyLong_AsLong(index);
    Py_DECREF(index);
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < INT32_MIN || v > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value out of the range of a 32-bit int");
        return false;
    }
    out = static_cast<int>(v);
    return true;
}
template <typename T>
bool itemsOf(PyObject* obj, std::vector<T>& out) {
    PyObject* seq = PySequence_Fast(obj, "a sequence of numbers is expected");
    if (!seq) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
    PyObject** items = PySequence_Fast_ITEMS(seq);
    out.resize(static_cast<size_t>(n));
    bool ok = true;
    for (Py_ssize_t k = 0; k < n && ok; ++k) ok = itemOf(items[k], out[static_cast<size_t>(k)]);
    Py_DECREF(seq);
    return ok;
}
}  // namespace krvpy

// The vector types' slice methods (from SWIG's library) call PySlice_GetIndices and ignore its failure, which
// leaves their bounds undefined; they get the checked conversion instead.
#define PySlice_GetIndices krvpy::sliceIndices
%}

%include <stdint.i>
%include <std_vector.i>
%include <typemaps.i>
%include <exception.i>

%exception {
    try {
        $action
    } catch (const krvpy::PythonError&) {
        SWIG_fail;
    } catch (const std::bad_alloc&) {
        SWIG_exception(SWIG_MemoryError, "out of memory");
    } catch (const std::exception& e) {
        SWIG_exception(SWIG_RuntimeError, e.what());
    }
}

// From here to KrvDm: no call releases the interpreter lock.
%nothread;

// Item indices as Python takes them: numpy integers too, and an index too large for the platform is an IndexError.
%typemap(typecheck, precedence=SWIG_TYPECHECK_INT64) std::vector<double>::difference_type,
                                                     std::vector<int>::difference_type {
    $1 = PyIndex_Check($input) ? 1 : 0;
}
%typemap(in) std::vector<double>::difference_type, std::vector<int>::difference_type {
    const Py_ssize_t index = PyNumber_AsSsize_t($input, PyExc_IndexError);
    if (index == -1 && PyErr_Occurred()) SWIG_fail;
    $1 = static_cast<$1_ltype>(index);
}

%template(IntVector) std::vector<int>;
%template(DoubleVector) std::vector<double>;

// The kit's vectors come back as IntVector and DoubleVector objects, not as tuples.
%typemap(out) std::vector<double> {
    $result = SWIG_NewPointerObj(new std::vector<double>(std::move($1)), $descriptor(std::vector<double>*), SWIG_POINTER_OWN);
}
%typemap(out) std::vector<int> {
    $result = SWIG_NewPointerObj(new std::vector<int>(std::move($1)), $descriptor(std::vector<int>*), SWIG_POINTER_OWN);
}

// numpy reads a vector's items through this interface from a copy of them, a read-only bytes object: a vector
// moves its items when it grows and frees them when it goes, and an array must not be left pointing there.
%extend std::vector<double> {
    PyObject* _items() { return PyBytes_FromStringAndSize(reinterpret_cast<const char*>($self->data()),
                                                          static_cast<Py_ssize_t>($self->size() * sizeof(double))); }
    %pythoncode %{
        @property
        def __array_interface__(self):
            return {"shape": (self.size(),), "typestr": "<f8", "data": self._items(), "version": 3}
    %}
}
%extend std::vector<int> {
    PyObject* _items() { return PyBytes_FromStringAndSize(reinterpret_cast<const char*>($self->data()),
                                                          static_cast<Py_ssize_t>($self->size() * sizeof(int))); }
    %pythoncode %{
        @property
        def __array_interface__(self):
            return {"shape": (self.size(),), "typestr": "<i4", "data": self._items(), "version": 3}
    %}
}

// Value arguments: a one-dimensional, contiguous buffer of the right item type (a numpy array, an array.array)
// is read where it lies, held (and so kept from being resized or freed) until the call returns; an IntVector or
// DoubleVector is copied in one block, any other sequence of numbers item by item.
%define KRV_VALUES_IN(T, KIND, LABEL)
%typemap(in) KrvValues<T> (Py_buffer view = {}, std::vector<T> items, std::vector<T>* vector = nullptr) {
    if (krvpy::viewOf($input, view, KIND, static_cast<Py_ssize_t>(sizeof(T)))) {
        $1 = KrvValues<T>(static_cast<const T*>(view.buf), static_cast<size_t>(view.len) / sizeof(T));
    } else if (SWIG_IsOK(SWIG_ConvertPtr($input, reinterpret_cast<void**>(&vector), $descriptor(std::vector<T>*), 0))
               && vector) {
        // A copy: another thread may resize the vector while the kit reads.
        items = *vector;
        $1 = KrvValues<T>(items);
    } else {
        if (!krvpy::itemsOf($input, items)) { %argument_fail(SWIG_TypeError, LABEL, $symname, $argnum); }
        $1 = KrvValues<T>(items);
    }
}
%typemap(freearg) KrvValues<T> {
    if (view$argnum.obj) PyBuffer_Release(&view$argnum);
}
// Overloads differ in their argument counts only: telling them apart needs no look at every item.
%typemap(typecheck, precedence=SWIG_TYPECHECK_DOUBLE_ARRAY) KrvValues<T> {
    $1 = PyObject_CheckBuffer($input) || PySequence_Check($input);
}
%enddef
KRV_VALUES_IN(double, 'd', "DoubleVector")
KRV_VALUES_IN(int, 'i', "IntVector")
// The signature lines name the Python types.
%typemap(doc, type="DoubleVector") KrvDoubles "$1_name: DoubleVector"
%typemap(doc, type="IntVector") KrvInts "$1_name: IntVector"

// Flags take any Python truth value, as an if statement would.
%typemap(in) bool {
    const int truth = PyObject_IsTrue($input);
    if (truth < 0) SWIG_fail;
    $1 = truth != 0;
}
%typemap(typecheck, precedence=SWIG_TYPECHECK_BOOL) bool { $1 = 1; }

// Output vectors come back as extra return values.
%typemap(in, numinputs=0) std::vector<double>* commands (std::vector<double> temp),
                          std::vector<double>* phaseOut (std::vector<double> temp) {
    $1 = &temp;
}
%typemap(argout) std::vector<double>* commands, std::vector<double>* phaseOut {
    $result = SWIG_Python_AppendOutput($result,
        SWIG_NewPointerObj(new std::vector<double>(std::move(*$1)), $descriptor(std::vector<double>*), SWIG_POINTER_OWN));
}
%apply double* OUTPUT { double* minValue, double* maxValue };

// Constants come from the public header itself; its functions and records are reached through KrvDm only.
#define KRVAPI
%ignore DM_DRIVER;
%ignore DM;
%ignore DMState;
%ignore KRVOpen;
%ignore KRVClose;
%ignore KRVSetArray;
%ignore KRVSetSingle;
%ignore KRVGetArray;
%ignore KRVClearArray;
%ignore KRVLoadMap;
%ignore KRVApplyMap;
%ignore KRVLoadCalibrationFile;
%ignore KRVConfigureSequence;
%ignore KRVEnableSequence;
%ignore KRVConfigureDither;
%ignore KRVEnableDither;
%ignore KRVSetProfilesPath;
%ignore KRVSetMapsPath;
%ignore KRVSetCalibrationsPath;
%ignore KRVConfigureLog;
%ignore KRVLogCallback;
%ignore KRVSetLogCallback;
%ignore KRVErrorString;
%ignore KRVVersionString;
%include "KRV.h"

%feature("autodoc", "1");
%include "KrvDm_doc.i"
// KrvDm's methods run without the interpreter lock, so that other Python threads go on while the kit works.
%thread;
%ignore KrvValues;
%include "KrvDm.h"
%nothread;


// The kit's log messages into a Python callable, for the mirrorkit package.
%{
namespace krvpy {
PyObject* logHandler = nullptr;  // owned; read and replaced with the interpreter lock held

void forwardLog(KRV_LOGLEVEL level, const char* logger, const char* message, void*) {
    if (!Py_IsInitialized()) return;
    PyGILState_STATE gil = PyGILState_Ensure();
    if (PyObject* handler = logHandler) {
        Py_INCREF(handler);
        PyObject* name = PyUnicode_DecodeUTF8(logger, static_cast<Py_ssize_t>(std::strlen(logger)), "replace");
        PyObject* text = PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "replace");
        PyObject* result =
            name && text ? PyObject_CallFunction(handler, "iOO", static_cast<int>(level), name, text) : nullptr;
        if (!result) PyErr_WriteUnraisable(handler);
        Py_XDECREF(result);
        Py_XDECREF(name);
        Py_XDECREF(text);
        Py_DECREF(handler);
    }
    PyGILState_Release(gil);
}
}  // namespace krvpy
%}

%feature("docstring") _set_log_handler "
Hands the kit's log messages to a Python callable.

handler(level, logger, message) is called for every message the kit logs, with its KRV_LOG_ level, the name of the
kit's logger (KRV.API, KRV.PCIe, ...) and the text, from whichever thread logs it; the messages no longer go to
standard error. None sends them to standard error again. mirrorkit sets this at import.

Possible errors: none

:param handler: A callable, or None.
:return: None.
";
%inline %{
void _set_log_handler(PyObject* handler) {
    if (handler == Py_None) handler = nullptr;
    if (handler && !PyCallable_Check(handler)) {
        PyErr_SetString(PyExc_TypeError, "the log handler must be callable or None");
        throw krvpy::PythonError();
    }
    Py_XINCREF(handler);
    PyObject* old = krvpy::logHandler;
    krvpy::logHandler = handler;
    // The kit waits for the calls of the callback in flight, and they may wait for the interpreter lock.
    Py_BEGIN_ALLOW_THREADS
    KRVSetLogCallback(handler ? krvpy::forwardLog : nullptr, nullptr);
    Py_END_ALLOW_THREADS
    Py_XDECREF(old);
}
%}
