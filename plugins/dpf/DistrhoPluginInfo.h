// What DPF builds of one plugin, read by DPF's own sources. One build per plugin and
// format: TWOBAND_DPF_CHANNELS (2 or 1) chooses the plugin, and everything hosts see
// comes from the metadata.
#pragma once

#include "metadata.hpp"

#if TWOBAND_DPF_CHANNELS == 2
#define TWOBAND_DPF_PLUGIN ::twoband_plugins::kStereo
#define DISTRHO_PLUGIN_CLAP_FEATURES "audio-effect", "compressor", "stereo"
#elif TWOBAND_DPF_CHANNELS == 1
#define TWOBAND_DPF_PLUGIN ::twoband_plugins::kMono
#define DISTRHO_PLUGIN_CLAP_FEATURES "audio-effect", "compressor", "mono"
#else
#error "TWOBAND_DPF_CHANNELS must be 1 or 2"
#endif

#define DISTRHO_PLUGIN_NAME "twoband"
#define DISTRHO_PLUGIN_BRAND "twoband"
#define DISTRHO_PLUGIN_URI (TWOBAND_DPF_PLUGIN.uri)
#define DISTRHO_PLUGIN_CLAP_ID (TWOBAND_DPF_PLUGIN.clapId)
#define DISTRHO_PLUGIN_NUM_INPUTS TWOBAND_DPF_CHANNELS
#define DISTRHO_PLUGIN_NUM_OUTPUTS TWOBAND_DPF_CHANNELS
#define DISTRHO_PLUGIN_HAS_UI 0
#define DISTRHO_PLUGIN_IS_RT_SAFE 1
#define DISTRHO_PLUGIN_IS_SYNTH 0
#define DISTRHO_PLUGIN_WANT_LATENCY 0
#define DISTRHO_PLUGIN_WANT_PROGRAMS 1
// CLAP's state extension comes with it; the state is the parameters' values alone.
#define DISTRHO_PLUGIN_WANT_STATE 1
#define DISTRHO_PLUGIN_WANT_FULL_STATE 1
#define DISTRHO_PLUGIN_WANT_TIMEPOS 1
#define DISTRHO_PLUGIN_VST3_CATEGORIES "Fx|Dynamics"
