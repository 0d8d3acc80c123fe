#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace pelvoran::test {

/// A plain connection of the test's own beside the store's, to the SQLite
/// file or the PostgreSQL database (a postgresql:// URI) at `location`.
class RawStore {
public:
    explicit RawStore(const std::string& location);
    ~RawStore();
    RawStore(const RawStore&) = delete;
    RawStore& operator=(const RawStore&) = delete;

    /// Runs `sql`; true when it succeeded.
    bool exec(const std::string& sql);
    /// The first column of the first row as a number (-1: no row or an error).
    std::int64_t scalar(const std::string& sql);
    std::int64_t count() { return scalar("SELECT count(*) FROM comments"); }
    /// The first column of every row, as text.
    std::vector<std::string> texts(const std::string& sql);
    /// The last error's message.
    const std::string& error() const { return error_; }

private:
    struct Handle;
    std::unique_ptr<Handle> handle_;
    std::string error_;
};

} // namespace pelvoran::test
