// The Python module _krv: the KrvDm class, IntVector and DoubleVector, and the kit's constants.
// Built with -threads: every call into the kit runs without the interpreter lock.
%module(docstring="Deformable-mirror control kit: the KrvDm mirror object, vector types and the kit's constants.") krv

%{
#include "KrvDm.h"
#include <KRV.h>

#include <cstring>
#include <stdexcept>

namespace krvpy {
// numpy takes a null address for no data at all, so an empty vector points here.
const long double kNoItems = 0;
// Copies a one-dimensional, contiguous buffer of items of the given size and kind ('d' double, 'i' 32-bit int)
// in one block; false when the object offers no such buffer, and the caller converts it item by item.
template <typename T>
bool fromBuffer(PyObject* obj, std::vector<T>& out, char kind) {
    if (!PyObject_CheckBuffer(obj)) return false;
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
        PyErr_Clear();
        return false;
    }
    const char* f = view.format ? view.format : "B";
    if (*f == '<' || *f == '=' || *f == '@') ++f;
    const bool kindOk = kind == 'd' ? (f[0] == 'd') : (f[0] == 'i' || (f[0] == 'l' && sizeof(long) == 4));
    const bool ok = kindOk && f[1] == '\0' && view.itemsize == static_cast<Py_ssize_t>(sizeof(T)) && view.ndim == 1;
    if (ok) {
        const T* first = static_cast<const T*>(view.buf);
        out.assign(first, first + view.len / view.itemsize);
    }
    PyBuffer_Release(&view);
    return ok;
}
}  // namespace krvpy
%}

%include <stdint.i>
%include <std_vector.i>
%include <typemaps.i>
%include <exception.i>

%exception {
    try {
        $action
    } catch (const std::bad_alloc&) {
        SWIG_exception(SWIG_MemoryError, "out of memory");
    } catch (const std::exception& e) {
        SWIG_exception(SWIG_RuntimeError, e.what());
    }
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

// numpy reads a vector's items in one block through this interface: numpy.array(v) copies them,
// numpy.asarray(v) shares them while the vector is neither resized nor freed.
%extend std::vector<double> {
    size_t _address() { return reinterpret_cast<size_t>($self->empty() ? &krvpy::kNoItems : (void*)$self->data()); }
    %pythoncode %{
        @property
        def __array_interface__(self):
            return {"shape": (self.size(),), "typestr": "<f8", "data": (self._address(), False), "version": 3}
    %}
}
%extend std::vector<int> {
    size_t _address() { return reinterpret_cast<size_t>($self->empty() ? &krvpy::kNoItems : (void*)$self->data()); }
    %pythoncode %{
        @property
        def __array_interface__(self):
            return {"shape": (self.size(),), "typestr": "<i4", "data": (self._address(), False), "version": 3}
    %}
}

// Vector arguments: a contiguous buffer of the right item type (a numpy array, an array.array) is copied in one
// block; any other sequence of numbers is converted item by item.
%define KRV_VECTOR_IN(T, KIND)
%typemap(in, noblock=1) const std::vector<T>& (int res = SWIG_OLDOBJ, std::vector<T> block) {
    if (krvpy::fromBuffer($input, block, KIND)) {
        $1 = &block;
    } else {
        std::vector<T>* ptr = (std::vector<T>*)0;
        res = swig::asptr($input, &ptr);
        if (!SWIG_IsOK(res)) { %argument_fail(res, "$type", $symname, $argnum); }
        if (!ptr) { %argument_nullref("$type", $symname, $argnum); }
        $1 = ptr;
    }
}
%enddef
KRV_VECTOR_IN(double, 'd')
KRV_VECTOR_IN(int, 'i')

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
%ignore KRVErrorString;
%ignore KRVVersionString;
%include "KRV.h"

%feature("autodoc", "1");
%include "KrvDm_doc.i"
%include "KrvDm.h"
