-- Wireshark dissector for the tarn depth sensor: the measurement datagrams (UDP, point and IMU
-- datagrams; docs/datagram.md) and the control frames on TCP port 6501 (docs/control-frame.md).
--
-- cmake --install puts it into Wireshark's folder of Lua plugins (with the prefix /usr on Debian,
-- /usr/lib/x86_64-linux-gnu/wireshark/plugins), where Wireshark and tshark find it by themselves.
-- Without installing, copy it into the personal Lua plugin folder (Help > About Wireshark >
-- Folders > Personal Lua Plugins, usually ~/.local/lib/wireshark/plugins/), or load it for one run:
--   wireshark -X lua_script:tools/wireshark/tarn.lua capture.pcap
--   tshark -X lua_script:tools/wireshark/tarn.lua -r capture.pcap -V
--
-- Measurement datagrams are found on any UDP port by their first bytes (5A A5, then data type 1
-- or 4 at byte 3), and always on the ports of the "Measurement UDP port" preference (6301).

local tarn = Proto("tarn", "tarn sensor measurement datagram")
local tarn_ctl = Proto("tarn_ctl", "tarn sensor control frame")

-- Format constants -------------------------------------------------------------------------------

local MAGIC = 0xA55A
local DATA_TYPE_POINT = 1
local DATA_TYPE_IMU = 4
local POINT_HEADER_BYTES = 45
local IMU_DATAGRAM_BYTES = 46
local STRIP_COLUMNS = 4
local GRID_ROWS = 150
local GRID_COLUMNS = 360
local RAW_TO_COORDINATE = 2 / 10  -- a coordinate is raw / 10 * 2
local NANOSECONDS_PER_MILLISECOND = 1000000
local SENSOR_DATA_PORT = 6301

local CONTROL_PORT = 6501
local CONTROL_HEADER_BYTES = 21
local CONTROL_HEAD_CRC_SPAN = 19
local CONTROL_STATUS_BYTES = 4
local SETTINGS_BYTES = 44

local CMD_GET_PKG_SIZE = 0x0001
local CMD_SET_PKG_SIZE = 0x0002
local CMD_SET_NET_INFO = 0x0201
local CMD_GET_NET_INFO = 0x0202

local data_types = { [DATA_TYPE_POINT] = "Point", [DATA_TYPE_IMU] = "IMU" }
local pixel_types = {
    [0] = "4-byte: distance, intensity",
    [1] = "8-byte: x, y, z, intensity",
    [2] = "10-byte: distance, x, y, z, intensity",
}
local pixel_sizes = { [0] = 4, [1] = 8, [2] = 10 }
local frame_flags = { [0] = "first", [1] = "middle", [2] = "last" }
local commands = {
    [CMD_GET_PKG_SIZE] = "Read package size",
    [CMD_SET_PKG_SIZE] = "Set package size",
    [CMD_SET_NET_INFO] = "Write network settings",
    [CMD_GET_NET_INFO] = "Read network settings",
}
local crc_states = { [0] = "Bad", [1] = "Good" }

-- Measurement fields -----------------------------------------------------------------------------

