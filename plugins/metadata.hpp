#pragma once

// What hosts see of the twoband plugins, in one place: the LV2 URIs, the LADSPA IDs
// and labels, and every port's index, symbol, name, range and default. Both formats'
// glue and the generated LV2 data read them from here.
//
// Hosts store URIs, IDs, labels, port indices and symbols in their sessions and
// automation, so none of them may ever change. A later version may only add ports
// after the last one.
//
//   index  stereo            mono
//   0      max_gain          max_gain         control inputs, the program's order
//   1      recover_speed     recover_speed
//   2      feedback_speed    feedback_speed
//   3      master_gain       master_gain      control outputs: the gains in force
//   4      high_gain_left    high_gain
//   5      high_gain_right   low_gain
//   6      low_gain_left     in               audio
//   7      low_gain_right    out
//   8      in_left           transport        LV2 only
//   8      in_left
//   9      in_right
//   10     out_left
//   11     out_right
//   12     transport         transport        LV2 only: the host's time:Position events

#include <array>
#include <cstdint>
#include <span>

namespace twoband_plugins {

// A transport port carries the host's transport events (LV2 atoms); the formats that
// tell a plugin of the transport otherwise (VST3, CLAP) or not at all (LADSPA) have no
// such port, so it always comes after every other.
enum class PortKind { controlInput, controlOutput, audioInput, audioOutput, transport };

// The plugin formats, each with names of its own: hosts that load several formats
// (Audacity, Ardour) show them side by side and give scripts a command per name.
enum class Format { lv2, ladspa, vst3, clap };
inline constexpr std::size_t kFormats = 4;

// How a LADSPA host finds a control's default: LADSPA has no field for the value
// itself, only a few points of the range to choose from.
enum class LadspaDefault {
    none,
    middleOfLogarithm,  // the geometric mean of the bounds: sqrt(minimum * maximum)
    high,               // a quarter of the way down from the maximum
    minimum,
};

// The gain a meter shows, one of twoband_get_gains' fields.
enum class Meter { none, master, highLeft, highRight, lowLeft, lowRight };

struct Port {
    PortKind kind;
    const char* symbol;  // LV2 symbol, a C identifier
    const char* name;    // what a host shows
    // Controls only: the range (bounds included) and the default, and for outputs the
    // range the value stays in.
    float minimum = 0.0f;
    float maximum = 0.0f;
    float defaultValue = 0.0f;
    bool integer = false;
    LadspaDefault ladspaDefault = LadspaDefault::none;
    Meter meter = Meter::none;
    // Audio only: the plugin channel the port carries.
    unsigned channel = 0;
};

// Indices of the three control inputs in every plugin.
inline constexpr std::uint32_t kMaxGainPort = 0;
inline constexpr std::uint32_t kRecoverSpeedPort = 1;
inline constexpr std::uint32_t kFeedbackSpeedPort = 2;
inline constexpr std::uint32_t kSettingsPorts = 3;

// The settings: the program's ranges and defaults. A LADSPA host gets 20 and 2 from
// the hints exactly (sqrt(4 * 100) and sqrt(1 * 4)); 8 is no point LADSPA can name,
// so its hint gives 7, the nearest it can, and a recover speed should be passed.
inline constexpr Port kMaxGain{PortKind::controlInput, "max_gain", "Max Gain",
                               4.0f, 100.0f, 20.0f, false, LadspaDefault::middleOfLogarithm};
inline constexpr Port kRecoverSpeed{PortKind::controlInput, "recover_speed", "Recover Speed",
                                    1.0f, 9.0f, 8.0f, false, LadspaDefault::high};
inline constexpr Port kFeedbackSpeed{PortKind::controlInput, "feedback_speed", "Feedback Speed",
                                     1.0f, 4.0f, 2.0f, true, LadspaDefault::middleOfLogarithm};

// The meters' ranges. The master gain is at most 1.05 (one recovery step from below
// 1); a band gain at least the target floor 0.2 and at most one recovery step above
// the highest max gain, 100 * (1 + 9 / 500).
inline constexpr float kMasterGainHighest = 1.05f;
inline constexpr float kBandGainHighest = 102.0f;
static_assert(100.0 * (1.0 + 9.0 / 500.0) < kBandGainHighest);

// sox's LADSPA host gives every control port a value, outputs too, and takes it from
// the default hint when no argument is left: a meter has one so that the settings
// alone can be passed.
constexpr Port meterPort(const char* symbol, const char* name, float highest, Meter meter) {
    return {PortKind::controlOutput, symbol, name, 0.0f, highest, 0.0f, false,
            LadspaDefault::minimum, meter};
}

constexpr Port audioPort(PortKind kind, const char* symbol, const char* name, unsigned channel) {
    Port port{kind, symbol, name};
    port.channel = channel;
    return port;
}

inline constexpr std::array kStereoPorts{
    kMaxGain,
    kRecoverSpeed,
    kFeedbackSpeed,
    meterPort("master_gain", "Master Gain", kMasterGainHighest, Meter::master),
    meterPort("high_gain_left", "High Gain Left", kBandGainHighest, Meter::highLeft),
    meterPort("high_gain_right", "High Gain Right", kBandGainHighest, Meter::highRight),
    meterPort("low_gain_left", "Low Gain Left", kBandGainHighest, Meter::lowLeft),
    meterPort("low_gain_right", "Low Gain Right", kBandGainHighest, Meter::lowRight),
    audioPort(PortKind::audioInput, "in_left", "In Left", 0),
    audioPort(PortKind::audioInput, "in_right", "In Right", 1),
    audioPort(PortKind::audioOutput, "out_left", "Out Left", 0),
    audioPort(PortKind::audioOutput, "out_right", "Out Right", 1),
    Port{PortKind::transport, "transport", "Transport"},
};

// Mono runs the frame (s, s) and keeps the left output, so the left gains are the
// channel's.
inline constexpr std::array kMonoPorts{
    kMaxGain,
    kRecoverSpeed,
    kFeedbackSpeed,
    meterPort("master_gain", "Master Gain", kMasterGainHighest, Meter::master),
    meterPort("high_gain", "High Gain", kBandGainHighest, Meter::highLeft),
    meterPort("low_gain", "Low Gain", kBandGainHighest, Meter::lowLeft),
    audioPort(PortKind::audioInput, "in", "In", 0),
    audioPort(PortKind::audioOutput, "out", "Out", 0),
    Port{PortKind::transport, "transport", "Transport"},
};

inline constexpr std::size_t kMostPorts = kStereoPorts.size();
static_assert(kMonoPorts.size() <= kMostPorts);

// A four-character code, as VST3 IDs are made of.
constexpr std::uint32_t fourCharacters(const char (&code)[5]) {
    return static_cast<std::uint32_t>(code[0]) << 24 | static_cast<std::uint32_t>(code[1]) << 16 |
           static_cast<std::uint32_t>(code[2]) << 8 | static_cast<std::uint32_t>(code[3]);
}

struct PluginInfo {
    const char* uri;          // LV2
    std::uint32_t ladspaId;   // LADSPA's unique ID
    const char* ladspaLabel;  // LADSPA
    // VST3 (through DPF): the third of the four words of the class ID, whose first two
    // are DPF's 'DPF ' and 'clas'.
    std::uint32_t vst3Id;
    const char* clapId;       // CLAP
    std::array<const char*, kFormats> names;  // what hosts show, by Format
    unsigned channels;
    std::span<const Port> ports;

