-- Makes an Ardour 7 session for the plugin tests, run by ardour7-lua on the dummy audio
-- engine: one stereo track through the plugin (found by type and name, as Ardour lists
-- it) with its three settings, saved. The track is left empty: ardour_place_audio.py
-- puts the audio on it.
-- Usage: ardour7-lua ardour_session.lua DIR NAME TYPE PLUGIN MAX_GAIN RECOVER FEEDBACK
--   TYPE: an ARDOUR.PluginType (LV2, VST3, LADSPA)
local dir, name, kind, plugin = arg[1], arg[2], arg[3], arg[4]
local settings = { tonumber(arg[5]), tonumber(arg[6]), tonumber(arg[7]) }

local backend = AudioEngine:set_backend("None (Dummy)", "", "")
assert(backend and not backend:isnil(), "Ardour's dummy audio engine is missing")
backend:set_sample_rate(44100)
assert(AudioEngine:start(false) == 0, "the dummy audio engine does not start")
assert(create_session(dir, name, 44100), "Ardour makes no session in " .. dir)

local track = Session:new_audio_track(2, 2, nil, 1, "twoband", -1, ARDOUR.TrackMode.Normal, true):front()
local processor = ARDOUR.LuaAPI.new_plugin(Session, plugin, ARDOUR.PluginType[kind], "")
assert(not processor:isnil(), "Ardour does not list the " .. kind .. " plugin " .. plugin)
assert(track:add_processor_by_index(processor, 0, nil, true) == 0, "Ardour does not add the plugin")
for index, value in ipairs(settings) do
  assert(ARDOUR.LuaAPI.set_processor_param(processor, index - 1, value), "no control " .. index)
  print(processor:to_insert():plugin(0):parameter_label(index - 1) .. " = " ..
        ARDOUR.LuaAPI.get_processor_param(processor, index - 1))
end
-- A VST3 plugin takes the values in its next processing call, and only then keeps them in
-- the state the session saves.
ARDOUR.LuaAPI.wait_for_process_callback(8, 10000)
Session:save_state("", false, false, false, false, false)
close_session()