local f = {
    magic = ProtoField.uint16("tarn.magic", "Magic", base.HEX),
    byte2 = ProtoField.uint8("tarn.byte2", "Byte 2 (not read)", base.HEX),
    data_type = ProtoField.uint8("tarn.data_type", "Data type", base.DEC, data_types),
    unused_4 = ProtoField.bytes("tarn.unused_4", "Bytes 4-5 (not read)"),
    version_minor = ProtoField.uint8("tarn.version_minor", "Version minor"),
    unused_7 = ProtoField.bytes("tarn.unused_7", "Bytes 7-10 (not read)"),
    tag = ProtoField.uint8("tarn.tag", "Tag"),
    first_column = ProtoField.uint16("tarn.first_column", "First column"),
    first_row = ProtoField.uint16("tarn.first_row", "First row"),
    unused_16 = ProtoField.bytes("tarn.unused_16", "Bytes 16-17 (not read)"),
    pixel_type = ProtoField.uint8("tarn.pixel_type", "Pixel type", base.DEC, pixel_types),
    unused_19 = ProtoField.uint8("tarn.unused_19", "Byte 19 (not read)", base.HEX),
    frame_flag = ProtoField.uint8("tarn.frame_flag", "Frame flag", base.DEC, frame_flags),
    unused_21 = ProtoField.bytes("tarn.unused_21", "Bytes 21-36 (not read)"),
    timestamp = ProtoField.uint64("tarn.timestamp", "Timestamp"),
    pixel_count = ProtoField.uint16("tarn.pixel_count", "Whole pixels"),
    pixel_rest = ProtoField.bytes("tarn.pixel_rest", "Bytes after the last whole pixel (ignored)"),
    pixels = ProtoField.none("tarn.pixels", "Pixels"),
    last_row = ProtoField.uint16("tarn.last_row", "Last row"),
    last_column = ProtoField.uint16("tarn.last_column", "Last column"),
    pixel = ProtoField.bytes("tarn.pixel", "Pixel"),
    pixel_row = ProtoField.uint16("tarn.pixel.row", "Row"),
    pixel_column = ProtoField.uint16("tarn.pixel.column", "Column"),
    pixel_distance = ProtoField.uint16("tarn.pixel.distance", "Distance"),
    pixel_x = ProtoField.int16("tarn.pixel.x", "x (raw)"),
    pixel_y = ProtoField.int16("tarn.pixel.y", "y (raw)"),
    pixel_z = ProtoField.int16("tarn.pixel.z", "z (raw)"),
    pixel_intensity = ProtoField.uint8("tarn.pixel.intensity", "Intensity"),
    pixel_spare = ProtoField.uint8("tarn.pixel.spare", "Spare (not read)", base.HEX),
    imu_header = ProtoField.bytes("tarn.imu.header", "Header (sensor-defined)"),
    imu_sample_flag = ProtoField.uint8("tarn.imu.sample_flag", "Sample flag"),
    imu_reserved = ProtoField.bytes("tarn.imu.reserved", "Reserved (sensor-defined)"),
    imu_timestamp = ProtoField.uint64("tarn.imu.timestamp", "Timestamp (ns)"),
    imu_timestamp_ms = ProtoField.uint64("tarn.imu.timestamp_ms", "Timestamp as delivered (ms)"),
    imu_sample = ProtoField.bytes("tarn.imu.sample", "Sample (sensor-defined)"),
    imu_accel_x = ProtoField.float("tarn.imu.accel_x", "Acceleration x (m/s^2)"),
    imu_accel_y = ProtoField.float("tarn.imu.accel_y", "Acceleration y (m/s^2)"),
    imu_accel_z = ProtoField.float("tarn.imu.accel_z", "Acceleration z (m/s^2)"),
    imu_gyro_x = ProtoField.float("tarn.imu.gyro_x", "Rotation x (deg/s)"),
    imu_gyro_y = ProtoField.float("tarn.imu.gyro_y", "Rotation y (deg/s)"),
    imu_gyro_z = ProtoField.float("tarn.imu.gyro_z", "Rotation z (deg/s)"),
    imu_padding = ProtoField.bytes("tarn.imu.padding", "Padding"),
}
tarn.fields = f

local e = {
    short = ProtoExpert.new("tarn.short", "Too short: the library drops it",
                            expert.group.MALFORMED, expert.severity.ERROR),
    dropped = ProtoExpert.new("tarn.dropped", "The library drops this datagram",
                              expert.group.PROTOCOL, expert.severity.WARN),
    outside = ProtoExpert.new("tarn.outside", "Outside the 150 x 360 grid: skipped",
                              expert.group.PROTOCOL, expert.severity.NOTE),
}
tarn.experts = e

local prefs = tarn.prefs
prefs.udp_port = Pref.uint("Measurement UDP port", SENSOR_DATA_PORT,
                           "UDP port always decoded as tarn measurements")
prefs.unread = Pref.bool("Show unread bytes", false,
                         "Show the header bytes the library does not read (byte 2, and bytes " ..
                         "4-5, 7-10, 16-17, 19 and 21-36 of a point datagram) in a shown tree " ..
                         "(six items: about a third of a shown datagram's cost)")
prefs.pixels = Pref.bool("Decode pixels", false,
                         "Show every pixel of a point datagram as a subtree of its fields " ..
                         "(ten items a pixel: about 30 times slower to show)")

-- Point datagrams --------------------------------------------------------------------------------
--
-- A point datagram carries up to a few hundred pixels of up to nine fields each, so the pixels
-- are what costs: ten items a pixel, each a call from Lua into Wireshark, make a shown datagram
-- about 30 times dearer than its header. A shown tree (Wireshark's packet details, tshark -V,
-- tshark -T fields) therefore holds the header and one summary item of the pixels (their count,
-- bytes, last row and column); every pixel as a subtree of its fields comes with the "Decode
-- pixels" preference (-o tarn.pixels:TRUE), and the header's bytes the library does not read with
-- "Show unread bytes" (-o tarn.unread:TRUE). A tree that is not shown (Wireshark's packet list
-- and display filters, tshark reading or filtering a file) gets only the fields a filter, a
-- column or a tap refers to, pixel fields and unread bytes included, whatever the preferences.
-- (Wireshark tells a shown tree that every field is referred to, so a filter on a pixel field or
-- an unread byte needs its preference where the tree is shown: tshark -V or -T fields with -Y.)
--
-- Everything a packet needs is built here once, when the script loads; per packet the dissector
-- reads the header as one string and adds items, and builds no table.

