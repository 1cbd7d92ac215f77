#include "model/Paths.h"

#include <mutex>

namespace {
std::string& AppDirStorage() {
    static std::string dir = ".";
    return dir;
}
} // namespace

void SetAppDir(const std::string& dir) {
    std::string value = dir;
    while (value.size() > 1 && value.back() == '/')
        value.pop_back();
    AppDirStorage() = value.empty() ? std::string(".") : value;
}

const std::string& GetAppDir() {
    return AppDirStorage();
}

std::string AppDirFromExecutable(const std::string& exePath) {
    const std::size_t slash = exePath.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return exePath.substr(0, slash);
}

bool IsUsableSiteKey(const std::string& key) {
    if (key.empty() || key == "." || key == ".." || key == kSaveAreaName)
        return false;
    return key.find('/') == std::string::npos && key.find('\0') == std::string::npos;
}

std::string SiteListPath() {
    return GetAppDir() + "/site.ds";
}

std::string DataDirPath() {
    return GetAppDir() + "/Data";
}

std::string SiteDataDirPath(const std::string& key) {
    return DataDirPath() + "/" + key;
}
