// Fuzzes output-name derivation on arbitrary names of any length.
// Checks: one character longer, a 'C' right after the last '/' or '\' (or at the
// front), everything else kept in order.

#include <cstdint>
#include <string>

#include "fuzz_support.hpp"
#include "files/sample_file.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using fuzzing::require;
    const std::string name(reinterpret_cast<const char*>(data), size);
    const std::string output = twoband::deriveOutputName(name);

    require(output.size() == name.size() + 1, "one character longer");
    const std::size_t separator = name.find_last_of("/\\");
    const std::size_t at = separator == std::string::npos ? 0 : separator + 1;
    require(output[at] == 'C', "C after the last separator");
    require(output.compare(0, at, name, 0, at) == 0, "folder part kept");
    require(output.compare(at + 1, std::string::npos, name, at) == 0, "file part kept");
    return 0;
}
