// Stand-in for the location lookup service: HTTPS, checks the signed
// requests the plug-in sends, answers from a small table of lab addresses and
// misbehaves on request so the client's failure paths can be seen. Every
// request it served goes to a log of JSON lines.
//
//   tvx_location_service --cert server.pem --key server.key [--listen ADDR:PORT]...
//                        [--log FILE] [--signing-key KEY] [--max-skew SECONDS]
//                        [--trickle ADDR:PORT]... [--mute ADDR:PORT]...
//
// --trickle: HTTPS that takes any request, answers 200 and then sends one
// byte of body every 20 seconds, never ending. --mute: accepts TCP and never
// says a word, not even the TLS handshake. Both stand for a service that
// holds its client for good.
//
// Misbehaviours, by path (/misbehave/NAME, any method) or by the address a
// POST /saas/ip asks about:
//   198.18.0.1 empty        200 with an empty body
//   198.18.0.2 invalid-json 200 with a body that is not JSON
//   198.18.0.3 no-data      {"result":...} without "data"
//   198.18.0.4 no-data-data {"data":{}} without "data" "data"
//   198.18.0.5 non-object   {"data":{"data":[...]}}
//   198.18.0.6 not-found    404 with a JSON error body
//   198.18.0.7 chunks       a good answer sent in many small chunks
//   198.18.0.8 drop         the connection closed half-way through the body
//   198.18.0.9 slow         a good answer after 3 seconds
//              redirect     302 to geo-alt.telvista.test/echo (by path only)
//              huge         a body of 2 MiB (path only)
// GET /ip answers the peer's address as text, as the public-IP echo service does.
#include <httplib.h>
#include <arpa/inet.h>
#include <json/json.h>
#include <netinet/in.h>
#include <openssl/sha.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Place {
    const char* country;
    const char* region;
    const char* city;
    double latitude;
    double longitude;
    const char* company;  // null: only the autonomous system is known
    const char* asnName;
    const char* route;
};

const std::map<std::string, Place> kPlaces = {
    {"203.0.113.9", {"France", "Ile-de-France", "Paris", 48.8584, 2.2945, nullptr, "Example Net", "203.0.113.0/24"}},
    {"198.51.100.7", {"Germany", "Berlin", "Berlin", 52.52, 13.405, "Lab Telecom", "AS64500 Lab Telecom", "198.51.100.0/24"}},
    {"198.51.100.1", {"Germany", "Berlin", "Berlin", 52.52, 13.405, "Lab Telecom", "AS64500 Lab Telecom", "198.51.100.0/24"}},
    {"127.0.0.1", {"Netherlands", "", "Loopback", 52.37, 4.89, "Loop Networks", "AS64501", "127.0.0.0/8"}},
    // The lab's home router (the client's public address) and its provider's route hop.
    {"203.0.113.77", {"France", "Auvergne-Rhone-Alpes", "Lyon", 45.764, 4.8357, "Lab Home Broadband",
                      "AS64510 Lab Home Broadband", "203.0.113.64/26"}},
    {"203.0.113.49", {"France", "Auvergne-Rhone-Alpes", "Villeurbanne", 45.7719, 4.8902, nullptr,
                      "AS64510 Lab Home Broadband", "203.0.113.48/28"}},
};

const std::map<std::string, std::string> kTriggers = {
    {"198.18.0.1", "empty"},     {"198.18.0.2", "invalid-json"}, {"198.18.0.3", "no-data"},
    {"198.18.0.4", "no-data-data"}, {"198.18.0.5", "non-object"}, {"198.18.0.6", "not-found"},
    {"198.18.0.7", "chunks"},    {"198.18.0.8", "drop"},         {"198.18.0.9", "slow"},
};

using Endpoint = std::pair<std::string, int>;

struct Options {
    std::string cert, key, log;
    std::vector<Endpoint> listen, trickle, mute;
    std::string signingKey = "67J72EDYSQG12LT9NRCMHJX5UPUURXG7LEE9OWSN";
    long long maxSkew = 300;
};

