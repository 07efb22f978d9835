#pragma once
// Owners for libcurl's handles, and the one process-wide initialisation libcurl needs.
#include <curl/curl.h>

#include <memory>
#include <string>

namespace qtx::alarms {

struct EasyDeleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
using Easy = std::unique_ptr<CURL, EasyDeleter>;

struct ListDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
using HeaderList = std::unique_ptr<curl_slist, ListDeleter>;

struct MultiDeleter {
    void operator()(CURLM* m) const { curl_multi_cleanup(m); }
};
using Multi = std::unique_ptr<CURLM, MultiDeleter>;

// A new easy handle (curl_global_init done once, before any thread uses libcurl).
Easy NewEasy();
Multi NewMulti();
// Appends a header to the list (a null list starts one).
void AddHeader(HeaderList& list, const std::string& header);

}  // namespace qtx::alarms
