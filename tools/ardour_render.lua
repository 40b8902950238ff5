-- Renders an Ardour 7 session's range as Ardour's export dialog does with "Realtime
-- Export" on: the transport rolls from the session start, so the plugins see it start.
-- The format is the preset 2b2b0002-... (a 16-bit WAV without dither or normalising),
-- which the caller puts in Ardour's export folder of its configuration.
-- Usage: ardour7-lua ardour_render.lua DIR NAME FRAMES OUT_DIR   (writes OUT_DIR/render.wav)
local dir, name, frames, out = arg[1], arg[2], tonumber(arg[3]), arg[4]

local backend = AudioEngine:set_backend("None (Dummy)", "", "")
assert(backend and not backend:isnil(), "Ardour's dummy audio engine is missing")
backend:set_sample_rate(44100)
assert(AudioEngine:start(false) == 0, "the dummy audio engine does not start")
assert(load_session(dir, name), "Ardour does not load the session in " .. dir)
Session:cfg():set_realtime_export(true)
local export = Session:simple_export()
assert(export:set_preset("2b2b0002-0000-4000-8000-000000000002"), "no export preset")
export:set_folder(out)
export:set_name("render")
export:set_range(0, frames)
assert(export:check_outputs() and export:run_export(), "the export fails")
close_session()
