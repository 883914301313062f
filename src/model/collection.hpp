// The collection: an optional, ordered list of request records.
#pragma once

#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "model/request.hpp"

namespace tolmek::model {

/// Requests in arrival order. "Absent" (nothing given, nothing added) and "present but
/// empty" are distinct states; once present the list never becomes absent again.
class Collection {
public:
    Collection() = default;
    explicit Collection(std::vector<Request> items) : items_(std::move(items)) {}

    /// Appends a record. On failure (std::bad_alloc) the collection is unchanged.
    void add(Request request) {
        if (items_) {
            items_->push_back(std::move(request));
        } else {
            std::vector<Request> items;
            items.push_back(std::move(request));
            items_.emplace(std::move(items));
        }
    }

    bool present() const noexcept { return items_.has_value(); }
    /// The stored records; empty when absent.
    std::span<const Request> items() const noexcept {
        return items_ ? std::span<const Request>(*items_) : std::span<const Request>();
    }

private:
    std::optional<std::vector<Request>> items_;
};

}  // namespace tolmek::model