local floor = math.floor
local format = string.format
local byte = string.byte
local sub = string.sub
-- Wireshark's methods, taken once: a call through the object (item:add) looks the method up
-- through the object's metatable on every call.
local add = TreeItem.add
local add_le = TreeItem.add_le
local set_generated = TreeItem.set_generated
local set_text = TreeItem.set_text
local add_expert = TreeItem.add_proto_expert_info
local referenced = TreeItem.referenced
local range = Tvb.range
local raw = Tvb.raw
local tvb_len = Tvb.len

-- Where each value lies inside a pixel, by pixel type; nil where the layout lacks it.
local pixel_layouts = {
    [0] = { distance = 0, intensity = 2 },
    [1] = { x = 0, y = 2, z = 4, intensity = 6 },
    [2] = { distance = 0, x = 2, y = 4, z = 6, intensity = 8 },
}

-- The fields of one pixel, in the order of the wanted flags below.
local pixel_fields = {
    f.pixel, f.pixel_row, f.pixel_column, f.pixel_distance, f.pixel_x, f.pixel_y, f.pixel_z,
    f.pixel_intensity, f.pixel_spare,
}
local wanted = {}  -- per packet: which of pixel_fields the tree needs (reused, never rebuilt)

-- Whether a tree that is not shown needs any pixel field; fills wanted.
local function find_wanted(tree)
    local any = false
    for i = 1, #pixel_fields do
        local needed = referenced(tree, pixel_fields[i])
        wanted[i] = needed
        any = any or needed
    end
    return any
end

-- The signed 16-bit little-endian value at byte k (from 0) of a Lua string.
local function int16_at(bytes, k)
    local low, high = byte(bytes, k + 1, k + 2)
    local value = low + high * 256
    return value >= 0x8000 and value - 0x10000 or value
end

local function add_coordinate(item, field, tvb, at, bytes, k, name)
    local raw_value = int16_at(bytes, k)
    add_le(item, field, range(tvb, at, 2), raw_value,
           format("%s (raw): %d (%.1f)", name, raw_value, raw_value * RAW_TO_COORDINATE))
end

-- Every pixel as a subtree of its fields, for a tree that is shown. Values and labels come from
-- one copy of the pixel bytes, so that each item is one call into Wireshark.
local function add_shown_pixels(tree, tvb, count, size, layout, first_row, first_column)
    local bytes = raw(tvb, POINT_HEADER_BYTES, count * size)
    local d, x, y, z, n = layout.distance, layout.x, layout.y, layout.z, layout.intensity
    for i = 0, count - 1 do
        local k = i * size
        local at = POINT_HEADER_BYTES + k
        local row = first_row + floor(i / STRIP_COLUMNS)
        local column = first_column + i % STRIP_COLUMNS
        local item = add(tree, f.pixel, range(tvb, at, size), sub(bytes, k + 1, k + size),
                         "Pixel [" .. row .. ", " .. column .. "]")
        set_generated(add(item, f.pixel_row, row))
        set_generated(add(item, f.pixel_column, column))
        if row >= GRID_ROWS or column >= GRID_COLUMNS then
            add_expert(item, e.outside)
        end
        if d then
            local low, high = byte(bytes, k + d + 1, k + d + 2)
            add_le(item, f.pixel_distance, range(tvb, at + d, 2), low + high * 256)
        end
        if x then
            add_coordinate(item, f.pixel_x, tvb, at + x, bytes, k + x, "x")
            add_coordinate(item, f.pixel_y, tvb, at + y, bytes, k + y, "y")
            add_coordinate(item, f.pixel_z, tvb, at + z, bytes, k + z, "z")
        end
        add(item, f.pixel_intensity, range(tvb, at + n, 1), byte(bytes, k + n + 1))
        add(item, f.pixel_spare, range(tvb, at + n + 1, 1), byte(bytes, k + n + 2))
    end
end

