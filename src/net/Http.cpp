#include "net/Http.h"

#include <curl/curl.h>

#include <cctype>
#include <cstdlib>
#include <memory>
#include <mutex>

namespace tarvo::net {

constexpr long kMaxRedirects = 16;
namespace {

void globalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

// Owners of curl's handles, so that every way out of a transfer frees them.
struct EasyFree {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct ListFree {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
struct MultiFree {
    void operator()(CURLM* m) const { curl_multi_cleanup(m); }
};
using EasyHandle = std::unique_ptr<CURL, EasyFree>;
using HeaderList = std::unique_ptr<curl_slist, ListFree>;
using MultiHandle = std::unique_ptr<CURLM, MultiFree>;

// An easy handle added to a multi handle, taken out again when it goes.
class Attached {
  public:
    Attached(CURLM* multi, CURL* easy) : multi_(multi), easy_(easy) {
        curl_multi_add_handle(multi_, easy_);
    }
    ~Attached() { curl_multi_remove_handle(multi_, easy_); }
    Attached(const Attached&) = delete;
    Attached& operator=(const Attached&) = delete;

  private:
    CURLM* multi_;
    CURL* easy_;
};

void appendHeader(HeaderList& list, const std::string& line) {
    curl_slist* grown = curl_slist_append(list.get(), line.c_str());
    if (!grown) throw TransportError(CURLE_OUT_OF_MEMORY, "cannot add a request header");
    (void)list.release();  // the grown list owns the old nodes now
    list.reset(grown);
}

struct Transfer {
    const Request* request;
    Response* response;
    CURL* curl;
    std::chrono::steady_clock::time_point lastActivity;
    curl_off_t lastDown = -1, lastUp = -1;
    bool idleExpired = false;
    bool statusSeen = false;
};

size_t onWrite(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t n = size * count;
    t->lastActivity = std::chrono::steady_clock::now();
    if (!t->statusSeen) {
        t->statusSeen = true;
        if (t->request->onStatus) {
            long status = 0;
            curl_easy_getinfo(t->curl, CURLINFO_RESPONSE_CODE, &status);
            if (!t->request->onStatus(status)) {
                t->response->stoppedByCaller = true;
                return CURL_WRITEFUNC_ERROR;
            }
        }
    }
    if (t->request->onData) {
        if (!t->request->onData(std::string_view(data, n))) {
            t->response->stoppedByCaller = true;
            return CURL_WRITEFUNC_ERROR;
        }
    } else {
        t->response->body.append(data, n);
    }
    return n;
}

int onProgress(void* user, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow) {
    auto* t = static_cast<Transfer*>(user);
    const auto now = std::chrono::steady_clock::now();
    if (dlnow != t->lastDown || ulnow != t->lastUp) {
        t->lastDown = dlnow;
        t->lastUp = ulnow;
        t->lastActivity = now;
    }
    if (t->request->cancelled && t->request->cancelled()) {
        t->response->stoppedByCaller = true;
        return 1;
    }
    if (now - t->lastActivity > t->request->idleTimeout) {
        t->idleExpired = true;
        return 1;
    }
    return 0;
}

}  // namespace

std::string percentEncode(std::string_view text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (unreserved(c)) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    return out;
}

std::string appendPath(std::string_view base, std::string_view path) {
    std::string out(base);
    // Keep a query or fragment of the base out of the way of the path.
    while (!out.empty() && out.back() == '/') out.pop_back();
    while (!path.empty() && path.front() == '/') path.remove_prefix(1);
    out += '/';
    out += path;
    return out;
}

std::string withQuery(std::string_view url, const std::vector<QueryItem>& items) {
    std::string out(url);
    if (items.empty()) return out;
    out += out.find('?') == std::string::npos ? '?' : '&';
    bool first = true;
    for (const auto& item : items) {
        if (!first) out += '&';
        first = false;
        out += percentEncode(item.name);
        out += '=';
        out += percentEncode(item.value);
    }
    return out;
}

bool parsesAsUrl(std::string_view text) {
    if (text.empty()) return false;
    CURLU* u = curl_url();
    std::string s(text);
    bool ok = curl_url_set(u, CURLUPART_URL, s.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK;
    curl_url_cleanup(u);
    return ok;
}

std::optional<std::string> originOf(std::string_view url) {
    if (!isHttpUrl(url)) return std::nullopt;
    CURLU* u = curl_url();
    const std::string s(url);
    std::optional<std::string> origin;
    char *scheme = nullptr, *host = nullptr, *port = nullptr;
    if (curl_url_set(u, CURLUPART_URL, s.c_str(), 0) == CURLUE_OK &&
        curl_url_get(u, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
        curl_url_get(u, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
        curl_url_get(u, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK) {
        std::string h = host;
        for (char& c : h) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        origin = std::string(scheme) + "://" + h + ":" + port;
    }
    curl_free(scheme);
    curl_free(host);
    curl_free(port);
    curl_url_cleanup(u);
    return origin;
}

std::string hostOf(std::string_view url) {
    if (!isHttpUrl(url)) return {};
    CURLU* u = curl_url();
    const std::string s(url);
    std::string host;
    char* part = nullptr;
    if (curl_url_set(u, CURLUPART_URL, s.c_str(), 0) == CURLUE_OK &&
        curl_url_get(u, CURLUPART_HOST, &part, 0) == CURLUE_OK)
        host = part;
    curl_free(part);
    curl_url_cleanup(u);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    return host;
}

bool isHttpUrl(std::string_view text) {
    if (!(text.rfind("http://", 0) == 0 || text.rfind("https://", 0) == 0)) return false;
    CURLU* u = curl_url();
    std::string s(text);
    bool ok = curl_url_set(u, CURLUPART_URL, s.c_str(), 0) == CURLUE_OK;
    if (ok) {
        char* host = nullptr;
        ok = curl_url_get(u, CURLUPART_HOST, &host, 0) == CURLUE_OK && host && *host;
        curl_free(host);
    }
    curl_url_cleanup(u);
    return ok;
}

Response perform(const Request& request) {
    globalInit();
    Response response;
    const EasyHandle easy(curl_easy_init());
    if (!easy) throw TransportError(CURLE_FAILED_INIT, "cannot create an HTTP handle");
    CURL* const curl = easy.get();

    Transfer transfer{&request, &response, curl, std::chrono::steady_clock::now()};
    HeaderList headers;
    for (const auto& [name, value] : request.headers) appendHeader(headers, name + ": " + value);
    if (request.body && !request.headers.empty()) {
        // curl adds "Expect: 100-continue" to larger bodies; the service never asks for it.
        appendHeader(headers, "Expect:");
    }

    curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    // Never the system web proxy, nor any proxy named in the environment.
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    if (const char* ca = std::getenv("SSL_CERT_FILE"); ca && *ca)
        curl_easy_setopt(curl, CURLOPT_CAINFO, ca);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    // Redirects are followed as the Mac's URL loading does: a bounded number,
    // and never from HTTPS down to plain HTTP.
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR,
                     request.url.rfind("https:", 0) == 0 ? "https" : "http,https");
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(request.idleTimeout.count()));
    if (request.totalTimeout)
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS,
                         static_cast<long>(request.totalTimeout->count()));
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
    if (request.method == "GET") {
        curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    } else if (request.method == "POST") {
        curl_easy_setopt(curl, CURLOPT_POST, 1L);
        const std::string& body = request.body ? *request.body : std::string();
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        curl_easy_setopt(curl, CURLOPT_COPYPOSTFIELDS, body.c_str());
    } else {
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
        if (request.body) {
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                             static_cast<curl_off_t>(request.body->size()));
            curl_easy_setopt(curl, CURLOPT_COPYPOSTFIELDS, request.body->c_str());
        }
    }
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, onWrite);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);

