// Result codes become the exceptions of tarn/errors.py.
#include <exception>

#include "KESOApi.h"
#include "bindings.h"
#include "tarn/tarn.h"

namespace tarn::python {

void check(int code) {
    if (code != TARN_OK) {
        throw LibraryError{code};
    }
}

const char* textArgument(const std::string& text) {
    if (text.find('\0') != std::string::npos) {
        throw py::value_error("text arguments may not contain NUL characters");
    }
    return text.c_str();
}

void bindErrors(py::module_& module) {
    // Kept for the life of the process: the translator may run during interpreter shutdown,
    // after module objects would otherwise have been released.
    static py::object* errors = new py::object(py::module_::import("tarn.errors"));
    py::register_exception_translator([](std::exception_ptr pending) {
        try {
            if (pending) {
                std::rethrow_exception(pending);
            }
        } catch (const LibraryError& error) {
            const py::object raised = errors->attr("error_for")(error.code);
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(raised.ptr())), raised.ptr());
        } catch (const AngleInUse& error) {
            const py::object raised = errors->attr("AngleInUseError")(error.message);
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(raised.ptr())), raised.ptr());
        }
    });
    module.def("strerror", &tarn_strerror, py::arg("code"),
               "The library's text for a result code.");
    module.def("version", &tarn_version, "The library's version, major.minor.patch.");

    // Every result code of the C interface, by its name without the prefix: OK, ERR_TIMEOUT, ...
#define TARN_PYTHON_RESULT_(name, value, text) \
    module.attr(&#name[sizeof "TARN_" - 1]) = static_cast<int>(name);
    TARN_RESULT_MAP(TARN_PYTHON_RESULT_)
#undef TARN_PYTHON_RESULT_
    module.attr("FRAME_READY") = TARN_FRAME_READY;
    module.attr("IMU_READY") = TARN_IMU_READY;
}

}  // namespace tarn::python