-- Only the wanted pixel fields, straight under the datagram, for a tree that is not shown.
local function add_wanted_pixels(tree, tvb, count, size, layout, first_row, first_column)
    local w_pixel, w_row, w_column = wanted[1], wanted[2], wanted[3]
    local d = wanted[4] and layout.distance
    local x = wanted[5] and layout.x
    local y = wanted[6] and layout.y
    local z = wanted[7] and layout.z
    local n = wanted[8] and layout.intensity
    local s = wanted[9] and layout.intensity + 1
    for i = 0, count - 1 do
        local at = POINT_HEADER_BYTES + i * size
        if w_pixel then
            add(tree, f.pixel, range(tvb, at, size))
        end
        if w_row then
            set_generated(add(tree, f.pixel_row, first_row + floor(i / STRIP_COLUMNS)))
        end
        if w_column then
            set_generated(add(tree, f.pixel_column, first_column + i % STRIP_COLUMNS))
        end
        if d then
            add_le(tree, f.pixel_distance, range(tvb, at + d, 2))
        end
        if x then
            add_le(tree, f.pixel_x, range(tvb, at + x, 2))
        end
        if y then
            add_le(tree, f.pixel_y, range(tvb, at + y, 2))
        end
        if z then
            add_le(tree, f.pixel_z, range(tvb, at + z, 2))
        end
        if n then
            add(tree, f.pixel_intensity, range(tvb, at + n, 1))
        end
        if s then
            add(tree, f.pixel_spare, range(tvb, at + s, 1))
        end
    end
end

-- Pixels past the grid's last row or column, from the strip's place alone.
local function pixels_outside(count, first_row, first_column)
    local outside = 0
    for i = 0, STRIP_COLUMNS - 1 do
        local in_column = floor((count - 1 - i) / STRIP_COLUMNS) + 1  -- pixels in strip column i
        if in_column > 0 then
            if first_column + i >= GRID_COLUMNS then
                outside = outside + in_column
            elseif first_row + in_column > GRID_ROWS then
                outside = outside + first_row + in_column - math.max(first_row, GRID_ROWS)
            end
        end
    end
    return outside
end

-- The fixed fields of a point datagram's header, after the common start: field, offset, width,
-- little-endian, unread (bytes the library does not read).
local point_header = {
    { f.unused_4, 4, 2, false, true }, { f.version_minor, 6, 1 },
    { f.unused_7, 7, 4, false, true }, { f.tag, 11, 1 }, { f.first_column, 12, 2, true },
    { f.first_row, 14, 2, true }, { f.unused_16, 16, 2, false, true }, { f.pixel_type, 18, 1 },
    { f.unused_19, 19, 1, false, true }, { f.frame_flag, 20, 1 },
    { f.unused_21, 21, 16, false, true }, { f.timestamp, 37, 8, true },
}
local VERSION_ITEM, PIXEL_TYPE_ITEM, FRAME_FLAG_ITEM = 2, 8, 10

-- Adds the fields of a header table that the tree needs and returns the items in a table reused
-- from packet to packet: items[i] is false when field i was not added. A tree that is not shown
-- gets the fields a filter or column refers to; a shown one (to which Wireshark says every field
-- is referred) all but the unread bytes, which come with the "Show unread bytes" preference, as
-- the pixels do with theirs. Each item is two calls into Wireshark (its range and the item), an
-- allocation each: in a shown tree the six unread ranges cost about a third of the dissector's
-- time.
local function add_fields(tree, tvb, fields, items, shown)
    local unread = shown and prefs.unread
    for i = 1, #fields do
        local field = fields[i]
        local item = false
        if (shown and (unread or not field[5])) or (not shown and referenced(tree, field[1])) then
            item = (field[4] and add_le or add)(tree, field[1], range(tvb, field[2], field[3]))
        end
        items[i] = item
    end
    return items
end
local point_items = {}

-- The little-endian 64-bit value at byte k (from 0) of a Lua string, as text: exact arithmetic
-- below 2^48 (every timestamp seen so far), Wireshark's UInt64 above.
local function uint64_text(bytes, k, tvb)
    local b0, b1, b2, b3, b4, b5, b6, b7 = byte(bytes, k + 1, k + 8)
    if b6 == 0 and b7 == 0 then
        return format("%.0f", ((((b5 * 256 + b4) * 256 + b3) * 256 + b2) * 256 + b1) * 256 + b0)
    end
    return tostring(range(tvb, k, 8):le_uint64())
end

