#pragma once
// A refusal of a request: the HTTP status and the message the client gets.
#include <stdexcept>
#include <string>

namespace qtx::console {

struct ApiError : std::runtime_error {
    ApiError(int status, const std::string& message) : std::runtime_error(message), Status(status) {}
    int Status;
};

}  // namespace qtx::console
