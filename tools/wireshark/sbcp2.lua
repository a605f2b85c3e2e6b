-- Wireshark dissector for sbcp2, the UDP control protocol between nyxcli (or any program
-- using the NyxApi functions) and the soundcard service's manager on 127.0.0.1:8899.
--
--   wireshark -X lua_script:sbcp2.lua capture.pcapng
--
-- README.md beside this file lists the filterable fields. The script is plain Lua 5.2
-- (no bit operators), as Wireshark 4.0 embeds that version.

local PORT = 8899
local HEAD = 20 -- header bytes; body offsets count from its end
local LIST_MAX = 16 -- entries of a list that receivers keep

local fmt = string.format

local p = Proto("sbcp2", "sbcp2 control protocol")

local OPCODES = {
    [0x0000] = "keepalive",
    [0x0001] = "connect",
    [0x0002] = "disconnect",
    [0x0100] = "options",
    [0x0102] = "state",
    [0x0103] = "name",
    [0x0110] = "SET_CONFIG",
    [0x0111] = "CLEAR_SYSTEM_ERROR",
    [0x0113] = "CLEAR_DOMAIN_CREDENTIALS",
}
local REQUEST, EVENT = 0, 2 -- statuses; 1 and above 2 are replies
local STATUSES = {
    [0] = "Request",
    [1] = "Response",
    [2] = "Event",
    [48] = "Opcode error",
    [49] = "Unrecognised opcode",
    [50] = "Unsupported opcode",
    [128] = "Server error",
    [129] = "Not connected",
    [130] = "Too many clients",
    [0x0100] = "Invalid API",
    [0x0101] = "Invalid Data",
    [0x0102] = "Invalid State",
    [0x0103] = "System error",
}
local SYSTEM_ERRORS = {
    [0x0000] = "None",
    [0x0001] = "Running",
    [0x0010] = "Missing",
    [0x0011] = "Stopped",
    [0x0100] = "Manager",
    [0x0101] = "Invalid Config",
    [0x0102] = "Sleeping",
    [0x0110] = "Orv",
    [0x0120] = "Brisel error",
    [0x0200] = "Driver",
    [0x0201] = "Driver Missing",
    [0x0202] = "Driver Stopped",
    [0x0203] = "Driver Stalled",
    [0x0204] = "Kernel extension blocked",
    [0x0300] = "PTP",
    [0x0301] = "PTP Missing",
    [0x0400] = "Routa",
    [0x0401] = "Routa Missing",
    [0x0500] = "Other Corvo Running",
    [0x0600] = "Orvane",
    [0x0601] = "Orvane Missing",
    [0x0700] = "Prox",
    [0x0701] = "Prox Missing",
}
local PULLUPS = {[0] = "None", [1] = "+4.1667%", [2] = "+0.1%", [3] = "-0.1%", [4] = "-4%"}
local AUDIO_INTERFACES = {[0] = "ASIO", [1] = "WDM"}

-- Field labels by field, for the messages about malformed items.
local LABELS = {}

local function def(field, label)
    LABELS[field] = label
    return field
end
local function u16(abbr, label, base_, names)
    return def(ProtoField.uint16("sbcp2." .. abbr, label, base_ or base.DEC, names), label)
end
local function u32(abbr, label)
    return def(ProtoField.uint32("sbcp2." .. abbr, label, base.DEC), label)
end
local function text(abbr, label)
    return def(ProtoField.string("sbcp2." .. abbr, label), label)
end
local function flag(abbr, label)
    return def(ProtoField.bool("sbcp2." .. abbr, label), label)
end
local function mac(abbr, label)
    return def(ProtoField.ether("sbcp2." .. abbr, label), label)
end

