// A desc.txt of any content, as its first bytes are read: the description is
// one line of at most 255 bytes of valid UTF-8.

#include "fuzz_check.h"
#include "sets/backup_set.h"

#include <QString>

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view head(reinterpret_cast<const char*>(data),
                                std::min(size, sets::DescriptionReadLimit));
    const std::string description = sets::DescriptionFromHead(head);
    FUZZ_CHECK(description.size() <= 255);
    FUZZ_CHECK(description.find_first_of("\r\n\x1A") == std::string::npos);
    // Valid UTF-8 comes back from a decode and encode unchanged.
    FUZZ_CHECK(QString::fromUtf8(description.data(), static_cast<qsizetype>(description.size()))
                   .toStdString() == description);
    return 0;
}
