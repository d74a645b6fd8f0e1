#include "http/routes.h"

namespace ptzd {

void Routes::Add(const char* method, const std::string& pattern, Handler handler) {
    const std::string m = method;
    if (m == "GET") server_.Get(pattern, std::move(handler));
    else if (m == "POST") server_.Post(pattern, std::move(handler));
    else if (m == "PUT") server_.Put(pattern, std::move(handler));
    else server_.Delete(pattern, std::move(handler));
    entries_.push_back({std::regex(pattern), m, {}});
}

void Routes::Add(const std::string& pattern, const std::function<std::string(const std::smatch&)>& methods,
                 const std::vector<std::pair<std::string, Handler>>& handlers) {
    for (const auto& [method, handler] : handlers) {
        if (method == "GET") server_.Get(pattern, handler);
        else if (method == "POST") server_.Post(pattern, handler);
        else if (method == "PUT") server_.Put(pattern, handler);
        else server_.Delete(pattern, handler);
    }
    entries_.push_back({std::regex(pattern), "", methods});
}

std::string Routes::Allowed(const std::string& path) const {
    bool get = false, post = false, put = false, del = false;
    std::smatch m;
    for (const Entry& e : entries_) {
        if (!std::regex_match(path, m, e.pattern)) continue;
        const std::string methods = e.method.empty() ? e.methods(m) : e.method;
        get = get || methods.find("GET") != std::string::npos;
        post = post || methods.find("POST") != std::string::npos;
        put = put || methods.find("PUT") != std::string::npos;
        del = del || methods.find("DELETE") != std::string::npos;
    }
    std::string out;
    const auto add = [&](bool on, const char* text) {
        if (on) out += (out.empty() ? "" : ", ") + std::string(text);
    };
    add(get, "GET, HEAD");
    add(post, "POST");
    add(put, "PUT");
    add(del, "DELETE");
    return out;
}

}  // namespace ptzd
