#include "platform/linux/LinuxHardwareIdentity.h"

#include <unistd.h>

#include <cctype>
#include <climits>
#include <fstream>
#include <sstream>

namespace tarvo::platform {
namespace {
std::optional<std::string> readSmallFile(const std::string& path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    std::ostringstream ss;
    ss << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return ss.str();
}
}  // namespace

LinuxHardwareIdentity::LinuxHardwareIdentity(std::string productUuidPath, std::string machineIdPath)
    : productUuidPath_(std::move(productUuidPath)), machineIdPath_(std::move(machineIdPath)) {}

std::optional<std::string> LinuxHardwareIdentity::shapeUuid(const std::string& raw) {
    std::string hex;
    for (char c : raw) {
        if (std::isxdigit(static_cast<unsigned char>(c)))
            hex.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
        else if (c == '-' || std::isspace(static_cast<unsigned char>(c)))
            continue;
        else
            return std::nullopt;
    }
    if (hex.size() != 32) return std::nullopt;
    if (hex.find_first_not_of('0') == std::string::npos) return std::nullopt;
    if (hex.find_first_not_of('F') == std::string::npos) return std::nullopt;
    return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" +
           hex.substr(16, 4) + "-" + hex.substr(20, 12);
}

std::optional<std::string> LinuxHardwareIdentity::platformUuid() const {
    for (const auto& path : {productUuidPath_, machineIdPath_}) {
        if (auto content = readSmallFile(path)) {
            if (auto uuid = shapeUuid(*content)) return uuid;
        }
    }
    return std::nullopt;
}

std::string LinuxHostInfo::hostName() const {
    char buf[HOST_NAME_MAX + 1] = {};
    if (gethostname(buf, sizeof buf - 1) != 0) return {};
    return buf;
}

}  // namespace tarvo::platform