std::string sha256Hex(const std::string& data) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest);
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char b : digest) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

std::string compact(const Json::Value& v) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, v);
}

Json::Value location(const std::string& ip) {
    Json::Value v(Json::objectValue);
    v["ip"] = ip;
    auto it = kPlaces.find(ip);
    if (it == kPlaces.end()) return v;
    const Place& p = it->second;
    v["country_name"] = p.country;
    v["region"] = p.region;
    v["city"] = p.city;
    v["latitude"] = p.latitude;
    v["longitude"] = p.longitude;
    if (p.company) {
        v["company"]["name"] = p.company;
        v["company"]["network"] = p.route;
    } else {
        v["company"] = Json::Value();
    }
    v["asn"]["name"] = p.asnName;
    v["asn"]["route"] = p.route;
    return v;
}

class Service {
public:
    explicit Service(Options options) : options_(std::move(options)) {
        if (!options_.log.empty()) log_.open(options_.log, std::ios::app);
    }

    void install(httplib::Server& server) {
        server.Get("/api/v1/ip-data", [this](const httplib::Request& req, httplib::Response& res) { ownAddress(req, res); });
        server.Post("/saas/ip", [this](const httplib::Request& req, httplib::Response& res) { byAddress(req, res); });
        auto misbehave = [this](const httplib::Request& req, httplib::Response& res) {
            std::string name = req.matches[1];
            Json::Value good;
            good["data"]["data"] = location("203.0.113.9");
            act(name, compact(good), res);
            record(req, "misbehaviour: " + name);
        };
        server.Get(R"(/misbehave/([a-z-]+))", misbehave);
        server.Post(R"(/misbehave/([a-z-]+))", misbehave);
        // The echo service's answer: the asker's address as plain text.
        server.Get("/ip", [this](const httplib::Request& req, httplib::Response& res) {
            res.set_content(req.remote_addr, "text/plain");
            record(req, "address " + req.remote_addr);
        });
        // Echoes what arrived, for the client's own tests.
        server.Post("/echo", [this](const httplib::Request& req, httplib::Response& res) {
            res.set_content(req.body, "application/octet-stream");
            record(req, "echo");
        });
    }

private:
    // Checks time and signature; on failure answers with an error and false.
    bool verify(const httplib::Request& req, httplib::Response& res, const char* timeHeader,
                const char* signatureHeader, const std::string& signedBody, std::string& verdict) {
        if (!req.has_header(timeHeader) || !req.has_header(signatureHeader)) {
            return reject(res, 400, "missing time or signature header", verdict);
        }
        const std::string timeText = req.get_header_value(timeHeader);
        char* end = nullptr;
        long long t = std::strtoll(timeText.c_str(), &end, 10);
        if (timeText.empty() || *end != '\0') return reject(res, 400, "malformed time", verdict);
        long long now = static_cast<long long>(std::time(nullptr));
        if (t < now - options_.maxSkew || t > now + options_.maxSkew) return reject(res, 401, "stale request time", verdict);
        if (sha256Hex(signedBody + options_.signingKey + timeText) != req.get_header_value(signatureHeader))
            return reject(res, 401, "bad signature", verdict);
        return true;
    }

    static bool reject(httplib::Response& res, int status, const std::string& why, std::string& verdict) {
        Json::Value body;
        body["error"] = why;
        res.status = status;
        res.set_content(compact(body), "application/json");
        verdict = "rejected: " + why;
        return false;
    }

    void ownAddress(const httplib::Request& req, httplib::Response& res) {
        std::string verdict;
        const std::string random = req.get_header_value("X-QM-Random");
        Json::Value rebuilt;
        if (!req.has_header("X-QM-Random"))
            reject(res, 400, "missing random header", verdict);
        else if (verify(req, res, "X-QM-Time", "X-QM-Signature", "{\"ip\": \"" + random + "\"}", verdict)) {
            res.set_content(compact(location(req.remote_addr)), "application/json");
            verdict = "accepted: own address " + req.remote_addr;
        }
        record(req, verdict);
    }