    // The multi interface wakes at least every 100 ms, so a cancelled or idle
    // transfer ends promptly even when the peer sends nothing at all.
    const MultiHandle multiHandle(curl_multi_init());
    if (!multiHandle) throw TransportError(CURLE_FAILED_INIT, "cannot create an HTTP handle");
    CURLM* const multi = multiHandle.get();
    CURLcode result = CURLE_OK;
    long status = 0;
    {
        const Attached attached(multi, curl);
        for (;;) {
            int running = 0;
            CURLMcode mc = curl_multi_perform(multi, &running);
            if (mc != CURLM_OK) {
                result = CURLE_FAILED_INIT;
                break;
            }
            if (running == 0) {
                int left = 0;
                while (CURLMsg* msg = curl_multi_info_read(multi, &left))
                    if (msg->msg == CURLMSG_DONE) result = msg->data.result;
                break;
            }
            if (onProgress(&transfer, 0, transfer.lastDown, 0, transfer.lastUp) != 0) {
                result = CURLE_ABORTED_BY_CALLBACK;
                break;
            }
            curl_multi_poll(multi, nullptr, 0, 100, nullptr);
        }
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    }

    if (response.stoppedByCaller) {
        response.status = status;
        return response;
    }
    if (transfer.idleExpired)
        throw TransportError(CURLE_OPERATION_TIMEDOUT, "The request timed out.");
    if (result != CURLE_OK) throw TransportError(result, curl_easy_strerror(result));
    response.status = status;
    return response;
}

}  // namespace tarvo::net
