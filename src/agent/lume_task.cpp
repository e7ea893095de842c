#include "lume_task.h"

#include <json/reader.h>
#include <json/writer.h>

#include <exception>
#include <memory>

#include "platform/log.h"
#include "platform/settings.h"
#include "platform/winreg.h"

#if defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"  // Json::FastWriter is the compact form the agent reads
#endif

namespace {

const char kThreadPrefix[] = "[Lume Info Thread] ";

// Parses with comments allowed; false and the formatted errors on failure.
bool parseJson(const std::string& text, Json::Value& root, std::string& errors) {
    Json::CharReaderBuilder builder;
    builder["allowComments"] = true;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    try {
        return reader->parse(text.data(), text.data() + text.size(), &root, &errors);
    } catch (const std::exception& e) {
        // Nesting deeper than the reader allows is a parse error like any other.
        errors = e.what();
        return false;
    }
}

}  // namespace

LumeDLL& QmLumeTask::sdk() { return sdk_ ? *sdk_ : LumeDLL::instance(); }

bool QmLumeTask::setLumeData(const std::string& text) {
    Json::Value root;
    std::string errors;
    if (!parseJson(text, root, errors)) {
        TVX_LOG(tvxlog::error) << "Remote host data parsing error: " << errors;
        return false;
    }
    return setLumeDataImpl(root);
}

bool QmLumeTask::setLumeDataImpl(const Json::Value& root) {
    const Json::Value machine = root.isObject() ? root.get("machine", Json::Value()) : Json::Value();
    if (machine.isNull()) {
        TVX_LOG(tvxlog::error) << "Invalid data to Lume from remote host: 'machine' key is mandatory";
        return false;
    }
    if (!machine.isObject()) {
        TVX_LOG(tvxlog::error) << "Invalid data to Lume from remote host: 'machine' value should be an object";
        return false;
    }
    const Json::Value& name = machine["ComputerName"];
    const std::string computerName = name.isConvertibleTo(Json::stringValue) ? name.asString() : std::string();
    TVX_LOG(tvxlog::debug) << "ComputerName to Lume: " << (computerName.empty() ? std::string("empty") : computerName);

    std::lock_guard<std::mutex> lock(mutex_);
    lumeData_ = Json::Value();
    for (auto it = machine.begin(); it != machine.end(); ++it) {
        const std::string key = it.name();
        lumeData_[key == "MicrosoftTeams" ? std::string("Teams") : key] = *it;
    }
    return true;
}

std::string QmLumeTask::getLumeData() {
    if (!lumeData_.isObject()) return {};
    Json::FastWriter writer;
    return writer.write(lumeData_);
}

bool QmLumeTask::sendLumeData() {
    LumeDLL& dll = sdk();
    if (!dll.sendInfo) {
        TVX_LOG(tvxlog::error) << "Lume api method 'sendInfo' is null.";
        return false;
    }
    std::string text;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        text = getLumeData();
    }
    if (text.empty()) {
        TVX_LOG(tvxlog::error) << "Nothing to send: lume data is empty";
        return false;
    }
    TVX_LOG(tvxlog::debug) << "Lume sendInfo('" << "qmagent" << "', '" << text << "') ...";
    const char* result = dll.sendInfo("qmagent", text.c_str());
    TVX_LOG(tvxlog::debug) << "Lume sendInfo result: " << result;
    return true;
}