    constexpr const char* name(Format format) const {
        return names[static_cast<std::size_t>(format)];
    }
};

// The LADSPA IDs are outside the ranges known to be in use.
inline constexpr PluginInfo kStereo{
    "https://twoband.org/plugins/lv2/stereo", 6411, "twoband_stereo", fourCharacters("tbSt"),
    "org.twoband.stereo",
    {"twoband stereo LV2", "twoband stereo LADSPA", "twoband stereo VST3", "twoband stereo CLAP"},
    2, kStereoPorts};
inline constexpr PluginInfo kMono{
    "https://twoband.org/plugins/lv2/mono", 6412, "twoband_mono", fourCharacters("tbMo"),
    "org.twoband.mono",
    {"twoband mono LV2", "twoband mono LADSPA", "twoband mono VST3", "twoband mono CLAP"},
    1, kMonoPorts};

// Index order is fixed too: LV2 and LADSPA hosts may ask for a plugin by its index.
inline constexpr std::array kPlugins{&kStereo, &kMono};

inline constexpr const char* kMaker = "The twoband developers";
inline constexpr const char* kHomePage = "https://twoband.org";

// The factory presets, the same in every format that has presets (LV2 presets, VST3
// programs), named by what they do. Their order is fixed: VST3 hosts store a
// program's index. The first is the program's defaults.
struct Preset {
    const char* name;
    const char* symbol;  // the LV2 preset's URI is the plugin's, then "#", then this
    float maxGain;
    float recoverSpeed;
    float feedbackSpeed;
};

inline constexpr std::array kPresets{
    Preset{"Program defaults", "defaults", 20.0f, 8.0f, 2.0f},
    Preset{"Gentle levelling", "gentle", 6.0f, 3.0f, 1.0f},
    Preset{"Even speech", "speech", 30.0f, 6.0f, 2.0f},
    Preset{"Dense and loud", "dense", 60.0f, 9.0f, 4.0f},
};

// The LV2 plugins' minor version. Hosts take 0 or an odd minor version for a
// development release, which they may hide; a release has an even one above 0.
inline constexpr int kLv2MinorVersion = 2;
static_assert(kLv2MinorVersion > 0 && kLv2MinorVersion % 2 == 0);
inline constexpr const char* kLicence = "MIT";

constexpr bool settingsComeFirst(std::span<const Port> ports) {
    return ports.size() > kSettingsPorts && ports[kMaxGainPort].symbol == kMaxGain.symbol &&
           ports[kRecoverSpeedPort].symbol == kRecoverSpeed.symbol &&
           ports[kFeedbackSpeedPort].symbol == kFeedbackSpeed.symbol;
}
static_assert(settingsComeFirst(kStereoPorts) && settingsComeFirst(kMonoPorts));

constexpr bool audioPortsMatch(const PluginInfo& plugin) {
    unsigned inputs = 0;
    unsigned outputs = 0;
    for (const Port& port : plugin.ports) {
        if (port.kind == PortKind::audioInput && port.channel == inputs) ++inputs;
        if (port.kind == PortKind::audioOutput && port.channel == outputs) ++outputs;
    }
    return inputs == plugin.channels && outputs == plugin.channels;
}
static_assert(audioPortsMatch(kStereo) && audioPortsMatch(kMono));

// The ports of the formats without a transport port (LADSPA): all but the last.
constexpr std::size_t portsWithoutTransport(std::span<const Port> ports) {
    std::size_t count = 0;
    while (count < ports.size() && ports[count].kind != PortKind::transport) ++count;
    return count;
}
static_assert(portsWithoutTransport(kStereoPorts) + 1 == kStereoPorts.size() &&
              portsWithoutTransport(kMonoPorts) + 1 == kMonoPorts.size());

}  // namespace twoband_plugins
