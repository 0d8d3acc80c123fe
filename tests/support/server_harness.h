#pragma once

// What the suites that run the server as a process share beyond starting
// it (server_process.h): reading its database and state directory, its
// health, and its admin pages.

#include <cstdint>
#include <ios>
#include <string>
#include <sys/types.h>
#include <vector>

namespace pelvoran::test {

/// Where the tools post comments.
inline const std::string kComment = "/Canon/comment.asp";

/// The service's user, for state directories that root does not own.
inline constexpr uid_t kService = 65534;

/// The texts of `comments export` on the state directory `state`, in its
/// order (a failed export is a test failure).
std::vector<std::string> exported(const std::string& state);

/// The body of the server's answer to the update check on `port`.
std::string replyTo(int port);

/// A database in `state` with `count` comments of 500 bytes, checkpointed
/// into the main file.
void seedComments(const std::string& state, int count);

/// Hands `dir` and what is in it to `uid`.
void giveTo(const std::string& dir, uid_t uid);

/// Zeros written over `length` bytes of `file` from `offset`; with `flip`,
/// each of those bytes inverted instead.
void overwrite(const std::string& file, std::streamoff offset, std::size_t length, bool flip);

/// The permission bits of `path` (not followed), or -1.
int modeOf(const std::string& path);

/// Waits up to `seconds` for serve's daily backup in `dir`, made on a thread
/// of its own as serve starts; whether it is there. With `audited`, only a
/// daily one (comments-…) whose audit log has a line with that text counts.
bool dailyBackupMade(const std::string& dir, int seconds, const std::string& audited = "");

/// /healthz until it answers `status` with `text` in its body (as its
/// `whole` body but for the look's age), for up to 30 s (it looks once a
/// second); the last reply.
std::string healthSays(int port, int status, const std::string& text = "", bool whole = false);

/// The number of rows `sql` counts in the SQLite file `file`, or -1.
std::int64_t countIn(const std::string& file, const char* sql = "SELECT count(*) FROM comments");

/// Runs `sql` on the SQLite file `file` through a connection of the test's
/// own, which may write the schema; whether all of it ran.
bool execIn(const std::string& file, const std::string& sql);

/// What `sql` (one column of text) gives in the SQLite file `file`, a line
/// each.
std::string linesIn(const std::string& file, const std::string& sql);

/// A GET of `target` on the admin listener of the server running on
/// `state`, with `headers` (each ending in CRLF); the whole reply.
std::string adminGet(const std::string& state, const std::string& target,
                     const std::string& headers = "");

/// The value of the header `name` in `reply`, or empty.
std::string headerValue(const std::string& reply, const std::string& name);

/// The first line of the token file `file` in `state`.
std::string tokenOf(const std::string& state, const std::string& file);

/// The query of a new sign-in address, as `admin-url` on `state` prints it
/// ("?signin=CODE"); empty (and a test failure) when it prints none.
std::string signInQuery(const std::string& state);

/// The session cookie a new sign-in address opens ("pelvoran_admin=...").
std::string login(const std::string& state);

/// The token of the first form's csrf field on an admin `page`; empty when
/// the page has none.
std::string csrfOf(const std::string& page);

/// The publisher, signed in by a new sign-in address on the admin pages of
/// the server running on `state`.
class Publisher {
public:
    explicit Publisher(std::string state);
    /// Writes or edits the answer to comment `id` on its page (`text` as a
    /// form encodes it); the reply's status.
    int answer(std::int64_t id, const std::string& text) const;

private:
    std::string state_;
    std::string cookie_; // the request header
    std::string csrf_;
};

} // namespace pelvoran::test