local F = {
    version = u16("version", "Version", base.HEX),
    size = u16("size", "Size"),
    seq = u16("seq", "Sequence number"),
    opcode = u16("opcode", "Opcode", base.HEX, OPCODES),
    status = u16("status", "Status", base.DEC, STATUSES),
    port = u16("port", "Port"),
    id = ProtoField.bytes("sbcp2.id", "Id"),
    response_in = ProtoField.framenum("sbcp2.response_in", "Response in", base.NONE,
                                      frametype.RESPONSE),
    response_to = ProtoField.framenum("sbcp2.response_to", "Response to", base.NONE,
                                      frametype.REQUEST),
    time = ProtoField.relative_time("sbcp2.time", "Response time"),
    data = ProtoField.bytes("sbcp2.data", "Unread body bytes"),

    connect_value = u16("connect.value", "Connect value"),

    server_word0 = u16("server.word0", "Word 0"),
    server_major = ProtoField.uint8("sbcp2.server.major", "Major"),
    server_minor = ProtoField.uint8("sbcp2.server.minor", "Minor"),
    server_patch = u16("server.patch", "Patch"),
    server_build = u16("server.build", "Build"),
    server_text = text("server.text", "Text"),
    server_word7 = u16("server.word7", "Word 7"),

    channels = u16("config.channels", "Channels"),
    interface_name = text("config.interface.name", "Interface name"),
    interface_mac = mac("config.interface.mac", "Interface MAC"),
    sample_rate = u32("config.sample_rate", "Sample rate"),
    sample_format = u16("config.sample_format", "Sample format"),
    latency = text("config.latency", "Corvo latency"),
    want_to_run = flag("config.want_to_run", "Want to run"),
    audio_interface = u16("config.audio_interface", "Audio interface", base.DEC,
                          AUDIO_INTERFACES),
    asio_buffer_size = u32("config.asio_buffer_size", "ASIO buffer size"),
    asio_encoding = u16("config.asio_encoding", "ASIO encoding"),
    asio_latency = u32("config.asio_latency", "ASIO latency (us)"),
    pullup = u16("config.pullup", "Pullup", base.DEC, PULLUPS),

    lock_flags = u16("state.config_lock_flags", "Config lock flags", base.HEX),
    link_up = flag("state.link_up", "Link up"),
    link_speed = u32("state.link_speed", "Link speed (Mbit/s)"),
    ip_address = def(ProtoField.ipv4("sbcp2.state.ip_address", "IP address"), "IP address"),
    device_name = text("state.device_name", "Device name"),
    system_error = u16("state.system_error", "System error", base.HEX, SYSTEM_ERRORS),
    slot7_value = u16("state.slot7_value", "Slot 7 value"),
    dll_process_name = text("state.dll_process_name", "DLL process name"),
    device_lock_status = u16("state.device_lock_status", "Device lock status"),
    domain_text = text("state.domain.text", "Domain text"),
    domain_name = text("state.domain.name", "Domain name"),
    domain_value = u32("state.domain.value", "Domain value"),
    domain_enrolled = u16("state.domain.enrolled", "Enrolled"),
    domain_connected = u16("state.domain.connected", "Connected"),
    domain_config_allowed = u16("state.domain.config_allowed", "Configuration allowed"),

    channel_counts = u16("options.channel_counts", "Channel counts"),
    channel_count = u16("options.channel_count", "Channel count"),
    interfaces = u16("options.interfaces", "Interfaces"),
    option_interface_name = text("options.interface.name", "Name"),
    option_interface_mac = mac("options.interface.mac", "MAC"),
    sample_rates = u16("options.sample_rates", "Sample rates"),
    option_rate = u32("options.sample_rate.rate", "Rate"),
    option_max_channels = u16("options.sample_rate.max_channels", "Max channels"),
    sample_formats = u16("options.sample_formats", "Sample formats"),
    option_sample_format = u16("options.sample_format", "Sample format"),
    latencies = u16("options.latencies", "Corvo latencies"),
    option_latency_name = text("options.latency.name", "Name"),
    option_latency_us = u32("options.latency.us", "Microseconds"),
    asio_buffer_sizes = u16("options.asio_buffer_sizes", "ASIO buffer sizes"),
    option_asio_buffer_size = u32("options.asio_buffer_size", "ASIO buffer size"),
    asio_encodings = u16("options.asio_encodings", "ASIO encodings"),
    option_asio_encoding = u16("options.asio_encoding", "ASIO encoding"),
    asio_latencies = u16("options.asio_latencies", "ASIO latencies"),
    option_asio_latency = u32("options.asio_latency", "ASIO latency (us)"),

    name = text("name", "Name"),
}
local fields = {}
for _, f in pairs(F) do
    fields[#fields + 1] = f
end
p.fields = fields

local function expert_field(abbr, text_, group, severity)
    return ProtoExpert.new("sbcp2.expert." .. abbr, text_, group, severity)
end
local E = {
    short = expert_field("short", "Shorter than the header", expert.group.MALFORMED,
                         expert.severity.ERROR),
    size = expert_field("size", "Size field disagrees with the datagram's length",
                        expert.group.MALFORMED, expert.severity.ERROR),
    malformed = expert_field("malformed", "Body item cannot be read", expert.group.MALFORMED,
                             expert.severity.ERROR),
    opcode = expert_field("opcode", "Unknown opcode", expert.group.PROTOCOL,
                          expert.severity.WARN),
    status = expert_field("status", "Unknown status", expert.group.PROTOCOL,
                          expert.severity.WARN),
    failed = expert_field("failed", "Request failed", expert.group.RESPONSE_CODE,
                          expert.severity.WARN),
    unmatched = expert_field("unmatched", "No request for this reply in the capture",
                             expert.group.SEQUENCE, expert.severity.NOTE),
    duplicate = expert_field("duplicate", "Second reply to one request",
                             expert.group.SEQUENCE, expert.severity.NOTE),
    cut = expert_field("cut", "Receivers keep only part of this", expert.group.PROTOCOL,
                       expert.severity.NOTE),
    fault = expert_field("fault", "Dissector fault", expert.group.MALFORMED,
                         expert.severity.ERROR),
}
local experts = {}
for _, e in pairs(E) do
    experts[#experts + 1] = e
end
p.experts = experts

-- Body reading -----------------------------------------------------------------------------

-- Raised as an error so that decoding stops at the first bad item, as the receivers' decoders
-- do; the dissector turns it into expert information.
local function malformed(message, ...)
    error({sbcp2 = fmt(message, ...)}, 0)
end

local Body = {}
Body.__index = Body

function Body:range(o, n)
    return self.tvb:range(HEAD + o, n)
end

function Body:u16(o)
    return self.tvb:range(HEAD + o, 2):uint()
end

-- An array of `size`-byte values: count, then the values (4-byte ones 4-aligned, with a pad).
-- Returns the count and the offset of the first value.
function Body:array(o, what, size)
    if o % 2 ~= 0 or o + 2 > self.len then
        malformed("%s at offset %d lies outside the %d-byte body", what, o, self.len)
    end
    local count = self:u16(o)
    local pad = (size == 4 and (o + 2) % 4 ~= 0) and 2 or 0
    if o + 2 + pad + count * size > self.len then
        malformed("%s at offset %d: %d entries run past the end of the %d-byte body", what, o,
                  count, self.len)
    end
    return count, o + 2 + pad
end

-- The offset of the zero terminator of a text made of `unit`-byte characters starting at o.
function Body:terminator(o, what, unit)
    if o % 2 ~= 0 or o >= self.len then
        malformed("%s at offset %d lies outside the %d-byte body", what, o, self.len)
    end
    local bytes = self:range(o, self.len - o):bytes()
    for i = 0, bytes:len() - unit, unit do
        local zero = true
        for k = i, i + unit - 1 do
            if bytes:get_index(k) ~= 0 then
                zero = false
                break
            end
        end
        if zero then
            return o + i
        end
    end
    malformed("%s at offset %d has no terminator inside the body", what, o)
end

local function utf8_char(c)
    if c < 0x80 then
        return string.char(c)
    elseif c < 0x800 then
        return string.char(0xC0 + math.floor(c / 0x40), 0x80 + c % 0x40)
    elseif c < 0x10000 then
        return string.char(0xE0 + math.floor(c / 0x1000), 0x80 + math.floor(c / 0x40) % 0x40,
                           0x80 + c % 0x40)
    end
    return string.char(0xF0 + math.floor(c / 0x40000), 0x80 + math.floor(c / 0x1000) % 0x40,
                       0x80 + math.floor(c / 0x40) % 0x40, 0x80 + c % 0x40)
end

-- Wide characters travel as 32-bit values of which receivers keep the low 16 bits (UTF-16).
local function utf8_of_units(units)
    local out, i = {}, 1
    while i <= #units do
        local c, next_ = units[i], units[i + 1]
        if c >= 0xD800 and c < 0xDC00 and next_ and next_ >= 0xDC00 and next_ < 0xE000 then
            c = 0x10000 + (c - 0xD800) * 0x400 + (next_ - 0xDC00)
            i = i + 1
        elseif c >= 0xD800 and c < 0xE000 then
            c = 0xFFFD
        end
        out[#out + 1] = utf8_char(c)
        i = i + 1
    end
    return table.concat(out)
end

local function note_cut(item, length, limit, unit)
    if length > limit then
        item:add_proto_expert_info(E.cut, fmt("%d %s; receivers keep the first %d", length,
                                              unit, limit))
    end
end

-- Slot kinds. Each is called as kind(body, tree, slot value, slot range, entry), where entry is
-- the layout entry {kind, field, argument}, and returns the value it shows (for summaries).

local function imm(_, tree, v, range, entry)
    tree:add(entry[2], range)
    return v
end

local function low8(_, tree, v, range, entry)
    tree:add(entry[2], range, v % 0x100)
    return v % 0x100
end

local function nonzero(_, tree, v, range, entry)
    tree:add(entry[2], range, v ~= 0)
    return v ~= 0
end

local function skip()
end

local function value32(b, tree, o, _, entry)
    if o % 4 ~= 0 or o + 4 > b.len then
        malformed("%s: 32-bit value at offset %d is misaligned or outside the %d-byte body",
                  LABELS[entry[2]], o, b.len)
    end
    tree:add(entry[2], b:range(o, 4))
    return b:range(o, 4):uint()
end

-- Byte string; entry[3] is the number of characters the receiver keeps.
local function str(b, tree, o, _, entry)
    local z = b:terminator(o, LABELS[entry[2]], 1)
    local range = b:range(o, z - o + 1)
    local value = z > o and b:range(o, z - o):string(ENC_UTF_8) or ""
    note_cut(tree:add(entry[2], range, value), z - o, entry[3], "characters")
    return value
end

-- Wide string; entry[3] is the number of code units the receiver keeps.
local function wstr(b, tree, o, _, entry)
    local z = b:terminator(o, LABELS[entry[2]], 4)
    local units = {}
    for at = o, z - 4, 4 do
        local unit = b:range(at, 4):uint() % 0x10000
        if unit == 0 then -- a receiver's copy ends here
            break
        end
        units[#units + 1] = unit
    end
    local value = utf8_of_units(units)
    local item = tree:add(entry[2], b:range(o, z - o + 4), value)
    note_cut(item, (z - o) / 4, entry[3], "code units")
    return value
end

-- entry[3] bytes: 6 of a MAC or 4 of an IPv4 address.
local function raw(b, tree, o, _, entry)
    if o % 2 ~= 0 or o + entry[3] > b.len then
        malformed("%s: %d bytes at offset %d lie outside the %d-byte body", LABELS[entry[2]],
                  entry[3], o, b.len)
    end
    local range = b:range(o, entry[3])
    tree:add(entry[2], range)
    if entry[3] == 4 then
        return tostring(range:ipv4())
    end
    local hex = range:bytes():tohex():lower()
    return (hex:gsub("(..)", "%1:"):sub(1, -2)) -- the MAC without a vendor name
end

-- A list of numbers; entry[2] is the count field, entry[3] the entry field, entry[4] the size
-- of an entry (2 when absent).
local function list(b, tree, o, _, entry)
    local size = entry[4] or 2
    local count, first = b:array(o, LABELS[entry[2]], size)
    local item = tree:add(entry[2], b:range(o, first - o + count * size), count)
    for i = 0, count - 1 do
        item:add(entry[3], b:range(first + i * size, size))
    end
    note_cut(item, count, LIST_MAX, "entries")
end

local function list32(b, tree, o, range, entry)
    list(b, tree, o, range, {entry[1], entry[2], entry[3], 4})
end

local walk

local function group(b, tree, o, _, entry)
    walk(b, tree, o, entry[2])
end

-- A list of group offsets; receivers decode the first LIST_MAX groups.
local function group_list(b, tree, o, _, entry)
    local count, first = b:array(o, LABELS[entry[2]], 2)
    local item = tree:add(entry[2], b:range(o, 2 + 2 * count), count)
    for i = 0, math.min(count, LIST_MAX) - 1 do
        walk(b, item, b:u16(first + 2 * i), entry[3])
    end
    note_cut(item, count, LIST_MAX, "entries")
end

-- Walks a slot array laid out as `layout`: {name = ..., required = slots, summary = {format,
-- field...} for the tree label, entry...}.
-- Slots beyond the layout are ignored, as receivers do.
walk = function(b, tree, o, layout)
    local count, first = b:array(o, layout.name, 2)
    local t = tree:add(b:range(o, 2 + 2 * count), layout.name)
    if count < (layout.required or 0) then
        malformed("%s at offset %d has %d slots, receivers need %d", layout.name, o, count,
                  layout.required)
    end
    local values = {}
    for i = 1, math.min(count, #layout) do
        local entry = layout[i]
        local range = b:range(first + 2 * (i - 1), 2)
        local value = entry[1](b, t, range:uint(), range, entry)
        if entry[2] then
            values[entry[2]] = value
        end
    end
    if layout.summary then
        local shown = {}
        for i = 2, #layout.summary do
            local value = values[layout.summary[i]]
            shown[#shown + 1] = value == nil and "?" or tostring(value)
        end
        t:append_text(fmt(layout.summary[1], table.unpack(shown)))
    end
    return t
end

-- Body layouts -------------------------------------------------------------------------------

local CONNECT = {name = "Connect", {imm, F.connect_value}}

local VERSION = {
    name = "Server version",
    {imm, F.server_word0},
    {low8, F.server_major},
    {low8, F.server_minor},
    {imm, F.server_patch},
    {imm, F.server_build},
    {str, F.server_text, 7},
    {skip},
    {imm, F.server_word7},
    summary = {": %s.%s.%s.%s", F.server_major, F.server_minor, F.server_patch, F.server_build},
}

local function interface_layout(name_field, mac_field)
    return {
        name = "Interface",
        {wstr, name_field, 63},
        {raw, mac_field, 6},
        summary = {": %s (%s)", name_field, mac_field},
    }
end

local ASIO = {
    name = "ASIO",
    required = 4,
    {imm, F.audio_interface},
    {value32, F.asio_buffer_size},
    {imm, F.asio_encoding},
    {value32, F.asio_latency},
}

local CONFIG = {
    name = "Configuration",
    {imm, F.channels},
    {group, interface_layout(F.interface_name, F.interface_mac)},
    {value32, F.sample_rate},
    {imm, F.sample_format},
    {str, F.latency, 31},
    {nonzero, F.want_to_run},
    {group, ASIO},
    {imm, F.pullup},
}

local DLL = {name = "DLL", required = 1, {wstr, F.dll_process_name, 63}}

local DOMAIN = {
    name = "Domain",
    {str, F.domain_text, 64},
    {str, F.domain_name, 63},
    {value32, F.domain_value},
    {imm, F.domain_enrolled},
    {imm, F.domain_connected},
    {imm, F.domain_config_allowed},
}

local STATE = {
    name = "State",
    {group, CONFIG},
    {imm, F.lock_flags},
    {nonzero, F.link_up},
    {value32, F.link_speed},
    {raw, F.ip_address, 4},
    {str, F.device_name, 31},
    {imm, F.system_error},
    {imm, F.slot7_value},
    {group, DLL},
    {imm, F.device_lock_status},
    {group, DOMAIN},
}

local SAMPLE_RATE = {
    name = "Sample rate",
    {value32, F.option_rate},
    {imm, F.option_max_channels},
    summary = {": %s (%s channels)", F.option_rate, F.option_max_channels},
}

local LATENCY = {
    name = "Corvo latency",
    {str, F.option_latency_name, 31},
    {value32, F.option_latency_us},
    summary = {": %s (%s us)", F.option_latency_name, F.option_latency_us},
}

local ASIO_OPTIONS = {
    name = "ASIO options",
    required = 4,
    {skip},
    {list32, F.asio_buffer_sizes, F.option_asio_buffer_size},
    {list, F.asio_encodings, F.option_asio_encoding},
    {list32, F.asio_latencies, F.option_asio_latency},
}

local OPTIONS = {
    name = "Options",
    {list, F.channel_counts, F.channel_count},
    {group_list, F.interfaces, interface_layout(F.option_interface_name, F.option_interface_mac)},
    {group_list, F.sample_rates, SAMPLE_RATE},
    {list, F.sample_formats, F.option_sample_format},
    {group_list, F.latencies, LATENCY},
    {group, ASIO_OPTIONS},
}

local NAME = {name = "Name", {str, F.name, 31}}

local function body_layout(opcode, status)
    if opcode == 0x0001 then
        return status == REQUEST and CONNECT or VERSION
    elseif opcode == 0x0100 then
        return OPTIONS
    elseif opcode == 0x0102 then
        return STATE
    elseif opcode == 0x0103 then
        return NAME
    elseif opcode == 0x0110 then
        return status == REQUEST and CONFIG or STATE
    elseif opcode == 0x0111 and status ~= REQUEST then
        return STATE
    end
end

-- Request and reply matching ---------------------------------------------------------------

-- Requests by client address, port and sequence number; exchanges by frame number.
local requests, exchanges = {}, {}

function p.init()
    requests, exchanges = {}, {}
end

local function nstime_of(seconds)
    local s = math.floor(seconds)
    return NSTime.new(s, math.floor((seconds - s) * 1e9 + 0.5))
end

local function match(pinfo, tree, status, seq)
    if status == EVENT then
        return
    end
    local is_request = status == REQUEST
    if not pinfo.visited then
        local client = is_request and
                           fmt("%s:%d:%d", tostring(pinfo.src), pinfo.src_port, seq) or
                           fmt("%s:%d:%d", tostring(pinfo.dst), pinfo.dst_port, seq)
        if is_request then
            local x = {request = pinfo.number, time = pinfo.abs_ts}
            requests[client] = x
            exchanges[pinfo.number] = x
        else
            local x = requests[client]
            if x then
                if x.reply then
                    exchanges[pinfo.number] = {request = x.request, time = x.time,
                                               duplicate = true}
                else
                    x.reply = pinfo.number
                    exchanges[pinfo.number] = x
                end
            end
        end
    end
    local x = exchanges[pinfo.number]
    if is_request then
        if x and x.reply then
            tree:add(F.response_in, x.reply):set_generated()
        end
    elseif not x then
        tree:add_proto_expert_info(E.unmatched)
    else
        tree:add(F.response_to, x.request):set_generated()
        local item = tree:add(F.time, nstime_of(pinfo.abs_ts - x.time))
        item:set_generated()
        if x.duplicate then
            tree:add_proto_expert_info(E.duplicate)
        end
    end
end

-- The dissector ------------------------------------------------------------------------------

local function dissect_body(tvb, pinfo, tree, opcode, status, length)
    local layout = body_layout(opcode, status)
    if not layout then
        tree:add(F.data, tvb:range(HEAD, length))
        return
    end
    local b = setmetatable({tvb = tvb, len = length}, Body)
    local ok, err = pcall(walk, b, tree, 0, layout)
    if not ok then
        if type(err) == "table" and err.sbcp2 then
            tree:add_proto_expert_info(E.malformed, err.sbcp2)
            pinfo.cols.info:append(" [malformed]")
        else
            tree:add_proto_expert_info(E.fault, "Dissector fault: " .. tostring(err))
        end
    end
end

function p.dissector(tvb, pinfo, tree)
    local length = tvb:len()
    if length == 0 then
        return 0
    end
    pinfo.cols.protocol = "SBCP2"
    local root = tree:add(p, tvb:range(0, length))
    if length < HEAD then
        root:add_proto_expert_info(E.short, fmt("%d bytes, shorter than the %d-byte header",
                                                length, HEAD))
        pinfo.cols.info = fmt("Short datagram (%d bytes)", length)
        return length
    end

    local size = tvb:range(2, 2):uint()
    local seq = tvb:range(4, 2):uint()
    local opcode = tvb:range(6, 2):uint()
    local status = tvb:range(8, 2):uint()
    local opname = OPCODES[opcode] or fmt("opcode 0x%04x", opcode)
    local stname = STATUSES[status] or fmt("status %d", status)
    local summary = fmt("%s %s seq=%d", opname, stname, seq)
    pinfo.cols.info = summary
    root:append_text(", " .. summary)

    local head = root:add(tvb:range(0, HEAD), "Header")
    head:add(F.version, tvb:range(0, 2))
    local size_item = head:add(F.size, tvb:range(2, 2))
    head:add(F.seq, tvb:range(4, 2))
    local opcode_item = head:add(F.opcode, tvb:range(6, 2))
    local status_item = head:add(F.status, tvb:range(8, 2))
    head:add(F.port, tvb:range(10, 2))
    head:add(F.id, tvb:range(12, 8))

    if size ~= tvb:reported_len() then
        size_item:add_proto_expert_info(E.size,
                                        fmt("Size field %d, datagram %d bytes: receivers drop it",
                                            size, tvb:reported_len()))
        pinfo.cols.info:append(" [size mismatch]")
    end
    if not OPCODES[opcode] then
        opcode_item:add_proto_expert_info(E.opcode, fmt("Unknown opcode 0x%04x", opcode))
    end
    if not STATUSES[status] then
        status_item:add_proto_expert_info(E.status, fmt("Unknown status %d", status))
    elseif status > EVENT then
        status_item:add_proto_expert_info(E.failed, fmt("Request failed: %s", stname))
    end

    match(pinfo, root, status, seq)

    -- Decode what both the size field and the capture hold.
    local body = math.min(size, length) - HEAD
    if body > 0 then
        dissect_body(tvb, pinfo, root, opcode, status, body)
    end
    return length
end

DissectorTable.get("udp.port"):add(PORT, p)
