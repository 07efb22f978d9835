#include "alarms/Curl.h"

#include <mutex>
#include <stdexcept>

namespace qtx::alarms {

namespace {

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
            throw std::runtime_error("libcurl cannot be initialised");
    });
}

}  // namespace

Easy NewEasy() {
    GlobalInit();
    Easy e(curl_easy_init());
    if (!e)
        throw std::runtime_error("libcurl: no easy handle");
    return e;
}

Multi NewMulti() {
    GlobalInit();
    Multi m(curl_multi_init());
    if (!m)
        throw std::runtime_error("libcurl: no multi handle");
    return m;
}

void AddHeader(HeaderList& list, const std::string& header) {
    curl_slist* grown = curl_slist_append(list.get(), header.c_str());
    if (grown == nullptr)
        throw std::bad_alloc();
    list.release();
    list.reset(grown);
}

}  // namespace qtx::alarms
