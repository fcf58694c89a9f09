// The parts of the extension module tarn._tarn. Each part registers its names on the module; the
// Python package (python/tarn/) builds the public classes on top of them.
#ifndef TARN_PYTHON_BINDINGS_H
#define TARN_PYTHON_BINDINGS_H

#include <pybind11/pybind11.h>

#include <string>

namespace tarn::python {

namespace py = pybind11;

// A library result code other than success, raised in Python as the tarn.Error subclass of its
// family (tarn/errors.py).
struct LibraryError {
    int code;
};

// A second live plane angle measurement, raised as tarn.AngleInUseError.
struct AngleInUse {
    std::string message;
};

// Throws LibraryError for every code but 0.
void check(int code);

// text as a C string for the library; a NUL inside it would cut it short, so that is refused
// with ValueError.
const char* textArgument(const std::string& text);

void bindErrors(py::module_& module);
void bindGrid(py::module_& module);
void bindStreams(py::module_& module);
void bindDecoder(py::module_& module);
void bindControl(py::module_& module);
void bindGeometry(py::module_& module);
void bindLog(py::module_& module);
void bindSim(py::module_& module);
// Recordings (tarn/recording.h) and the frame source (tarn/source.h).
void bindPcap(py::module_& module);
void bindSource(py::module_& module);
// MCAP files (tarn/mcap.h): tarn.mcap.Writer, and their frames for tarn.open.
void bindMcap(py::module_& module);
// The DDS publisher (tarn/dds.h).
void bindDds(py::module_& module);

}  // namespace tarn::python

#endif  // TARN_PYTHON_BINDINGS_H
