#pragma once
// A refusal of a request: the HTTP status and the message the client gets.
#include <stdexcept>
#include <string>

namespace qtx::console {

struct ApiError : std::runtime_error {
    ApiError(int status, const std::string& message, std::string field = {})
        : std::runtime_error(message), Status(status), Field(std::move(field)) {}
    int Status;
    std::string Field;  // the input field at fault, when there is one
};

}  // namespace qtx::console
