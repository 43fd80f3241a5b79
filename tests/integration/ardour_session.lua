-- Run by ardour_vst3_test.cpp under ardour7-lua, twice. LODRIN_ARDOUR_MODE "create": a session at
-- 48 kHz on the dummy backend, one stereo track with three Lodrin.vst3 stages, then what Ardour holds
-- as each stage's Gain (until it equals LODRIN_ARDOUR_GAIN, at most 20 s) and the track's latency,
-- printed as lines the test reads; the session is saved. "reload": the saved session loaded, and its
-- track's latency once it equals LODRIN_ARDOUR_LATENCY (at most 20 s), with the stages' Gain. (One
-- program that closes and loads a session again can crash in Ardour's engine.)
-- LODRIN_ARDOUR_DIR names the folder of the session.
function P(...)
  local t = {}
  for _, v in ipairs({...}) do t[#t + 1] = tostring(v) end
  io.stderr:write(table.concat(t, " ") .. "\n")
end

local dir = os.getenv("LODRIN_ARDOUR_DIR")
local want = tonumber(os.getenv("LODRIN_ARDOUR_GAIN"))
local want_latency = tonumber(os.getenv("LODRIN_ARDOUR_LATENCY"))
AudioEngine:set_backend("None (Dummy)", "", "")

local function stages(track)
  local l = {}
  for i = 0, 2 do
    local p = track:nth_plugin(i)
    if p:isnil() then break end
    l[#l + 1] = p:to_insert()
  end
  return l
end
local function gain_index(pi)
  local plug = pi:plugin(0)
  for j = 0, plug:parameter_count() - 1 do
    local ok = false
    local pid = plug:nth_parameter(j, ok)
    if plug:parameter_label(pid) == "Gain" then return pid end
  end
  return -1
end
local function gains(l)
  local t = {}
  for i, pi in ipairs(l) do
    local ok = false
    t[i] = ARDOUR.LuaAPI.get_plugin_insert_param(pi, gain_index(pi), ok)
  end
  return t
end

if os.getenv("LODRIN_ARDOUR_MODE") == "reload" then
  if not load_session(dir .. "/session", "lodrin") then P("error no reload") os.exit(1) end
  local t2 = Session:route_by_name("Bus"):to_track()
  local t0 = ARDOUR.LuaAPI.monotonic_time()
  while t2:signal_latency() ~= want_latency and ARDOUR.LuaAPI.monotonic_time() - t0 < 20e6 do
    ARDOUR.LuaAPI.usleep(20000)
  end
  P("reloaded", "latency", t2:signal_latency(), table.unpack(gains(stages(t2))))
  close_session()
  P("done")
  os.exit(0)
end

if not create_session(dir .. "/session", "lodrin", 48000) then P("error no session") os.exit(1) end
local tl = Session:new_audio_track(2, 2, nil, 1, "Bus", ARDOUR.PresentationInfo.max_order, ARDOUR.TrackMode.Normal, true)
local track = tl:front()
for i = 1, 3 do
  local p = ARDOUR.LuaAPI.new_plugin(Session, "Lodrin", ARDOUR.PluginType.VST3, "")
  if p:isnil() then P("error no plugin") os.exit(1) end
  track:add_processor_by_index(p, -1, nil, true)
end
local l = stages(track)
ARDOUR.LuaAPI.usleep(300000)
P("stages", #l, "latency", track:signal_latency())
P("ready", table.unpack(gains(l)))

-- Another process edits the stages now; Ardour's values must follow.
local t0 = ARDOUR.LuaAPI.monotonic_time()
local followed = false
while ARDOUR.LuaAPI.monotonic_time() - t0 < 20e6 do
  local g = gains(l)
  local all = true
  for _, v in ipairs(g) do all = all and math.abs(v - want) < 1e-6 end
  if all then
    P("followed", string.format("%.3f", (ARDOUR.LuaAPI.monotonic_time() - t0) / 1e6), table.unpack(g))
    followed = true
    break
  end
  ARDOUR.LuaAPI.usleep(20000)
end
if not followed then P("stale", table.unpack(gains(l))) end
ARDOUR.LuaAPI.usleep(300000)
P("latency", track:signal_latency())
Session:save_state("", false, false, false, false, false)
close_session()
P("done")
os.exit(0)
