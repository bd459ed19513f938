// The settings record read from a file of any length and content: the bytes
// read are exactly the bytes written back, the rest keeps what it held.

#include "fuzz_check.h"
#include "settings/backup_config.h"

#include <algorithm>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    TBackupConfig config;
    config.GameDir.Set("/kept/");
    const auto before = config.ToBytes();
    config.FromBytes(data, size);
    const auto image = config.ToBytes();
    const std::size_t read = std::min(size, TBackupConfig::Size);
    FUZZ_CHECK(std::equal(data, data + read, image.begin()));
    FUZZ_CHECK(std::equal(before.begin() + read, before.end(), image.begin() + read));
    FUZZ_CHECK(config.GameDir.Get().size() == image[3]);
    FUZZ_CHECK(config.BackupDir.Get().size() == image[259]);

    // Storing text cuts it to at most 255 bytes, at a character boundary.
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    ShortString field;
    field.Set(text);
    const std::string stored = field.Get();
    FUZZ_CHECK(stored.size() <= ShortString::Capacity && text.substr(0, stored.size()) == stored);
    FUZZ_CHECK(stored.size() == text.size() || stored.size() + 3 >= ShortString::Capacity);
    return 0;
}