-- The summary of a shown datagram's pixels: their bytes, count, and the last row and column.
local function add_pixel_summary(tree, tvb, count, size, payload, first_row, first_column)
    local last_row = first_row + floor((count - 1) / STRIP_COLUMNS)
    local last_column = first_column + (count < STRIP_COLUMNS and count or STRIP_COLUMNS) - 1
    local summary = add(tree, f.pixels, range(tvb, POINT_HEADER_BYTES, count * size))
    set_text(summary, format("Pixels: %d of %d bytes, rows %d to %d, columns %d to %d", count,
                             size, first_row, last_row, first_column, last_column))
    set_generated(add(summary, f.pixel_count, count))
    set_generated(add(summary, f.last_row, last_row))
    set_generated(add(summary, f.last_column, last_column))
    if payload % size ~= 0 then
        add(tree, f.pixel_rest, range(tvb, POINT_HEADER_BYTES + count * size))
    end
end

-- needed: whether the tree needs any field of the dissector (false without a tree).
local function dissect_point(tvb, cols, tree, needed, length)
    if length < POINT_HEADER_BYTES then
        add_expert(tree, e.short, "Point datagram shorter than its 45-byte header")
        cols.info = "Point datagram, too short"
        return
    end
    local shown = needed and tree.visible
    local items = point_items
    if needed then
        add_fields(tree, tvb, point_header, items, shown)
    else
        items[VERSION_ITEM], items[PIXEL_TYPE_ITEM], items[FRAME_FLAG_ITEM] = false, false, false
    end

    local header = raw(tvb, 0, POINT_HEADER_BYTES)
    local version_minor = byte(header, 7)
    local first_column = byte(header, 13) + byte(header, 14) * 256
    local first_row = byte(header, 15) + byte(header, 16) * 256
    local pixel_type = byte(header, 19)
    local frame_flag = byte(header, 21)
    local flag_name = frame_flags[frame_flag]
    if version_minor ~= 0 then
        add_expert(items[VERSION_ITEM] or tree, e.dropped, "version_minor is not 0: dropped")
    end
    if flag_name == nil then
        add_expert(items[FRAME_FLAG_ITEM] or tree, e.dropped,
                   "frameFlag is not 0, 1 or 2: dropped")
    end
    local size = pixel_sizes[pixel_type]
    local info = format("Point, %s, column %d row %d, timestamp %s", flag_name or "bad flag",
                        first_column, first_row, uint64_text(header, 37, tvb))
    if size == nil then
        cols.info = info
        add_expert(items[PIXEL_TYPE_ITEM] or tree, e.dropped,
                   "pixel type is not 0, 1 or 2: dropped")
        return
    end
    local payload = length - POINT_HEADER_BYTES
    local count = floor(payload / size)
    cols.info = format("%s, %d pixels", info, count)
    local outside = pixels_outside(count, first_row, first_column)
    if outside > 0 then
        add_expert(tree, e.outside, format("%d pixels outside the 150 x 360 grid: skipped", outside))
    end
    if not needed then
        return
    end
    if shown then
        if count > 0 then
            add_pixel_summary(tree, tvb, count, size, payload, first_row, first_column)
        else
            set_generated(add(tree, f.pixel_count, count))
        end
        if count > 0 and prefs.pixels then
            add_shown_pixels(tree, tvb, count, size, pixel_layouts[pixel_type], first_row,
                             first_column)
        end
        return
    end
    if referenced(tree, f.pixel_count) then
        set_generated(add(tree, f.pixel_count, count))
    end
    if count > 0 and referenced(tree, f.last_row) then
        set_generated(add(tree, f.last_row, first_row + floor((count - 1) / STRIP_COLUMNS)))
    end
    if count > 0 and referenced(tree, f.last_column) then
        set_generated(add(tree, f.last_column,
                          first_column + (count < STRIP_COLUMNS and count or STRIP_COLUMNS) - 1))
    end
    if payload % size ~= 0 and referenced(tree, f.pixel_rest) then
        add(tree, f.pixel_rest, range(tvb, POINT_HEADER_BYTES + count * size))
    end
    if count > 0 and find_wanted(tree) then
        add_wanted_pixels(tree, tvb, count, size, pixel_layouts[pixel_type], first_row,
                          first_column)
    end
end

-- IMU datagrams ----------------------------------------------------------------------------------

local imu_sample_fields = {
    f.imu_accel_x, f.imu_accel_y, f.imu_accel_z, f.imu_gyro_x, f.imu_gyro_y, f.imu_gyro_z,
}
local IMU_SAMPLE_OFFSET = 20
local IMU_VALUE_BYTES = 4

