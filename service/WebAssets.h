#pragma once

#include <string_view>

namespace tarvo::service {

// The parent's pages, compiled in from service/web (no files at run time).
struct WebAsset {
    std::string_view name;  // "Signin", "dashboard", "app.css", ...
    const char* contentType;
    std::string_view body;
};

const WebAsset* findWebAsset(std::string_view name);

}  // namespace tarvo::service
