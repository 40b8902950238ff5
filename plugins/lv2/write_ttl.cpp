// Writes the LV2 bundle's data, manifest.ttl and twoband.ttl, from the plugins'
// metadata, so that what hosts read and what the binary does never disagree.
// Usage: write_ttl BUNDLE_DIR BINARY_NAME MICRO_VERSION

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "metadata.hpp"

namespace twoband_plugins {
namespace {

constexpr const char* kPrefixes =
    "@prefix atom:  <http://lv2plug.in/ns/ext/atom#> .\n"
    "@prefix doap:  <http://usefulinc.com/ns/doap#> .\n"
    "@prefix foaf:  <http://xmlns.com/foaf/0.1/> .\n"
    "@prefix lv2:   <http://lv2plug.in/ns/lv2core#> .\n"
    "@prefix pset:  <http://lv2plug.in/ns/ext/presets#> .\n"
    "@prefix rdfs:  <http://www.w3.org/2000/01/rdf-schema#> .\n"
    "@prefix time:  <http://lv2plug.in/ns/ext/time#> .\n"
    "@prefix units: <http://lv2plug.in/ns/extensions/units#> .\n"
    "@prefix urid:  <http://lv2plug.in/ns/ext/urid#> .\n";

// What the plugins belong to, for a host that shows their maker.
constexpr const char* kProject = "https://twoband.org/plugins/lv2";

[[gnu::format(printf, 2, 3)]] void append(std::string& text, const char* format, ...) {
    char line[512];
    std::va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    text += line;
}

// A float as a Turtle decimal: the fewest decimals, at least one, that read back as
// the same binary32.
std::string decimal(float value) {
    char digits[48];
    for (int decimals = 1; decimals <= 9; ++decimals) {
        std::snprintf(digits, sizeof digits, "%.*f", decimals, static_cast<double>(value));
        if (std::strtof(digits, nullptr) == value) break;
    }
    return digits;
}

const char* portClasses(PortKind kind) {
    switch (kind) {
    case PortKind::controlInput: return "lv2:InputPort, lv2:ControlPort";
    case PortKind::controlOutput: return "lv2:OutputPort, lv2:ControlPort";
    case PortKind::audioInput: return "lv2:InputPort, lv2:AudioPort";
    case PortKind::audioOutput: return "lv2:OutputPort, lv2:AudioPort";
    case PortKind::transport: return "lv2:InputPort, atom:AtomPort";
    }
    return "";
}

void appendPort(std::string& text, const Port& port, std::size_t index) {
    append(text, "        a %s ;\n", portClasses(port.kind));
    append(text, "        lv2:index %zu ;\n", index);
    append(text, "        lv2:symbol \"%s\" ;\n", port.symbol);
    append(text, "        lv2:name \"%s\"", port.name);
    if (port.kind == PortKind::controlInput)
        append(text, " ;\n        lv2:default %s", decimal(port.defaultValue).c_str());
    if (port.kind == PortKind::controlInput || port.kind == PortKind::controlOutput) {
        append(text, " ;\n        lv2:minimum %s", decimal(port.minimum).c_str());
        append(text, " ;\n        lv2:maximum %s", decimal(port.maximum).c_str());
    }
    if (port.integer) text += " ;\n        lv2:portProperty lv2:integer";
    if (port.kind == PortKind::controlOutput) text += " ;\n        units:unit units:coef";
    // Hosts that know no atoms leave it unconnected; the plugin then never restarts.
    if (port.kind == PortKind::transport)
        text += " ;\n        atom:bufferType atom:Sequence ;\n        atom:supports time:Position ;"
                "\n        lv2:portProperty lv2:connectionOptional";
    text += "\n";
}

void appendPlugin(std::string& text, const PluginInfo& plugin, int micro) {
    append(text, "\n<%s>\n", plugin.uri);
    text += "    a lv2:Plugin, lv2:CompressorPlugin ;\n";
    append(text, "    doap:name \"%s\" ;\n", plugin.name(Format::lv2));
    text += "    doap:license <https://opensource.org/licenses/MIT> ;\n";
    append(text, "    lv2:project <%s> ;\n", kProject);
    append(text, "    lv2:minorVersion %d ;\n    lv2:microVersion %d ;\n", kLv2MinorVersion, micro);
    text += "    lv2:optionalFeature lv2:hardRTCapable, urid:map ;\n";
    append(text,
           "    rdfs:comment \"The twoband two-band dynamic range compressor, %s: the same "
           "samples as the twoband program on 16-bit input. Its time constants count "
           "frames, so they scale with the sample rate. When the host's transport starts "
           "rolling, it starts afresh, as the program does at the start of a file.\" ;\n",
           plugin.channels == 1 ? "mono" : "stereo");
    text += "    lv2:port [\n";
    for (std::size_t index = 0; index < plugin.ports.size(); ++index) {
        appendPort(text, plugin.ports[index], index);
        text += index + 1 == plugin.ports.size() ? "    ] .\n" : "    ] , [\n";
    }
}

// The factory presets of a plugin: its URI, "#", the preset's symbol.
void appendPresets(std::string& text, const PluginInfo& plugin) {
    for (const Preset& preset : kPresets) {
        append(text, "\n<%s#%s>\n    a pset:Preset ;\n", plugin.uri, preset.symbol);
        append(text, "    lv2:appliesTo <%s> ;\n    rdfs:label \"%s\" ;\n", plugin.uri, preset.name);
        const float values[kSettingsPorts] = {preset.maxGain, preset.recoverSpeed, preset.feedbackSpeed};
        for (std::size_t port = 0; port < kSettingsPorts; ++port)
            append(text, "    %s [ lv2:symbol \"%s\" ; pset:value %s ]%s\n", port == 0 ? "lv2:port" : "        ",
                   plugin.ports[port].symbol, decimal(values[port]).c_str(),
                   port + 1 == kSettingsPorts ? " ." : " ,");
    }
}

std::string manifest(const char* binary) {
    std::string text = kPrefixes;
    for (const PluginInfo* plugin : kPlugins) {
        append(text, "\n<%s>\n    a lv2:Plugin ;\n", plugin->uri);
        append(text, "    lv2:binary <%s> ;\n", binary);
        text += "    rdfs:seeAlso <twoband.ttl> .\n";
        for (const Preset& preset : kPresets) {
            append(text, "\n<%s#%s>\n    a pset:Preset ;\n", plugin->uri, preset.symbol);
            append(text, "    lv2:appliesTo <%s> ;\n    rdfs:seeAlso <twoband.ttl> .\n", plugin->uri);
        }
    }
    return text;
}

std::string pluginData(int micro) {
    std::string text = kPrefixes;
    append(text, "\n<%s>\n    a doap:Project ;\n    doap:name \"twoband\" ;\n", kProject);
    append(text, "    doap:maintainer [ a foaf:Person ; foaf:name \"%s\" ] .\n", kMaker);
    for (const PluginInfo* plugin : kPlugins) {
        appendPlugin(text, *plugin, micro);
        appendPresets(text, *plugin);
    }
    return text;
}

bool writeFile(const std::string& path, const std::string& text) {
    std::FILE* out = std::fopen(path.c_str(), "w");
    if (out == nullptr) return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
    return std::fclose(out) == 0 && written;
}

}  // namespace
}  // namespace twoband_plugins

int main(int argc, char* argv[]) {
    using namespace twoband_plugins;
    if (argc != 4) {
        std::fputs("usage: write_ttl BUNDLE_DIR BINARY_NAME MICRO_VERSION\n", stderr);
        return 2;
    }
    const std::string bundle = argv[1];
    if (!writeFile(bundle + "/manifest.ttl", manifest(argv[2])) ||
        !writeFile(bundle + "/twoband.ttl", pluginData(std::atoi(argv[3])))) {
        std::perror(bundle.c_str());
        return 1;
    }
    return 0;
}
