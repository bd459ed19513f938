// Command lines: any arguments (the input cut at NUL bytes) quoted and joined
// split back into exactly themselves, and any line splits into arguments that
// do the same.

#include "fuzz_check.h"
#include "platform/process.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

void CheckRoundTrip(const std::vector<std::string>& args) {
    std::string line;
    for (const std::string& arg : args)
        line += (line.empty() ? "" : " ") + platform::QuoteArgument(arg);
    FUZZ_CHECK(platform::SplitCommandLine(line) == args);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> args;
    for (std::size_t at = 0; at <= input.size();) {
        const std::size_t end = std::min(input.find('\0', at), input.size());
        args.emplace_back(input.substr(at, end - at));
        at = end + 1;
    }
    CheckRoundTrip(args);
    CheckRoundTrip(platform::SplitCommandLine(input));
    return 0;
}
