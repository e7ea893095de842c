#include <json/writer.h>

#include <cstdlib>
#include <cstring>
#include <exception>

#include "log.h"
#include "metric_store.h"
#include "platform_api.h"

namespace {

// A separately allocated "{}", so that every result can be released with free.
char* emptyObjectText() {
    char* text = static_cast<char*>(std::malloc(3));
    if (text) std::memcpy(text, "{}", 3);
    return text;
}

}  // namespace

TVX_API char* platform_getMetricsJson() {
    try {
        Json::Value snapshot = getMetricsSnapshot();
        std::string text;
        if (snapshot.empty()) {
            text = "{}";
        } else {
            Json::FastWriter writer;
            text = writer.write(snapshot);
        }
        char* buffer = static_cast<char*>(std::malloc(text.size() + 1));
        if (!buffer) {
            TVX_LOG(tvxlog::error) << "platform_getMetricsJson: memory allocation failed";
            return emptyObjectText();
        }
        std::memcpy(buffer, text.c_str(), text.size() + 1);
        return buffer;
    } catch (const std::exception& e) {
        TVX_LOG(tvxlog::error) << "platform_getMetricsJson exception: " << e.what();
    } catch (...) {
        TVX_LOG(tvxlog::error) << "platform_getMetricsJson unknown exception";
    }
    return emptyObjectText();
}
