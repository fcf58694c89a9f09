// Checks the messages library's CDR against Foxglove's own ROS 2 serialiser: builds each golden
// message from the rules in tests/messages/golden_frame.h, writes it with
// @foxglove/rosmsg2-serialization from the definition the library ships, and compares bytes.
//   node golden.mjs DIR   (DIR as written by golden_dump)
import { readFileSync } from "node:fs";
import { parse } from "@foxglove/rosmsg";
import { MessageReader, MessageWriter } from "@foxglove/rosmsg2-serialization";

const dir = process.argv[2];
const ROWS = 150, COLUMNS = 360, STEP = 24;
const NaN32 = NaN;

// Cells of rows 0 to 99 are the frame's; the others are published as unwritten.
function frameBytes(bytesPerCell, put) {
  const data = new Uint8Array(ROWS * COLUMNS * bytesPerCell);
  const view = new DataView(data.buffer);
  for (let r = 0; r < ROWS; r++) {
    for (let c = 0; c < COLUMNS; c++) {
      put(view, (r * COLUMNS + c) * bytesPerCell, r, c, r < 100);
    }
  }
  return data;
}

const frameHeader = { stamp: { sec: 1765000000, nanosec: 123456789 }, frame_id: "lidar_front" };
const field = (name, offset, datatype) => ({ name, offset, datatype, count: 1 });

const pointCloud = {
  header: frameHeader, height: ROWS, width: COLUMNS,
  fields: [field("x", 0, 7), field("y", 4, 7), field("z", 8, 7), field("intensity", 12, 7),
           field("distance", 16, 7), field("row", 20, 4), field("column", 22, 4)],
  is_bigendian: false, point_step: STEP, row_step: STEP * COLUMNS,
  data: frameBytes(STEP, (v, o, r, c, w) => {
    v.setFloat32(o, w ? r + 0.5 : NaN32, true);
    v.setFloat32(o + 4, w ? c - 180.25 : NaN32, true);
    v.setFloat32(o + 8, w ? (r * COLUMNS + c) / 4 : NaN32, true);
    v.setFloat32(o + 12, w ? r * 500 + c : 0, true);
    v.setFloat32(o + 16, w ? r * 2 + c / 8 : NaN32, true);
    v.setUint16(o + 20, r, true);
    v.setUint16(o + 22, c, true);
  }),
  is_dense: false,
};

const image = (encoding, bytes, put) => ({
  header: frameHeader, height: ROWS, width: COLUMNS, encoding, is_bigendian: 0,
  step: COLUMNS * bytes, data: frameBytes(bytes, put),
});
const depthImage = image("32FC1", 4, (v, o, r, c, w) => v.setFloat32(o, w ? r * 2 + c / 8 : NaN32, true));
const intensityImage = image("mono16", 2, (v, o, r, c, w) =>
  v.setUint16(o, w ? Math.min(r * 500 + c, 65535) : 0, true));

const sample = Uint8Array.from({ length: 26 }, (_, i) => (i * 37 + 3) & 0xff);
const imuHeader = { stamp: { sec: 1765000000, nanosec: 123457289 }, frame_id: "lidar_front" };
const imuRaw = { header: imuHeader, sample_flag: 1, sensor_timestamp: 5000n, data: sample };
const int16 = (offset) => new DataView(sample.buffer).getInt16(offset, true);
const covariance = (first) => [first, 0, 0, 0, 0, 0, 0, 0, 0];
const imu = {
  header: imuHeader,
  orientation: { x: 0, y: 0, z: 0, w: 1 }, orientation_covariance: covariance(-1),
  angular_velocity: { x: int16(0) * 0.001, y: int16(2) * 0.001, z: int16(4) * 0.001 },
  angular_velocity_covariance: covariance(0),
  linear_acceleration: { x: int16(6) * 0.01, y: int16(8) * 0.01, z: int16(10) * 0.01 },
  linear_acceleration_covariance: covariance(0),
};

const counters = ["datagrams_read", "datagrams_rejected", "datagrams_queue_full", "invalid_magic",
  "invalid_type", "invalid_version", "invalid_pixel_type", "invalid_frame_flag", "invalid_short",
  "invalid_imu_flag", "frames_completed", "frames_queue_full", "frames_lost_last", "frames_merged",
  "frames_too_long", "frames_decoded", "frames_incomplete", "imu_samples", "kernel_drops",
  "receive_buffer_bytes"];
const later = { frames_lost_last: 2, frames_decoded: 20 };
const diagnostics = {
  header: { stamp: { sec: 1765000002, nanosec: 0 }, frame_id: "lidar_front" },
  status: [{
    level: 1, name: "tarn stream", message: "2 frames lost since the last report",
    hardware_id: "127.0.0.1:6301",
    values: [...counters.map((key, i) => ({ key, value: String(1000 + i + (later[key] ?? 0)) })),
             { key: "frames_lost_since_last_report", value: "2" },
             { key: "frame_rate_hz", value: "20.00" }],
  }],
};

// Kind number, file, expected message, the dependencies its definition must carry in order.
const header = ["std_msgs/Header", "builtin_interfaces/Time"];
const cases = [
  [0, "point_cloud", pointCloud, ["sensor_msgs/PointField", ...header]],
  [1, "depth_image", depthImage, header],
  [2, "intensity_image", intensityImage, header],
  [3, "imu_raw", imuRaw, header],
  [4, "imu", imu, ["geometry_msgs/Quaternion", "geometry_msgs/Vector3", ...header]],
  [5, "diagnostics", diagnostics,
   ["diagnostic_msgs/DiagnosticStatus", "diagnostic_msgs/KeyValue", ...header]],
];

let failed = 0;
for (const [kind, name, expected, dependencies] of cases) {
  const text = readFileSync(`${dir}/definition_${kind}.txt`, "utf8");
  const definition = text.slice(text.indexOf("\n") + 1);
  const problems = [];
  const found = [...definition.matchAll(/^={80}\nMSG: (.+)$/gm)].map((m) => m[1]);
  if (found.join() !== dependencies.join()) problems.push(`definition carries ${found.join()}`);
  const types = parse(definition, { ros2: true });
  const want = new MessageWriter(types).writeMessage(expected);
  const got = new Uint8Array(readFileSync(`${dir}/${name}.cdr`));
  const at = got.findIndex((b, i) => b !== want[i]);
  if (got.length !== want.length || at >= 0) {
    problems.push(`bytes differ: ${got.length} against ${want.length}, first at ${at}`);
  }
  const reader = new MessageReader(types);
  reader.readMessage(got);
  if (reader.lastReadHadTrailingBytes()) problems.push("trailing bytes after the message");
  console.log(`${problems.length ? "FAIL" : "ok"} ${name} (${text.slice(0, text.indexOf("\n"))})`);
  for (const p of problems) console.log(`  ${p}`);
  failed += problems.length ? 1 : 0;
}
console.log(`${cases.length - failed} passed, ${failed} failed`);
process.exit(failed ? 1 : 0);
