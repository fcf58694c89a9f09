// The simulated sensor's scene: a flat wall in front of the sensor, turned about the sensor's
// vertical axis by a chosen tilt, seen through the 150 x 360 grid with sensor-like noise.
#ifndef TARN_SIM_SCENE_H
#define TARN_SIM_SCENE_H

#include <cstdint>

namespace tarn::sim {

constexpr int kRows = 150;
constexpr int kColumns = 360;
// A raw coordinate unit is 1/5 of a coordinate unit (the library divides raw values by 5).
constexpr float kRawPerUnit = 5.0f;

struct SceneConfig {
    // Tilt of the wall in degrees, in the plane measurement's own convention: the wall's x
    // falls by tan(tilt) per unit of y, so a positive tilt brings the wall nearer as y grows.
    float tiltDegrees = 0.0f;
    float wallDistance = 2000.0f;  // x of the wall at y = 0
    float columnPitch = 5.0f;      // y between neighbouring columns, centred on the grid
    float rowPitch = 5.0f;         // z between neighbouring rows, centred on the grid
    float noiseRaw = 2.0f;         // standard deviation of the noise on raw x, in raw units
    uint32_t seed = 1;             // noise seed; each frame draws its own noise from it
};

// One measured cell as the sensor encodes it.
struct RawPoint {
    int16_t x;
    int16_t y;
    int16_t z;
    uint16_t distance;
    uint8_t intensity;
};

class Scene {
  public:
    explicit Scene(const SceneConfig& config);

    const SceneConfig& config() const { return config_; }

    // The cell (row, column) of frame number frameIndex. Deterministic for a given config.
    RawPoint point(int row, int column, uint64_t frameIndex) const;

    // Coordinates the library decodes from a raw value (raw / 10 * 2 in single precision).
    static float decode(int16_t raw);

  private:
    SceneConfig config_;
    float slope_;  // dx/dy of the wall
};

}  // namespace tarn::sim

#endif  // TARN_SIM_SCENE_H