    void byAddress(const httplib::Request& req, httplib::Response& res) {
        std::string verdict;
        if (verify(req, res, "X-KV-Time", "X-KV-Signature", req.body, verdict)) {
            Json::Value asked;
            Json::CharReaderBuilder builder;
            std::string errors;
            std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
            if (!reader->parse(req.body.data(), req.body.data() + req.body.size(), &asked, &errors) ||
                !asked.isObject() || !asked["ip"].isString()) {
                reject(res, 400, "body is not {\"ip\": \"...\"}", verdict);
            } else {
                const std::string ip = asked["ip"].asString();
                Json::Value answer;
                answer["data"]["data"] = location(ip);
                auto trigger = kTriggers.find(ip);
                if (trigger != kTriggers.end()) {
                    act(trigger->second, compact(answer), res);
                    verdict = "accepted, misbehaviour: " + trigger->second;
                } else {
                    res.set_content(compact(answer), "application/json");
                    verdict = "accepted: " + ip;
                }
            }
        }
        record(req, verdict);
    }

    static void act(const std::string& name, const std::string& good, httplib::Response& res) {
        if (name == "empty") {
            res.set_content("", "application/json");
        } else if (name == "invalid-json") {
            res.set_content("<html>upstream error</html>", "text/html");
        } else if (name == "no-data") {
            res.set_content(R"({"result":{"ip":"198.18.0.3"}})", "application/json");
        } else if (name == "no-data-data") {
            res.set_content(R"({"data":{}})", "application/json");
        } else if (name == "non-object") {
            res.set_content(R"({"data":{"data":["198.18.0.5"]}})", "application/json");
        } else if (name == "not-found") {
            res.status = 404;
            res.set_content(R"({"error":"address not found"})", "application/json");
        } else if (name == "chunks") {
            auto body = std::make_shared<std::string>(good);
            res.set_chunked_content_provider("application/json", [body](std::size_t offset, httplib::DataSink& sink) {
                if (offset >= body->size()) {
                    sink.done();
                    return true;
                }
                // Small pieces with a pause between them, so they arrive apart.
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                std::size_t n = std::min<std::size_t>(7, body->size() - offset);
                return sink.write(body->data() + offset, n);
            });
        } else if (name == "drop") {
            auto body = std::make_shared<std::string>(good);
            res.set_content_provider(body->size(), "application/json",
                                     [body](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                         // Half the announced body, then the connection goes.
                                         if (offset > 0) return false;
                                         sink.write(body->data(), body->size() / 2);
                                         return true;
                                     });
        } else if (name == "slow") {
            std::this_thread::sleep_for(std::chrono::seconds(3));
            res.set_content(good, "application/json");
        } else if (name == "redirect") {
            // To the other name of this service: a client that follows it
            // shows up in the log as a request for /echo.
            res.status = 302;
            res.set_header("Location", "https://geo-alt.telvista.test/echo");
            res.set_content("moved", "text/plain");
        } else if (name == "huge") {
            res.set_content(std::string(2 << 20, 'x'), "text/plain");

        } else {
            res.status = 400;
            res.set_content(R"({"error":"no such misbehaviour"})", "application/json");
        }
    }

    void record(const httplib::Request& req, const std::string& verdict) {
        Json::Value line;
        line["time"] = Json::Int64(std::time(nullptr));
        line["peer"] = req.remote_addr;
        line["port"] = req.local_port;
        line["method"] = req.method;
        line["path"] = req.path;
        line["headers"] = Json::Value(Json::objectValue);
        for (const auto& [name, value] : req.headers)
            if (name != "REMOTE_ADDR" && name != "REMOTE_PORT" && name != "LOCAL_ADDR" && name != "LOCAL_PORT")
                line["headers"][name] = value;
        line["body"] = req.body;
        line["verdict"] = verdict;
        std::lock_guard<std::mutex> lock(mutex_);
        const std::string text = compact(line);
        if (log_.is_open())
            log_ << text << std::endl;
        else
            std::cout << text << std::endl;
    }

