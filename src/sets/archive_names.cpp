#include "sets/archive_names.h"

#include "platform/paths.h"

namespace sets {

std::string ArchiveBaseName(const std::string& fileName) {
    return fileName.substr(0, fileName.find('.'));
}

std::string ArchiveOf(const std::string& path) {
    return platform::ExtractFilePath(path) + ArchiveBaseName(platform::ExtractFileName(path));
}

std::string ReadPath(const std::string& path, bool zip) {
    return zip ? ArchiveOf(path) + ".zip" : path;
}

std::string WithZipExtension(const std::string& path) {
    const std::string folder = platform::ExtractFilePath(path);
    const std::string name = platform::ExtractFileName(path);
    const auto dot = name.rfind('.');
    return folder + (dot == std::string::npos ? std::string() : name.substr(0, dot + 1)) + "zip";
}

} // namespace sets