local function dissect_imu(tvb, pinfo, tree)
    if tvb:len() < IMU_DATAGRAM_BYTES then
        tree:add_proto_expert_info(e.short, "IMU datagram shorter than 46 bytes")
        pinfo.cols.info:set("IMU datagram, too short")
        return
    end
    tree:add(f.unused_4, tvb(4, 2))
    tree:add(f.imu_header, tvb(6, 2))
    local flag = tree:add(f.imu_sample_flag, tvb(8, 1))
    if tvb(8, 1):uint() ~= 1 then
        flag:add_proto_expert_info(e.dropped, "sampleFlag is not 1: dropped")
    end
    tree:add(f.imu_reserved, tvb(9, 3))
    local nanoseconds = tvb(12, 8):le_uint64()
    tree:add_le(f.imu_timestamp, tvb(12, 8))
    tree:add(f.imu_timestamp_ms, nanoseconds / NANOSECONDS_PER_MILLISECOND):set_generated()
    local sample = tree:add(f.imu_sample, tvb(IMU_SAMPLE_OFFSET, 26))
    sample:append_text(" (as the simulated sensor fills it)")
    for i = 1, #imu_sample_fields do
        sample:add_le(imu_sample_fields[i],
                      tvb(IMU_SAMPLE_OFFSET + (i - 1) * IMU_VALUE_BYTES, IMU_VALUE_BYTES))
    end
    sample:add(f.imu_padding, tvb(44, 2))
    pinfo.cols.info:set("IMU, timestamp " .. tostring(nanoseconds) .. " ns")
end

-- The measurement datagram ----------------------------------------------------------------------

local common_start = {
    { f.magic, 0, 2, true }, { f.byte2, 2, 1, false, true }, { f.data_type, 3, 1 },
}
local MAGIC_ITEM, DATA_TYPE_ITEM = 1, 3
local common_items = {}
local tarn_handle  -- the dissector as a handle, to ask whether the tree needs it at all