bool QmLumeTask::recvLumeRequests() {
    LumeDLL& dll = sdk();
    if (!dll.fetchConfig) {
        TVX_LOG(tvxlog::error) << "Lume api method 'fetchConfig' is null.";
        return false;
    }
    TVX_LOG(tvxlog::debug) << "Lume fetchConfig('" << "qmAgent" << "') ...";
    const char* answer = dll.fetchConfig("qmAgent");
    const std::string text = answer ? answer : "";
    if (text.empty()) {
        TVX_LOG(tvxlog::error) << "Lume fetchConfig: returns empty response.";
        return false;
    }
    TVX_LOG(tvxlog::debug) << "Lume fetchConfig => " << text;

    Json::Value root;
    std::string errors;
    if (!parseJson(text, root, errors)) {
        TVX_LOG(tvxlog::error) << "Lume fetchConfig: response parsing error: " << errors;
        return false;
    }
    Json::Value data = root.isObject() ? root.get("data", Json::Value()) : Json::Value();
    if (data.isString()) {
        Json::Value parsed;
        if (!parseJson(data.asString(), parsed, errors)) {
            TVX_LOG(tvxlog::error) << "Lume fetchConfig: invalid 'data' value: " << errors;
            return false;
        }
        data = parsed;
    }
    if (!data.isObject()) {
        TVX_LOG(tvxlog::error) << "Lume fetchConfig: invalid 'data' object: " << text;
        return false;
    }
    dataRequested_.store(json2dataRequested(data));
    return true;
}

std::uint32_t QmLumeTask::json2dataRequested(const Json::Value& data) {
    const Json::Value& requested = data["DataRequested"];
    if (!requested.isArray()) return 0;
    std::uint32_t flags = 0;
    std::string list;
    for (Json::ArrayIndex i = 0; i < requested.size(); ++i) {
        // An element that is not text-like throws, as the library does.
        const std::string name = requested[i].asString();
        if (!list.empty()) list += ", ";
        list += name;
        if (name == "Teams") flags |= kLumeRequestsTeams;
        else if (name == "EmployeeScore") flags |= kLumeRequestsEmployeeScore;
    }
    TVX_LOG(tvxlog::info) << "Lume data requested: " << list;
    return flags;
}

bool QmLumeTask::isDealWithLume(std::uint32_t& intervalMs) {
    try {
        winreg::RegistryKey key;
        if (key.tryOpen(winreg::currentUser(), kSettingsRoot) != 0) return true;
        auto lume = key.tryGetDwordValue(u"Lume");
        if (lume && *lume == 0) return false;
        if (auto seconds = key.tryGetDwordValue(u"LumeInterval(sec)")) {
            auto s = static_cast<std::int32_t>(*seconds);
            s = s < 5 ? 5 : (s > 600 ? 600 : s);
            intervalMs = static_cast<std::uint32_t>(s) * 1000;
        }
        return true;
    } catch (const std::exception& e) {
        TVX_LOG(tvxlog::error) << "Reading lume data: " << e.what();
    } catch (const char* text) {
        TVX_LOG(tvxlog::error) << "Reading lume data: " << text;
    } catch (...) {
        const unsigned long error = tvxlog::lastSystemError();
        TVX_LOG(tvxlog::error) << "Reading lume data: " << tvxlog::errorSuffix(error);
    }
    return false;
}

void QmLumeTask::run() {
    TVX_LOG(tvxlog::info) << kThreadPrefix << "Started ...";
    std::uint32_t intervalMs = 5000;
    const bool enabled = isDealWithLume(intervalMs);
    TVX_LOG(tvxlog::info) << "Deal with Lume is " << (enabled ? "enabled" : "disabled")
                          << ", interval (ms):" << intervalMs;
    while (isLumeRunning()) {
        try {
            if (waitForNextPass(intervalMs)) return;
            if (enabled) {
                sendLumeData();
                recvLumeRequests();
            }
        } catch (const std::exception& e) {
            TVX_LOG(tvxlog::error) << kThreadPrefix << "Exception: " << e.what();
        } catch (const char* text) {
            TVX_LOG(tvxlog::error) << kThreadPrefix << "Exception: " << text;
        } catch (...) {
            const unsigned long error = tvxlog::lastSystemError();
            TVX_LOG(tvxlog::error) << kThreadPrefix << "Unknown Exception, error " << tvxlog::errorSuffix(error);
        }
    }
}
