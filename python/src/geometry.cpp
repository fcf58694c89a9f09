// Rotation of a grid in place and the plane angle measurement.
#include <atomic>
#include <cmath>

#include "KESOApi.h"
#include "grid.h"

namespace tarn::python {
namespace {

// The code of a measurement that is not enabled, raised for a closed PlaneAngle.
constexpr int kAngleNotEnabled = -100;

// True while a PlaneAngle is live. The library keeps one measurement per process; claiming it
// here makes a second PlaneAngle an error instead of a silent restart of the first one's history.
std::atomic<bool> angleClaimed{false};

KESOPointData (*keso(tarn_point* grid))[KESO_COLUMNS] {
    return reinterpret_cast<KESOPointData(*)[KESO_COLUMNS]>(grid);
}

void rotate(const py::object& points, float angleX, float angleY, float angleZ, float offsetX,
            float offsetY, float offsetZ) {
    const KESORotateInfo turn{angleX, angleY, angleZ, offsetX, offsetY, offsetZ};
    check(KESOGetRotatePointcloudData(keso(gridOf(points, true)), turn));
}

class PlaneAngle {
  public:
    explicit PlaneAngle(const KESOAngleMeasureParam& param) {
        if (angleClaimed.exchange(true)) {
            throw AngleInUse{
                "another PlaneAngle is live: the plane angle measurement is process-wide, so "
                "close() the first one (or leave its with block) before making another"};
        }
        KESOEnableAngleMeasure(true, param);
        live_ = true;
    }
    ~PlaneAngle() { close(); }
    PlaneAngle(const PlaneAngle&) = delete;
    PlaneAngle& operator=(const PlaneAngle&) = delete;

    // (angle, code, message); angle is NaN unless code is 0.
    py::tuple measure(const py::object& points) {
        if (!live_) {
            throw LibraryError{kAngleNotEnabled};
        }
        tarn_point* grid = gridOf(points, false);
        float angle = std::nanf("");
        KESOAngleResult result{};
        {
            py::gil_scoped_release release;
            result = KESOGetPlaneAngle(keso(grid), &angle);
        }
        // By value: the result is packed, so its members are misaligned.
        const int32_t code = result.code;
        const char* message = result.message;
        return py::make_tuple(angle, code, message);
    }

    void close() {
        if (live_) {
            live_ = false;
            KESOEnableAngleMeasure(false, KESOAngleMeasureParam{});
            angleClaimed = false;
        }
    }

  private:
    bool live_ = false;  // changed with the GIL held
};

}  // namespace

void bindGeometry(py::module_& module) {
    module.def("rotate", &rotate, py::arg("points"), py::arg("angle_x"), py::arg("angle_y"),
               py::arg("angle_z"), py::arg("offset_x"), py::arg("offset_y"), py::arg("offset_z"));

    py::class_<KESOAngleMeasureParam>(module, "AngleParam")
        .def(py::init<>())
        .def_readwrite("x_lower", &KESOAngleMeasureParam::xLower)
        .def_readwrite("x_upper", &KESOAngleMeasureParam::xUpper)
        .def_readwrite("y_lower", &KESOAngleMeasureParam::yLower)
        .def_readwrite("y_upper", &KESOAngleMeasureParam::yUpper)
        .def_readwrite("window_width", &KESOAngleMeasureParam::windowWidth)
        .def_readwrite("window_step", &KESOAngleMeasureParam::windowStep)
        .def_readwrite("bin_width", &KESOAngleMeasureParam::binWidth)
        .def_readwrite("z_upper", &KESOAngleMeasureParam::zUpper)
        .def_readwrite("z_lower", &KESOAngleMeasureParam::zLower)
        .def_readwrite("min_fit_points", &KESOAngleMeasureParam::minFitPoints)
        .def_readwrite("angle_tolerance", &KESOAngleMeasureParam::angleTolerance)
        .def_readwrite("extend_angle", &KESOAngleMeasureParam::extendAngle)
        .def_readwrite("reset_angle", &KESOAngleMeasureParam::resetAngle);

    py::class_<PlaneAngle>(module, "PlaneAngle")
        .def(py::init<const KESOAngleMeasureParam&>(), py::arg("param"))
        .def("measure", &PlaneAngle::measure, py::arg("points"))
        .def("close", &PlaneAngle::close);
}

}  // namespace tarn::python