function tarn.dissector(tvb, pinfo, tree)
    local cols = pinfo.cols  -- one lookup of the columns a packet
    cols.protocol = "TARN"
    local root = add(tree, tarn, range(tvb))
    local length = tvb_len(tvb)
    if length < 4 then
        add_expert(root, e.short, "Shorter than the 4 bytes every datagram starts with")
        return length
    end
    -- Without a tree (tshark reading a file, Wireshark's packet list) or with one that needs
    -- nothing of this dissector's, only the columns and the expert notes are made.
    local needed = referenced(tree, tarn_handle)
    local items = common_items
    if needed then
        add_fields(root, tvb, common_start, items, tree.visible)
    else
        items[MAGIC_ITEM], items[DATA_TYPE_ITEM] = false, false
    end
    local start = raw(tvb, 0, 4)
    local b0, b1, _, data_type = byte(start, 1, 4)
    if b0 + b1 * 256 ~= MAGIC then
        add_expert(items[MAGIC_ITEM] or root, e.dropped, "magic is not 0xA55A: dropped")
    end
    if data_type == DATA_TYPE_POINT then
        dissect_point(tvb, cols, root, needed, length)
    elseif data_type == DATA_TYPE_IMU then
        dissect_imu(tvb, pinfo, root)
    else
        add_expert(items[DATA_TYPE_ITEM] or root, e.dropped, "data type is not 1 or 4: dropped")
        cols.info = "Unknown data type " .. data_type
    end
    return length
end
tarn_handle = Dissector.get("tarn")

local function looks_like_measurement(tvb)
    local length = tvb_len(tvb)
    if length < 4 then
        return false
    end
    local b0, b1, _, data_type = byte(raw(tvb, 0, 4), 1, 4)
    return b0 + b1 * 256 == MAGIC and ((data_type == DATA_TYPE_POINT and length >= POINT_HEADER_BYTES)
        or (data_type == DATA_TYPE_IMU and length == IMU_DATAGRAM_BYTES))
end

local function heuristic(tvb, pinfo, tree)
    if not looks_like_measurement(tvb) then
        return false
    end
    tarn.dissector(tvb, pinfo, tree)
    return true
end

-- Control frames ---------------------------------------------------------------------------------

local c = {
    direction = ProtoField.string("tarn_ctl.direction", "Direction"),
    magic = ProtoField.uint16("tarn_ctl.magic", "Magic", base.HEX),
    fixed_2 = ProtoField.uint8("tarn_ctl.fixed_2", "Fixed byte 2", base.HEX),
    fixed_3 = ProtoField.uint8("tarn_ctl.fixed_3", "Fixed byte 3", base.HEX),
    fixed_4 = ProtoField.uint16("tarn_ctl.fixed_4", "Fixed bytes 4-5", base.HEX),
    fixed_6 = ProtoField.uint8("tarn_ctl.fixed_6", "Fixed byte 6", base.HEX),
    fixed_7 = ProtoField.uint16("tarn_ctl.fixed_7", "Fixed bytes 7-8", base.HEX),
    command = ProtoField.uint16("tarn_ctl.command", "Command", base.HEX, commands),
    data_len = ProtoField.uint16("tarn_ctl.data_len", "Data length"),
    reserved = ProtoField.bytes("tarn_ctl.reserved", "Reserved"),
    head_crc = ProtoField.uint8("tarn_ctl.head_crc", "Header CRC-8", base.HEX),
    head_crc_status = ProtoField.uint8("tarn_ctl.head_crc.status", "Header CRC-8 status",
                                       base.DEC, crc_states),
    data_crc = ProtoField.uint8("tarn_ctl.data_crc", "Data CRC-8", base.HEX),
    data_crc_status = ProtoField.uint8("tarn_ctl.data_crc.status", "Data CRC-8 status",
                                       base.DEC, crc_states),
    payload = ProtoField.bytes("tarn_ctl.payload", "Payload"),
    status = ProtoField.uint32("tarn_ctl.status", "Status (0 = carried out)"),
    pkg_size = ProtoField.int32("tarn_ctl.pkg_size", "Package size"),
    reply_data = ProtoField.bytes("tarn_ctl.reply_data", "Reply data"),
    settings = ProtoField.bytes("tarn_ctl.settings", "Network settings"),
    address = ProtoField.ipv4("tarn_ctl.settings.address", "Address"),
    netmask = ProtoField.ipv4("tarn_ctl.settings.netmask", "Netmask"),
    gateway = ProtoField.ipv4("tarn_ctl.settings.gateway", "Gateway"),
    host_address = ProtoField.ipv4("tarn_ctl.settings.host_address", "Host address"),
    data_port = ProtoField.uint16("tarn_ctl.settings.data_port", "Data port"),
    host_port = ProtoField.uint16("tarn_ctl.settings.host_port", "Host port"),
    mac = ProtoField.ether("tarn_ctl.settings.mac", "MAC"),
    settings_reserved = ProtoField.bytes("tarn_ctl.settings.reserved", "Reserved"),
}
tarn_ctl.fields = c

local ce = {
    head_crc = ProtoExpert.new("tarn_ctl.head_crc.bad", "Header CRC-8 wrong",
                               expert.group.CHECKSUM, expert.severity.ERROR),
    data_crc = ProtoExpert.new("tarn_ctl.data_crc.bad", "Data CRC-8 wrong",
                               expert.group.CHECKSUM, expert.severity.WARN),
    no_status = ProtoExpert.new("tarn_ctl.no_status", "Reply without a 4-byte status",
                                expert.group.MALFORMED, expert.severity.ERROR),
}
tarn_ctl.experts = ce

tarn_ctl.prefs.tcp_port = Pref.uint("Control TCP port", CONTROL_PORT, "The sensor's control port")

-- CRC-8, polynomial 0x31, most significant bit first, initial value 0, no final XOR. Plain
-- arithmetic, so the script runs on every Lua version Wireshark ships.
local function xor8(a, b)
    local result, bit = 0, 1
    for _ = 1, 8 do
        local x, y = a % 2, b % 2
        if x ~= y then
            result = result + bit
        end
        a, b, bit = (a - x) / 2, (b - y) / 2, bit * 2
    end
    return result
end

local CRC_POLYNOMIAL = 0x31
local crc_table = {}
for value = 0, 255 do
    local crc = value
    for _ = 1, 8 do
        if crc >= 0x80 then
            crc = xor8((crc * 2) % 0x100, CRC_POLYNOMIAL)
        else
            crc = (crc * 2) % 0x100
        end
    end
    crc_table[value] = crc
end

local function crc8(range)
    local crc = 0
    if range == nil then
        return crc
    end
    local bytes = range:bytes()
    for i = 0, bytes:len() - 1 do
        crc = crc_table[xor8(crc, bytes:get_index(i))]
    end
    return math.floor(crc)
end

local function add_crc(tree, field, status_field, expert_info, stored_range, computed)
    local item = tree:add(field, stored_range)
    local good = stored_range:uint() == computed
    tree:add(status_field, good and 1 or 0):set_generated()
    if not good then
        item:add_proto_expert_info(expert_info, string.format("CRC-8 wrong: 0x%02X, computed 0x%02X",
                                                              stored_range:uint(), computed))
    end
end

local function add_settings(tree, range)
    local item = tree:add(c.settings, range)
    item:append_text(" (as the simulated sensor lays them out)")
    item:add(c.address, range(0, 4))
    item:add(c.netmask, range(4, 4))
    item:add(c.gateway, range(8, 4))
    item:add(c.host_address, range(12, 4))
    item:add_le(c.data_port, range(16, 2))
    item:add_le(c.host_port, range(18, 2))
    item:add(c.mac, range(20, 6))
    item:add(c.settings_reserved, range(26, 18))
end

local function dissect_request(tree, command, payload)
    if command == CMD_SET_PKG_SIZE and payload ~= nil and payload:len() == 4 then
        tree:add_le(c.pkg_size, payload)
    elseif command == CMD_SET_NET_INFO and payload ~= nil and payload:len() == SETTINGS_BYTES then
        add_settings(tree, payload)
    elseif payload ~= nil then
        tree:add(c.payload, payload)
    end
end

-- Returns the reply's status, or nil when it carries none.
local function dissect_reply(tree, command, payload)
    if payload == nil or payload:len() < CONTROL_STATUS_BYTES then
        tree:add_proto_expert_info(ce.no_status)
        return nil
    end
    tree:add_le(c.status, payload(0, CONTROL_STATUS_BYTES))
    local rest = payload:len() - CONTROL_STATUS_BYTES
    if rest == 0 then
        return payload(0, CONTROL_STATUS_BYTES):le_uint()
    end
    local data = payload(CONTROL_STATUS_BYTES, rest)
    if command == CMD_GET_PKG_SIZE and rest == 4 then
        tree:add_le(c.pkg_size, data)
    elseif command == CMD_GET_NET_INFO and rest == SETTINGS_BYTES then
        add_settings(tree, data)
    else
        tree:add(c.reply_data, data)
    end
    return payload(0, CONTROL_STATUS_BYTES):le_uint()
end

local function control_frame_length(tvb, pinfo, offset)
    return CONTROL_HEADER_BYTES + tvb(offset + 11, 2):le_uint()
end

local function dissect_control_frame(tvb, pinfo, tree)
    local is_request = pinfo.dst_port == tarn_ctl.prefs.tcp_port
    local root = tree:add(tarn_ctl, tvb())
    root:add(c.direction, is_request and "request" or "reply"):set_generated()
    root:add_le(c.magic, tvb(0, 2))
    root:add(c.fixed_2, tvb(2, 1))
    root:add(c.fixed_3, tvb(3, 1))
    root:add_le(c.fixed_4, tvb(4, 2))
    root:add(c.fixed_6, tvb(6, 1))
    root:add_le(c.fixed_7, tvb(7, 2))
    root:add_le(c.command, tvb(9, 2))
    root:add_le(c.data_len, tvb(11, 2))
    root:add(c.reserved, tvb(13, 6))
    local data_len = tvb(11, 2):le_uint()
    local payload = data_len > 0 and tvb(CONTROL_HEADER_BYTES, data_len) or nil
    add_crc(root, c.head_crc, c.head_crc_status, ce.head_crc, tvb(19, 1),
            crc8(tvb(0, CONTROL_HEAD_CRC_SPAN)))
    add_crc(root, c.data_crc, c.data_crc_status, ce.data_crc, tvb(20, 1), crc8(payload))

    local command = tvb(9, 2):le_uint()
    local name = string.format("%s (0x%04X)", commands[command] or "Unknown command", command)
    if is_request then
        dissect_request(root, command, payload)
        pinfo.cols.info:append("Request " .. name .. " ")
    else
        local status = dissect_reply(root, command, payload)
        pinfo.cols.info:append("Reply " .. name .. ", status " .. tostring(status) .. " ")
    end
    return tvb:len()
end

function tarn_ctl.dissector(tvb, pinfo, tree)
    pinfo.cols.protocol:set("TARN-CTL")
    pinfo.cols.info:set("")
    dissect_tcp_pdus(tvb, tree, CONTROL_HEADER_BYTES, control_frame_length, dissect_control_frame)
    return tvb:len()
end

-- Registration -----------------------------------------------------------------------------------

local udp_port = prefs.udp_port
local tcp_port = tarn_ctl.prefs.tcp_port
DissectorTable.get("udp.port"):add(udp_port, tarn)
DissectorTable.get("tcp.port"):add(tcp_port, tarn_ctl)
tarn:register_heuristic("udp", heuristic)

function tarn.prefs_changed()
    DissectorTable.get("udp.port"):remove(udp_port, tarn)
    udp_port = prefs.udp_port
    DissectorTable.get("udp.port"):add(udp_port, tarn)
end

function tarn_ctl.prefs_changed()
    DissectorTable.get("tcp.port"):remove(tcp_port, tarn_ctl)
    tcp_port = tarn_ctl.prefs.tcp_port
    DissectorTable.get("tcp.port"):add(tcp_port, tarn_ctl)
end