    Options options_;
    std::mutex mutex_;
    std::ofstream log_;
};

// Any request: 200, then a byte every 20 s until the client goes away; a
// dropped connection frees its worker when the next byte fails to go.
void installTrickle(httplib::Server& server) {
    auto handler = [](const httplib::Request&, httplib::Response& res) {
        res.set_chunked_content_provider("application/json", [](std::size_t offset, httplib::DataSink& sink) {
            if (offset > 0) std::this_thread::sleep_for(std::chrono::seconds(20));
            return sink.write("{", 1);
        });
    };
    server.Get(R"(/.*)", handler);
    server.Post(R"(/.*)", handler);
}

// Accepts connections and keeps them open without reading or writing; the
// oldest are let go once many are held.
bool startMute(const Endpoint& at, std::vector<std::thread>& threads) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(at.second));
    if (fd < 0 || inet_pton(AF_INET, at.first.c_str(), &address.sin_addr) != 1 ||
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 16) != 0)
        return false;
    threads.emplace_back([fd] {
        std::vector<int> held;
        for (;;) {
            const int client = accept(fd, nullptr, nullptr);
            if (client < 0) continue;
            held.push_back(client);
            if (held.size() > 64) {
                close(held.front());
                held.erase(held.begin());
            }
        }
    });
    return true;
}

bool parseArgs(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (i + 1 >= argc) return false;
        std::string v = argv[++i];
        if (a == "--cert") o.cert = v;
        else if (a == "--key") o.key = v;
        else if (a == "--log") o.log = v;
        else if (a == "--signing-key") o.signingKey = v;
        else if (a == "--max-skew") o.maxSkew = std::atoll(v.c_str());
        else if (a == "--listen" || a == "--trickle" || a == "--mute") {
            auto colon = v.rfind(':');
            if (colon == std::string::npos) return false;
            auto& list = a == "--listen" ? o.listen : a == "--trickle" ? o.trickle : o.mute;
            list.emplace_back(v.substr(0, colon), std::atoi(v.c_str() + colon + 1));
        } else {
            return false;
        }
    }
    if (o.listen.empty()) o.listen.emplace_back("0.0.0.0", 443);
    return !o.cert.empty() && !o.key.empty();
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseArgs(argc, argv, options)) {
        std::cerr << "usage: " << argv[0]
                  << " --cert FILE --key FILE [--listen ADDR:PORT]... [--log FILE] [--signing-key KEY] [--max-skew S]"
                     " [--trickle ADDR:PORT]... [--mute ADDR:PORT]...\n";
        return 2;
    }
    Service service(options);
    std::vector<std::unique_ptr<httplib::SSLServer>> servers;
    std::vector<std::pair<Endpoint, bool>> all;
    for (const auto& e : options.listen) all.emplace_back(e, false);
    for (const auto& e : options.trickle) all.emplace_back(e, true);
    for (const auto& [endpoint, trickle] : all) {
        const auto& [address, port] = endpoint;
        auto server = std::make_unique<httplib::SSLServer>(options.cert.c_str(), options.key.c_str());
        if (!server->is_valid()) {
            std::cerr << "cannot load the certificate or key\n";
            return 1;
        }
        if (trickle) installTrickle(*server);
        else service.install(*server);
        if (!server->bind_to_port(address, port)) {
            std::cerr << "cannot listen on " << address << ":" << port << "\n";
            return 1;
        }
        servers.push_back(std::move(server));
    }
    std::vector<std::thread> threads;
    for (const auto& endpoint : options.mute)
        if (!startMute(endpoint, threads)) {
            std::cerr << "cannot listen on " << endpoint.first << ":" << endpoint.second << "\n";
            return 1;
        }
    // One line once every port is bound: scripts wait for it instead of polling.
    std::cout << "ready" << std::endl;
    for (auto& server : servers) threads.emplace_back([&server] { server->listen_after_bind(); });
    for (auto& t : threads) t.join();
    return 0;
}
