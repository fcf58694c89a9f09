// The extension module tarn._tarn: thin bindings of the library and the simulated sensor.
#include "bindings.h"

PYBIND11_MODULE(_tarn, module) {
    module.doc() = "Bindings of libtarn_c_sdk and the simulated sensor; use the package tarn.";
    tarn::python::bindErrors(module);
    tarn::python::bindGrid(module);
    tarn::python::bindStreams(module);
    tarn::python::bindDecoder(module);
    tarn::python::bindControl(module);
    tarn::python::bindGeometry(module);
    tarn::python::bindLog(module);
    tarn::python::bindSim(module);
    tarn::python::bindPcap(module);
    tarn::python::bindSource(module);
    tarn::python::bindMcap(module);
    tarn::python::bindDds(module);
}
