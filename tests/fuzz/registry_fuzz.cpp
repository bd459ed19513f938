// A system.reg of any content, searched for this machine's name as start-up
// searches it, and any host name made into a computer name.

#include "fuzz_check.h"
#include "games/machine_name.h"

#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const games::RegistryString value = games::FindRegistryString(
        text, "System\\CurrentControlSet\\Control\\ComputerName\\ComputerName", "ComputerName");
    FUZZ_CHECK(value.Result == games::RegistryString::Found || value.Value.empty());

    const std::string name = games::WineComputerNameFromHost(text);
    FUZZ_CHECK(name.size() <= 15);
    for (const char c : name)
        FUZZ_CHECK((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   std::string_view("!@#$%^&')(-_{}").find(c) != std::string_view::npos);
    return 0;
}
